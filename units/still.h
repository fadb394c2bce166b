// Reading a file whole once it is still, for the platform files: another
// program may be writing it in place at that moment (truncated, then written
// in pieces), and the part on disk must never be taken for the whole.
#ifndef STILL_H
#define STILL_H

#include "platform.h"

// What tells whether a file changed: which file it is, its size, and the
// time of its last write, in nanoseconds on the clock that clockNs reads.
// (Not the time of its last change of any kind: a sync client that moves
// the file away and back changes that, but not the bytes.)
struct FileStamp {
    unsigned long long volume, index;
    long long size, written;
};

// True if a and b stamp one file, unchanged.
inline bool sameStamp(const FileStamp &a, const FileStamp &b)
{
    return a.volume == b.volume && a.index == b.index && a.size == b.size && a.written == b.written;
}

// Whether another program holds a file open to write it, as the system
// tells through a hold of the reader's own on it: none does, and the hold
// is taken; one does; or the system cannot tell (a file system without
// such holds, or another user's file).
enum WriteHold { notHeld, heldToWrite, holdUnknown };

// The platform's ways with one open file, handed to readStill with the file
// as a context: stamp it; read it whole from its start; take a hold that
// tells whether another program holds it to write it, for the time of a
// read; and end a hold that was taken, false if another program opened the
// file to write it meanwhile.
struct StillFile {
    void *file;
    bool (*stamp)(void *file, FileStamp *s, Why *why);
    FileRead (*read)(void *file, char *buf, size_t cap, size_t *len, Why *why);
    WriteHold (*hold)(void *file);
    bool (*release)(void *file);
};

// Read the file whole into buf, cap bytes at most, setting *len, and take
// what was read only if no change came during the read, and none for
// settleMs before it ended; where another program holds the file to write
// it, none for writerQuietMs, since such a program may pause between the
// pieces it writes (a file saved long ago that a spreadsheet holds is read
// at once). *at is the file's stamp then. A file that is not taken within
// stillWaitSeconds gives fileBusy, saying so.
const int settleMs = 300;
const int writerQuietMs = 6000;
const int stillWaitSeconds = 10;
FileRead readStill(const StillFile &f, char *buf, size_t cap, size_t *len, FileStamp *at, Why *why);

// The time now, on the clock of the files' times, and a pause; each
// platform has its own.
long long clockNs();
void pauseNs(long long ns);

#endif
