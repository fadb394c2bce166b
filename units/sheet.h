// The sheet reader's pure stages, each of which the in-process tests drive
// alone: the sheet's bytes decoded to UTF-8 text, the text split into
// fields, and a cell read as a whole number.
#ifndef SHEET_H
#define SHEET_H

#include "units.h"

const size_t sheetMaxBytes = 4u << 20;   // the largest sheet csvtoini reads

// The form a sheet's bytes take: UTF-8, UTF-16 little- or big-endian, or a
// code page: the system's own, or Windows-1252, guessed.
enum SheetForm { formUtf8, formUtf16Le, formUtf16Be, formCodePage, formCp1252 };

// Stage 1. A sheet as UTF-8 text: cap bytes of room at text, len of them in
// use; the form of its bytes, whether they began with a byte-order mark, and
// whether its code page was guessed.
struct SheetText {
    char *text;
    size_t cap, len;
    SheetForm form;
    bool mark, guessed;
};

// How decoding ended: the text is there, or why not.
enum Decoded { decoded, decodedBadUtf16, decodedNotUtf8, decodedNotText };

// Turn the n bytes of a sheet, at most sheetMaxBytes, into UTF-8 text in t,
// whose room must be three times that (a byte of Windows-1252 or two of
// UTF-16 may become three of UTF-8). A byte-order mark says UTF-8 or UTF-16,
// and so does a first line with a NUL in every other byte, as a header in
// UTF-16 without a mark has;
// without one, text that is not UTF-8 is in a code page, as spreadsheets
// save their plain CSV: the system's own where it has one, else taken as
// Windows-1252, a guess. For decodedNotUtf8, a sheet that begins as UTF-8
// but holds another byte, *line is that byte's line.
Decoded decodeSheet(const char *bytes, size_t n, SheetText *t, int *line);

// Put the UTF-8 text [text, text + n) into out, cap bytes, as bytes of the
// form, after a byte-order mark where mark says: the bytes, or -1 where a
// character has no place in the code page (or out has no room: four times
// n and four bytes suffice).
long encodeSheet(const char *text, size_t n, SheetForm form, bool mark, char *out, size_t cap);

// Stage 2. Fields. A field that begins with '"' is quoted: it runs to the
// next '"' that is not doubled, and separators and line ends inside belong to
// it; anything after the closing quote is taken as it stands. A '"' anywhere
// else is an ordinary character. Lines end in LF, CR LF or CR. Fields is a
// walk through the text: the start of the next field, the end of the text,
// the separator, and the line the next field is on.
struct Fields {
    const char *cursor, *end;
    char sep;
    int line;
};
enum Delim { endField, endRow, endText, openQuote };

// Start a walk through the len bytes of text at its first line, splitting
// at sep.
void startFields(Fields *f, const char *text, size_t len, char sep);

// Take the next field as [*start, *stop), quotes and all, and say what ended
// it; at an open quote, the walk stays on the line where the field began.
Delim nextField(Fields *f, const char **start, const char **stop);

// The text of the field [start, stop): quotes removed, in place; returns its
// new end.
char *unquote(char *start, char *stop);

// Stage 4. How a cell reads as a value.
enum Value { valueOk, valueNotWhole, valueOutOfRange };

// The whole number that the cell [p, end) shows, in *v, as spreadsheets and
// scripts write one: blanks around an optional sign and decimal digits,
// which may end in a point and zeros (but not exactly three, which may
// group thousands) or in an exponent that leaves the value whole (1e+05,
// 2.5E3); and TRUE or FALSE in any case, as 1 and 0.
Value wholeNumber(const char *p, const char *end, int *v);

// Stages 3 and 5. The rows of a sheet as the reader takes them: for each
// unit row, its name, values, line, whether its name was decoded from a
// guessed code page, and where it begins in the sheet's text.
struct SheetRows {
    int count;
    char name[maxUnits][nameSize];
    int stat[maxUnits][statCount];
    int line[maxUnits];
    bool guessed[maxUnits];
    size_t start[maxUnits];
};

// The shape of a sheet: its text, its separator, the field of each column
// (Name's last), and where its first unit row begins.
const int nameColumn = statCount;   // the Name column's place in the shape
struct SheetShape {
    SheetText text;
    char sep;
    long columnAt[statCount + 1];
    size_t firstRow;
};

// The column that field i of a row holds, by the field of each column in
// columnAt (Name's at nameColumn); -1 for none.
int columnOfField(const long columnAt[statCount + 1], long i);

// Read the n bytes of a sheet, at most sheetMaxBytes, into *rows, and its
// shape into *shape, whose text is the reader's own, its quoted fields
// taken apart; false, the run failed saying why, if csvtoini would refuse
// the sheet. A sheet of blanks alone holds no rows.
bool readSheet(const char *bytes, size_t n, SheetRows *rows, SheetShape *shape);

#endif
