// One line of INI text as the library reads it alone, and names as the
// library compares them: the ground on which a file's meaning is taken.
#ifndef INILINE_H
#define INILINE_H

#include "lines.h"
#include "units.h"

// Where in the line [line, line + len), valid UTF-8, the library writes past
// the end of its line buffer as it loads the line: the offset of the
// character it cannot hold, or noOverrun. The buffer starts at 256 bytes and
// doubles whenever a character begins at its last byte, so a character of
// two bytes or more that crosses its end, or ends on it at the end of the
// line, leaving no room for the NUL, is written past it. A line of at most
// 255 bytes is always held.
const size_t noOverrun = ~(size_t)0;
const size_t iniLineHeld = 255;
size_t iniLineOverrun(const char *line, size_t len);

// What the library makes of the line [line, line + len) alone: a header, an
// entry or neither, its name in (*names)[0], which free_config_entries
// frees; for an entry, get_config_string(nullptr, name, ...) gives its
// value. It is read into the library's current configuration. A line that
// the library would overrun (iniLineOverrun) is not handed to it.
enum LineKind { plainLine, headerLine, entryLine, overrunLine };
LineKind iniReadLine(const char *line, size_t len, const char ***names);

// What the library makes of the line [line, line + len) alone, kept in
// out, size bytes: 'h' and the header's name, 'e', the key, a NUL and the
// value, '-' for a line that is neither, or '!' for one that the library
// would overrun; the bytes of out in use. Call it
// inside a configuration of the caller's own (push_config_state).
size_t iniLineMeaning(const char *line, size_t len, char *out, size_t size);

// Put s into out, size bytes, folded as the library folds names when it
// compares them (utolower of each character), NUL added; its length, or
// foldNoRoom.
const size_t foldNoRoom = ~(size_t)0;
size_t foldName(const char *s, char *out, size_t size);

// Put into listed the name by which a lookup of section finds its header:
// in brackets, unless it begins with '[' or ends with ']' already, and ""
// for the entries before the first header. False if a lookup finds no
// header of the file by it: the name is too long, or it begins with '#',
// which the library looks up in another store.
const size_t listedSize = nameSize + 2;
bool iniLookupName(const char *section, char listed[listedSize]);

// Put into out the folded name of the header that a lookup of section finds;
// false if a lookup of it finds none.
const size_t foldedSize = 4 * nameSize + 8;   // a folded name at most, NUL included
bool iniFoldedLookup(const char *section, char out[foldedSize]);

// The folded names of the headers that the lookups of the list and of each
// row of the unit table find ("" where none), for filters; foldTable fills
// them in.
struct TableFolded {
    char list[foldedSize];
    char unit[maxUnits][foldedSize];
};
void foldTable(TableFolded *t);

#endif
