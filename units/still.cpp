// Reading a file whole once it is still: see still.h.
#include "still.h"

const long long msNs = 1000 * 1000;
const long long changedPauseNs = 50 * msNs;   // the pause after a change during a read

FileRead readStill(const StillFile &f, char *buf, size_t cap, size_t *len, FileStamp *at, Why *why)
{
    const long long settleNs = settleMs * msNs;
    FileStamp before, after, again;
    *len = 0;
    for (long long waited = 0;;) {
        if (!f.stamp(f.file, &before, why))
            return fileFailed;
        FileRead r = f.read(f.file, buf, cap, len, why);
        if (r == fileFailed || !f.stamp(f.file, &after, why))
            return fileFailed;
        *at = after;
        // A file whose clock runs ahead of ours is as new as can be.
        long long age = clockNs() - after.written;
        bool still = sameStamp(before, after);
        if (still && age >= settleNs)
            return r;
        if (waited >= stillWaitSeconds * 1000 * msNs) {
            say(why, stillWriting);
            *len = 0;
            return fileBusy;
        }
        long long pause = !still ? changedPauseNs : age < 0 ? settleNs : settleNs - age;
        pauseNs(pause);
        waited += pause;
        // Unchanged since the read, it has been still for settleMs.
        if (still && f.stamp(f.file, &again, why) && sameStamp(after, again))
            return r;
    }
}
