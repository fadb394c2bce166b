// The meaning of INI text as the library reads it, taken line by line.
#ifndef MEANING_H
#define MEANING_H

#include "iniline.h"

// What a meaning keeps of a header (key null) or of an entry of the section
// whose name, folded as the library folds names to compare them, is section:
// nothing, the value, or only that a value is there; for a header, keepSpan
// keeps it as keepValue does, and makes each place where it stands a span
// (takeMeaningWithSpans). user is the caller's, handed on.
enum MeaningKeep { keepNot, keepValue, keepPresence, keepSpan };
typedef MeaningKeep (*MeaningFilter)(void *user, const char *section, const char *key);

// A meaning of INI text, taken by its caller and named in each lookup: its
// sections, and for each section and key the value that a lookup gives; all
// of them, or what a filter keeps. The store holds one meaning at a time,
// with one updated copy of it: taking another meaning ends the one before,
// and a lookup in a meaning that has ended stops the program rather than
// answer from another file.
struct Meaning {
    unsigned taking;   // which taking it was, counted from 1
};

// Take the meaning of the text into *mn: all of it, or what keep says,
// asked with user. Each line is handed to the library on its own, through a
// configuration of its own: the library's current configuration stays as it
// was. The text must be UTF-8 without NUL bytes, and have a NUL after its len
// bytes. meaningNoRoom means that the system had not the memory for the
// meaning, which grows with the text. meaningOverrun means that a
// line would overrun the library's line buffer, and was not handed to it:
// text that iniAdmitted admits has none. *stopLine, if given, is set to the
// line where the taking stopped, the last if it did not.
enum MeaningTaken { meaningTaken, meaningNoRoom, meaningOverrun };
MeaningTaken takeMeaning(Meaning *mn, const char *text, size_t len, MeaningFilter keep = nullptr,
                         void *user = nullptr, int *stopLine = nullptr);

// Take the meaning of the text as takeMeaning does, with spans: a span of
// the text runs from each header for which spans says keepSpan to the line
// before the next header, or the end. The lines that the library's walks
// pass (meaningCounts and the rest) are then those of the spans alone, each
// with a line before it and an empty line after it, and a line after the
// last: as csvtoini hands them to the library.
MeaningTaken takeMeaningWithSpans(Meaning *mn, const char *text, size_t len, MeaningFilter spans, void *user,
                                int *stopLine = nullptr);

// Take the meaning of an updated copy of mn's text, all of it, for
// walkMeanings to compare with mn; it replaces an earlier copy's.
// meaningNoRoom and *stopLine as for takeMeaning. What lookups in mn and its
// spans gave before may move.
MeaningTaken takeUpdated(Meaning mn, const char *text, size_t len, int *stopLine = nullptr);

// The spans of a meaning taken with spans, in bytes: each header's, whose
// folded name is folded, on line `line`. meaningSpans points *spans at them
// in the order of the file and says how many there are. They last as long
// as the meaning, until its updated copy is taken.
struct MeaningSpan {
    size_t start, end;
    int line;
    const char *folded;
};
int meaningSpans(Meaning mn, const MeaningSpan **spans);

// Whether mn has a header of section (named as a lookup names it, compared
// as the library compares names); the value a lookup of key in section gives
// (null: absent or empty; "" where only its presence is kept).
bool meaningHasSection(Meaning mn, const char *section);
const char *meaningValue(Meaning mn, const char *section, const char *key);

// The first list index from `from` on whose entry in mn's list is absent or
// empty, at most listCountMost; the list read from 0 ends there.
int meaningListEnd(Meaning mn, int from);

// What it costs to read mn's text, and to walk it: its lines, those that
// are headers or entries, the lines a walk of the library's passes and the
// headers and entries among them, the sections and entries kept, and the
// bytes of the names of all headers and entries.
struct MeaningCounts {
    int lines, named, walkLines, walkNamed, items;
    size_t nameBytes;
};
MeaningCounts meaningCounts(Meaning mn);

// Where mn's lines stand, for what the library's walks over them cost: how
// many of them have names that begin with '[', headers among them; of the
// k-th of those, the bytes of its name, its folded name, and whether it is
// a header. Kept only where mn was taken without a filter, or with spans.
int meaningBrackets(Meaning mn);
size_t meaningBracket(Meaning mn, int k, const char **folded, bool *header);

// Where the first header of section (key null), or the first entry of key
// in section, stands in mn, for walks: its line, how many lines before it
// have names that begin with '[', and how many entries of the section a
// walk passes, before the entry or in all; false if there is none.
struct MeaningPlace {
    int line, bracketsBefore, named;
};
bool meaningPlace(Meaning mn, const char *section, const char *key, MeaningPlace *place);

// Visit every section and entry of mn and of its updated copy, those of mn
// first, each once, in the order of the file: visit(section, null, was, now)
// for a section, was and now non-null where it has a header; then
// visit(section, key, was, now) for an entry, each with user first, with the
// values a lookup gives (null: absent or empty). section is as the library
// lists it, "[name]", or "" for the entries before the first header. False
// if a visit said false.
typedef bool (*MeaningVisit)(void *user, const char *section, const char *key, const char *was, const char *now);
bool walkMeanings(Meaning mn, MeaningVisit visit, void *user);

#endif
