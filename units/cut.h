// The spans of valdra.ini that csvtoini's update touches, each a header of
// the list or of a unit's section and the lines up to the next header: cut
// from the file into a text of their own for the library to load, and put
// back, line by line, from the library's saves of them.
#ifndef CUT_H
#define CUT_H

#include "meaning.h"

// The spans of a file: where they stand in it, and the text of them between
// marks, each with an empty line after it, so that the library files a
// section's new entries inside its first span. Their tables are the run's,
// sized to the file.
struct Cut {
    const char *file;
    size_t fileLen;
    MeaningSpan *span;   // where each stands in the file, in its order
    int count;
    char *text;          // the spans between marks, and a NUL
    size_t len;
    const char *list;    // the folded name of the list's section, as span[].folded holds it
};

// The filter that makes spans of the sections of table, a TableFolded:
// the list's and the rows'. It keeps all of the file.
MeaningKeep touchedSpans(void *table, const char *section, const char *key);

// Take into *p the spans of the file's len bytes, whose meaning, taken with
// spans by touchedSpans of table, is mn. False, the run failed, if the
// system has not the memory for them.
bool takeCut(Cut *p, const char *file, size_t len, Meaning mn, const TableFolded *table);

// Let go of the tables of *p.
void dropCut(Cut *p);

// Put together in *out, of at most iniReadMaxBytes, the updated file from
// the file and two saves of the spans by the library, loaded once: kept,
// saved as loaded, and saved, saved after the update set its entries and
// removed the list's entries from unitNum on. Each
// line of a span stays as it stands in the file, its line end included,
// where the saves hold it alike; a line whose entry the update set takes the
// saved text and keeps its line end; a new entry takes the line end of its
// span's header; removed entries go, with their line ends; new sections go
// to the end, after an empty line; a file without a final line end still
// has none. Both saves have a NUL after them. False, the run failed, if the
// saves do not match the spans, if the line ends of the file would join a
// new line to the next, or if the file would pass 16 MiB. *out is the run's,
// sized to the work.
bool putBack(const Cut *p, const char *kept, size_t keptLen, const char *saved, size_t savedLen, char **out,
             size_t *outLen);

#endif
