// The meaning of INI text as the library reads it, taken line by line.
#ifndef MEANING_H
#define MEANING_H

#include "units.h"

// What a meaning keeps of a header (key null) or of an entry of the section
// whose name, folded as the library folds names to compare them, is section:
// nothing, the value, or only that a value is there. user is the caller's,
// handed on.
enum MeaningKeep { keepNot, keepValue, keepPresence };
typedef MeaningKeep (*MeaningFilter)(void *user, const char *section, const char *key);

// The meaning of INI text for the file as it was (file 0) and its updated
// copy (file 1): its sections, and for each section and key the value that a
// lookup gives; all of them, or what keep says, asked with user. Taking file 0 starts afresh;
// taking file 1 replaces an earlier file 1. Each line is handed to the
// library on its own, through a configuration of its own: the library's
// current configuration stays as it was.
// The text must be UTF-8 without NUL bytes, and have a NUL after its len
// bytes. meaningNoRoom means that the meaning did not fit: it holds the
// distinct sections and entries of half a million lines, and the names and
// values of any file that the programs read; for file 1, it means as well
// that it has more new sections and entries than an update makes. *stopLine,
// if given, is set to the line where the taking stopped, the last if it did
// not.
enum MeaningTaken { meaningTaken, meaningNoRoom };
MeaningTaken takeMeaning(int file, const char *text, size_t len, MeaningFilter keep = nullptr,
                         void *user = nullptr, int *stopLine = nullptr);
extern const char meaningHeld[];   // the size of the store, for messages

// The parts of file 0 taken with a filter under the headers it keeps: each
// runs from such a header to the line before the next header, or the end,
// in bytes, and its header is on line `line`. meaningParts points *parts at
// them in the order of the file and says how many there are; past
// meaningPartsMost, only the first of them are there.
struct MeaningPart {
    size_t start, end;
    int line;
};
const int meaningPartsMost = 1 << 16;
int meaningParts(const MeaningPart **parts);

// Put into out the folded name of the header that a lookup of section finds;
// false if a lookup of it finds none.
const size_t foldedSize = 4 * nameSize + 8;   // a folded name at most, NUL included
bool meaningFoldedLookup(const char *section, char out[foldedSize], size_t size = foldedSize);

// The folded names of the headers that the lookups of the list and of each
// row of the unit table find ("" where none), for filters; foldTable fills
// them in.
struct TableFolded {
    char list[foldedSize];
    char unit[maxUnits][foldedSize];
};
void foldTable(TableFolded *t);

// In file 0: whether it has a header of section (named as a lookup names
// it, compared as the library compares names); the value a lookup of key in
// section gives (null: absent or empty; "" where only its presence is kept).
bool meaningHasSection(const char *section);
const char *meaningValue(const char *section, const char *key);

// In file 0: the first list index from `from` on whose entry in the list
// is absent or empty, at most listCountMost; the list read from 0 ends there.
int meaningListEnd(int from);

// About how long, in nanoseconds, the library takes to walk file 0 from the
// top looking for key in section, comparing names at every header (key null:
// for the section's first header, comparing every line's name with it), to
// the line where it finds it, or through the whole file where it is not
// there; *found says which. And what a line that an update adds costs a
// later walk of either kind that passes it: an entry (headerBytes 0) or a
// header whose name has headerBytes.
double meaningWalk(const char *section, const char *key, bool *found);
double meaningWalkAdded(size_t headerBytes);

// The lines of file 0, those whose names begin with '[' (headers among
// them), and the bytes of those names.
void meaningSize(int *lines, int *brackets, size_t *bytes);

// Put into out the folded name of the header that the line [line, line +
// len) is, read alone; false if it is none.
bool meaningHeaderFolded(const char *line, size_t len, char out[foldedSize]);

// The start of the line after the one at text[at], len bytes in all; *end
// is where that line's text ends. Lines end as the library ends them: at CR
// or LF, either of which may be followed by the other as part of the end.
size_t meaningNextLine(const char *text, size_t at, size_t len, size_t *end);

// What the library makes of the line [line, line + len) alone, kept in
// out, size bytes: 'h' and the header's name, 'e', the key, a NUL and the
// value, or '-' for a line that is neither; the bytes of out in use. Call it
// inside a configuration of the caller's own (push_config_state).
size_t meaningOfLine(const char *line, size_t len, char *out, size_t size);


// Visit every section and entry of either file, those of file 0 first, each
// once, in the order of the file: visit(section, null, was, now) for a
// section, was and now non-null where it has a header; then
// visit(section, key, was, now) for an entry, each with user first, with the values a lookup gives
// (null: absent or empty). section is as the library lists it, "[name]", or
// "" for the entries before the first header. False if a visit said false.
typedef bool (*MeaningVisit)(void *user, const char *section, const char *key, const char *was, const char *now);
bool walkMeanings(MeaningVisit visit, void *user);

#endif
