// The meaning of INI text as the library reads it, taken line by line.
#ifndef MEANING_H
#define MEANING_H

#include "units.h"

// The largest INI file csvtoini updates. Each entry it sets makes the
// library walk the file from the top, so the time grows with the lines, and
// most with the section headers, at which the walk compares names: at these
// limits an update of 100 units takes a few seconds.
const size_t iniMaxBytes = 1u << 20;
const int iniMaxLines = 50000;
const int iniMaxSections = 5000;
const size_t iniReadMaxBytes = 16u << 20;   // the largest INI file initocsv reads

// What a meaning keeps of a header (key null) or of an entry of the section
// whose name, folded as the library folds names to compare them, is section:
// nothing, the value, or only that a value is there.
enum MeaningKeep { keepNot, keepValue, keepPresence };
typedef MeaningKeep (*MeaningFilter)(const char *section, const char *key);

// The meaning of INI text for the file as it was (file 0) and its updated
// copy (file 1): its sections, and for each section and key the value that a
// lookup gives; all of them, or what keep says. Taking file 0 starts afresh;
// taking file 1 replaces an earlier file 1. Each line is handed to the
// library on its own, through a configuration of its own: the library's
// current configuration stays as it was.
// The text must be UTF-8 without NUL bytes, and have a NUL after its len
// bytes. The result says whether
// the file, kept whole, passes a limit of lines or sections; for file 1,
// meaningNoRoom means it has more new sections and entries than an update
// makes. A kept part has room for at least iniMaxLines items, and the store
// for the names and values of any file that initocsv reads. *stopLine, if
// given, is set to the line where the taking stopped, the last if it did not.
enum MeaningTaken { meaningTaken, meaningTooManyLines, meaningTooManySections, meaningNoRoom };
MeaningTaken takeMeaning(int file, const char *text, size_t len, MeaningFilter keep = nullptr,
                         int *stopLine = nullptr);
extern const char meaningHeld[];   // the size of the store, for messages

// Put into out the folded name of the header that a lookup of section finds;
// false if a lookup of it finds none.
const size_t foldedSize = 4 * nameSize + 8;   // a folded name at most, NUL included
bool meaningFoldedLookup(const char *section, char out[foldedSize], size_t size = foldedSize);

// In file 0: whether it has a header of section (named as a lookup names
// it, compared as the library compares names); the value a lookup of key in
// section gives (null: absent or empty; "" where only its presence is kept); the key of the last entry in the part of section
// under its first header (null: there is none); whether an empty line ends
// that part before the next header, as the library needs to file a new
// entry of the section in it.
bool meaningHasSection(const char *section);
const char *meaningValue(const char *section, const char *key);
const char *meaningEndKey(const char *section);
bool meaningPartEnded(const char *section);

// In file 0: the first list index from `from` on whose entry in the list
// is absent or empty, at most listCountMost; the list read from 0 ends there.
int meaningListEnd(int from);

// The line of file 0 that holds meaningEndKey(section); 0 if none.
int meaningEndLine(const char *section);

// About how long, in nanoseconds, the library takes to walk file 0 from the
// top looking for key in section, comparing names at every header (key null:
// for the section's first header, comparing every line's name with it), to
// the line where it finds it, or through the whole file where it is not
// there; *found says which. And what a line that an update adds costs a
// later walk of either kind that passes it: an entry (headerBytes 0) or a
// header whose name has headerBytes.
double meaningWalk(const char *section, const char *key, bool *found);
double meaningWalkAdded(size_t headerBytes);

// The lines and header lines of file 0, and the bytes of the headers' names.
void meaningSize(int *lines, int *headers, size_t *bytes);

// Whether file 0 holds an entry of key in section, empty or not.
bool meaningHasEntry(const char *section, const char *key);

// A line of INI text, and whether the library reads it alone as a header.
struct LineMeaning {
    const char *text;
    size_t len;
    bool header;
};

// The first line of text a (counting from 1) that the library, reading each
// line alone, takes for another header or entry than the same line of text
// b, or for the same with another value, with both lines in *was and *now;
// 0 if there is none, -1 if b has another number of lines. Both texts have
// a NUL after their lengths.
int meaningChangedLine(const char *a, size_t alen, const char *b, size_t blen, LineMeaning *was, LineMeaning *now);

// Visit every section and entry of either file, those of file 0 first, each
// once, in the order of the file: visit(section, null, was, now) for a
// section, was and now non-null where it has a header; then
// visit(section, key, was, now) for an entry, with the values a lookup gives
// (null: absent or empty). section is as the library lists it, "[name]", or
// "" for the entries before the first header. False if a visit said false.
typedef bool (*MeaningVisit)(const char *section, const char *key, const char *was, const char *now);
bool walkMeanings(MeaningVisit visit);

#endif
