// The parts of valdra.ini that csvtoini's update touches, each a header of
// the list or of a unit's section and the lines up to the next header: cut
// from the file into a text of their own for the library to load, and put
// back from the library's save of them.
#ifndef PARTS_H
#define PARTS_H

#include "meaning.h"

// The parts stand between marks, each with an empty line after it, so that
// the library files a section's new entries inside its first part.
const size_t partMarkSize = 23;   // a mark's bytes, its NUL included
const size_t partsSize = iniReadMaxBytes + (partMarkSize + 4) * (meaningPartsMost + 1);
// The parts as the library saves them: "key = value" for a line as short as
// "k", CR LF on Windows, and the units' entries besides.
const size_t savedMaxBytes = 3 * partsSize;

// The parts of a file: where they stand in it, each with the folded name
// of its section; the text of them between marks; and the line of that text
// on which each part's header stands.
struct Parts {
    const char *file;
    size_t fileLen;
    MeaningPart part[meaningPartsMost];
    int count;
    char text[partsSize + 1];   // and a NUL
    size_t len;
    int line[meaningPartsMost + 1];
};

// Take into *p the parts of the file's len bytes, which have a NUL after
// them, that hold the sections of table: the list's and the rows'. False,
// the run failed, if the file has more of them than the programs hold, or
// the meaning of those sections did not fit.
bool takeParts(Parts *p, const char *file, size_t len, const TableFolded *table);

// The line of the file that line n of the parts' text is, for a message.
int partsFileLine(const Parts *p, int n);

// The folded names of the sections in which an update sets entries.
struct SetsIn {
    int count;   // the entries it sets
    char sections[maxUnits + 1][foldedSize];
    int sectionCount;
};

// Put together in out, of at most iniReadMaxBytes, the updated file from
// the file and the library's save of the parts, saved: each part of a
// section that sets names in place of the one it was, without the empty
// line that followed it and in its header's line end; every other part as it
// was; the new sections at the end, after an empty line. Its length, or
// false, the run failed, if the saved parts are not what was loaded, or the
// file would pass 16 MiB.
bool putBack(const Parts *p, const char *saved, size_t savedLen, const SetsIn *sets, char *out, size_t *outLen);

#endif
