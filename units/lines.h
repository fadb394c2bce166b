// Where lines end: in INI text as the library ends them, and in a sheet as
// the sheet reader does. The two differ in a pair of LF and CR, which the
// library takes for one line end and a sheet for two.
#ifndef LINES_H
#define LINES_H

#include <stddef.h>

// The start of the line after the one at text[at], len bytes in all; *end
// is where that line's text ends. Lines end as the library ends them: at CR
// or LF, either of which may be followed by the other as part of the end.
size_t iniNextLine(const char *text, size_t at, size_t len, size_t *end);

// The line, counted from 1, that byte offset at of INI text, len bytes in
// all, is on.
int iniLineOf(const char *text, size_t len, size_t at);

// The length of the line end of a sheet at p, end - p bytes left: LF, CR LF
// or CR; 0 if p starts none.
size_t sheetLineEnd(const char *p, const char *end);

// The line, counted from 1, that byte offset at of a sheet's text is on.
int sheetLineOf(const char *text, size_t at);

#endif
