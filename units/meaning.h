// The meaning of INI text as the library reads it, and the check of the
// library's saved copy of an updated INI file against the file's meaning.
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

// What a meaning keeps of a header (key null) or of an entry of the section
// listed as section: nothing, the value, or only that a value is there.
enum MeaningKeep { keepNot, keepValue, keepPresence };
typedef MeaningKeep (*MeaningFilter)(const char *section, const char *key);

// The meaning of INI text for the file as it was (file 0) and its updated
// copy (file 1): its sections, and for each section and key the value that a
// lookup gives; all of them, or what keep says. Taking file 0 starts afresh;
// taking file 1 replaces an earlier file 1. Each line is handed to the
// library on its own, so the library's current configuration is replaced.
// The text must have a NUL after its len bytes. The result says whether
// file 0, kept whole, passes a limit; for file 1, meaningNoRoom means it has
// more new sections and entries than an update makes. A kept part has room
// for at least iniMaxLines items.
enum MeaningTaken { meaningTaken, meaningTooManyLines, meaningTooManySections, meaningNoRoom };
MeaningTaken takeMeaning(int file, const char *text, size_t len, MeaningFilter keep = nullptr);

// True if a lookup of section finds the header listed as listed.
bool meaningSameSection(const char *listed, const char *section);

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

// Visit every section and entry of either file, those of file 0 first, each
// once, in the order of the file: visit(section, null, was, now) for a
// section, was and now non-null where it has a header; then
// visit(section, key, was, now) for an entry, with the values a lookup gives
// (null: absent or empty). section is as the library lists it, "[name]", or
// "" for the entries before the first header. False if a visit said false.
typedef bool (*MeaningVisit)(const char *section, const char *key, const char *was, const char *now);
bool walkMeanings(MeaningVisit visit);

// The verdict on a saved copy: problemCount if it means what it should, or
// the problem, with the detail for its message.
struct CopyVerdict {
    Problem problem;
    char detail[320];
};

// Take the meaning of the saved copy [text, text + len) as file 1 and
// compare it with file 0's. It must mean the same but for what the writer
// set, the unit table's list entries and keys, and removed, the list
// entries from unitNum up to removedEnd.
CopyVerdict checkCopy(const char *text, size_t len, int removedEnd);

#endif
