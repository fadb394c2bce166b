// Reading a file whole once it is still: see still.h.
#include "still.h"

const long long msNs = 1000 * 1000;
const long long changedPauseNs = 50 * msNs;   // the pause after a change during a read
const long long heldPauseNs = 100 * msNs;     // the pause while another program holds the file to write it

FileRead readStill(const StillFile &f, char *buf, size_t cap, size_t *len, FileStamp *at, Why *why)
{
    const long long settleNs = settleMs * msNs, quietNs = writerQuietMs * msNs;
    FileStamp before, after;
    *len = 0;
    for (long long waited = 0;;) {
        if (!f.stamp(f.file, &before, why))
            return fileFailed;
        WriteHold hold = f.hold(f.file);
        FileRead r = f.read(f.file, buf, cap, len, why);
        bool kept = hold != notHeld || f.release(f.file);
        if (r == fileFailed || !f.stamp(f.file, &after, why))
            return fileFailed;
        *at = after;
        // A file whose clock runs ahead of ours is as new as can be.
        long long age = clockNs() - after.written, wanted = hold == heldToWrite ? quietNs : settleNs;
        bool still = kept && sameStamp(before, after);
        if (still && age >= wanted)
            return r;
        if (waited >= stillWaitSeconds * 1000 * msNs) {
            say(why, stillWriting);
            *len = 0;
            return fileBusy;
        }
        long long pause = !still ? changedPauseNs : hold == heldToWrite ? heldPauseNs : age < 0 ? settleNs
                        : settleNs - age;
        pauseNs(pause);
        waited += pause;
    }
}
