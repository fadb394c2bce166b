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

// The platform's ways with one open file, handed to readStill with the file
// as a context: stamp it, or read it whole from its start.
struct StillFile {
    void *file;
    bool (*stamp)(void *file, FileStamp *s, Why *why);
    FileRead (*read)(void *file, char *buf, size_t cap, size_t *len, Why *why);
};

// Read the file whole into buf, cap bytes at most, setting *len, and take
// what was read only if no change came during the read and none for
// settleMs before it ended, or if the file then stays unchanged for that
// long; *at is its stamp then. A file that does not keep still for
// stillWaitSeconds gives fileBusy, saying so.
const int settleMs = 300;
const int stillWaitSeconds = 10;
FileRead readStill(const StillFile &f, char *buf, size_t cap, size_t *len, FileStamp *at, Why *why);

// The time now, on the clock of the files' times, and a pause; each
// platform has its own.
long long clockNs();
void pauseNs(long long ns);

#endif
