// What the programs need of the system they run on: reading an input file
// whole, the turns that runs take at the files, telling the user, and the
// work copy through which a writer replaces its file. One file for each
// platform implements it; what it needs of the programs is passed in.
#ifndef PLATFORM_H
#define PLATFORM_H

#include <errno.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

// What went wrong in a call below, in words for the user.
struct Why {
    char text[256];
};

// What the C library's error e means, in words for the user.
inline const char *ioError(int e)
{
    switch (e) {
    case ENOSPC: return "the disk is full";
    case EFBIG: return "the file-size limit was reached";
    default: return strerror(e);
    }
}

// Put text into why.
inline void say(Why *why, const char *text)
{
    snprintf(why->text, sizeof why->text, "%s", text);
}

// How reading a whole input file ended.
enum FileRead { fileRead, fileMissing, fileFailed, fileTooLarge };

// Read the file path, or the file it links to, whole into buf, at most cap
// bytes, and set *len. Only a regular file is read: anything else, or an
// error, gives fileFailed and says why. A FIFO never blocks it.
FileRead readWholeFile(const char *path, char *buf, size_t cap, size_t *len, Why *why);

// Wait for this run's turns at the files first and second, which other runs
// on the same files, however they spell their paths, hold until they end;
// false, saying why, if that fails. Every run names them in the same order.
// endTurns lets the next run have them.
bool takeTurns(const char *first, const char *second, Why *why);
void endTurns();

// Show msg, one line ending in a newline, where the user will see it.
void tellUser(const char *msg);

// The work copy through which a writer replaces its output file whole.
// openWorkCopy finds the file (or the file it links to), which must be a
// regular file or absent, holds it against other runs for the whole update,
// reads its bytes into bytes (cap bytes at most, *len set: a larger file
// fills them) unless bytes is null, and makes an empty work file beside it,
// named for the program, that gets the file's mode, group and, where
// allowed, owner. It removes the work copies
// that earlier runs left behind, those that leftover says are the file's.
// It returns the work file's name, or null, saying why.
// commitWorkCopy puts the work file in place of the file unless the file
// changed meanwhile; discardWorkCopy removes it. Either ends the update and
// leaves no work file.
// A work copy of the file named base (its name, without a folder) is named
// base, a dot, the program, "-", workCopyTag letters or digits and
// workCopyEnd.
const char workCopyEnd[] = ".part";
const int workCopyTag = 6;
typedef bool (*LeftoverTest)(const char *name, const char *base);
const char *openWorkCopy(const char *file, const char *program, LeftoverTest leftover, char *bytes,
                         size_t cap, size_t *len, Why *why);
enum WorkResult { workDone, workFailed, workTargetChanged };
WorkResult commitWorkCopy(Why *why);
void discardWorkCopy();

#endif
