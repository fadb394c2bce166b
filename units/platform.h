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
// fileBusy: another program kept writing it.
enum FileRead { fileRead, fileMissing, fileFailed, fileTooLarge, fileBusy };

// Read the file path, or the file it links to, whole into buf, at most cap
// bytes, and set *len, sharing it with every other program, waiting a while
// for one that holds it, and for one that is still writing it. Only a
// regular file is read: anything else, or an error, gives fileFailed and
// says why. A FIFO never blocks it. A file that only this run writes (ours)
// is taken as it is.
FileRead readWholeFile(const char *path, char *buf, size_t cap, size_t *len, Why *why, bool ours = false);

// Decode n bytes of text in the system's own code page, in which its
// programs save text (on Windows the ANSI code page), at most
// systemTextMaxBytes, into UTF-8 at out, cap bytes (three times n suffice).
// The bytes written; 0 where the system has no code page of its own, so that
// any decoding is a guess; -1 if the bytes are not text in it.
const size_t systemTextMaxBytes = 4u << 20;
long systemToUtf8(const char *in, size_t n, char *out, size_t cap);

// Encode n bytes of UTF-8 at in, at most three times systemTextMaxBytes, in
// the system's own code page into out, cap bytes (n suffice): the bytes
// written, or -1 if a character has no place in it, or the system has no
// code page of its own.
long systemFromUtf8(const char *in, size_t n, char *out, size_t cap);

// Wait for this run's turns at the files first and second, which other runs
// on the same files, however they spell their paths, hold until they end;
// false, saying why, if that fails or takes more than turnWaitSeconds.
// Every run names them in the same order. endTurns lets the next run have
// them.
bool takeTurns(const char *first, const char *second, Why *why);
void endTurns();

// The line end of the platform's text files: LF, or CR LF on Windows.
extern const char textLineEnd[];

// Show msg, one line ending in a newline, where the user will see it.
void tellUser(const char *msg);

// The work copy through which a writer replaces its output file whole: a
// new file beside it, held open by this run so that another program that
// opens it meanwhile (a scanner, an indexer) can only share it as this run
// and the library do. Its name bears the program's.

// One update through a work copy: what the writer asks (the first three)
// and what it is told.
struct WorkCopy {
    const char *program;    // the program, whose name the work copy bears
    char *bytes;            // where the file's bytes go, or null
    size_t cap;             // the room there; a larger file fills it
    size_t len;             // the bytes read
    bool existed;           // the file was there
    const char *name;       // the work copy's name, for the library
    Why why;                // what went wrong
};

// Find the file (or the file it links to), which must be a regular file
// that this run may write, or absent; hold it against other runs for the
// whole update, waiting a while for one that holds it; remove the work
// copies that earlier runs left behind; read its bytes if asked, once no
// other program is still writing it (a larger file than cap fills it); and
// make the work copy beside it. False, saying why, if that fails.
bool openWorkCopy(const char *file, WorkCopy *w);

// Put the work copy in place of the file, with the file's mode, group and,
// where allowed, owner, unless the file was moved or changed meanwhile (or,
// where it was absent, one appeared); or remove it. Either ends the update
// and leaves no work copy.
enum WorkResult { workDone, workFailed, workTargetChanged };
WorkResult commitWorkCopy(WorkCopy *w);
void discardWorkCopy();

// Words for what the platforms report alike.
const char noReadPermission[] = "you have no permission to read it";
const char noFolderPermission[] = "you have no permission to write in its folder";
const char readOnlyDisk[] = "it is on a read-only disk";
const char otherRunBusy[] = "another run of initocsv or csvtoini on these files is still busy or "
                            "shows its message; let it end, then run again";
const char stillWriting[] = "another program is still writing it";
const int turnWaitSeconds = 10;   // the longest a run waits for another on the same files

#endif
