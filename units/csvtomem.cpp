// The sheet reader, a pipeline of small stages: the file's bytes, decoded to
// UTF-8 text; the text split into fields; the header's captions located; then
// each further row taken as a unit. A row that cannot be a unit stops the run,
// so that nothing is written from a sheet that was misread.
#include "iniline.h"
#include "platform.h"
#include "sheet.h"
#include "units.h"

#include <allegro.h>
#include <ctype.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

// The sheet as UTF-8: a byte of Windows-1252 or two of UTF-16 may become
// three bytes of UTF-8.
const size_t sheetTextSize = 3 * sheetMaxBytes;
static_assert(sheetMaxBytes == 4u << 20, "the message of sheetTooLarge says 4 MiB");
static_assert(sheetMaxBytes <= systemTextMaxBytes, "the system decodes any sheet");

static char sheetBytes[sheetMaxBytes];   // the sheet as it is on disk
static char sheetText[sheetTextSize + 1]; // the sheet as UTF-8, room for a NUL
static SheetText text = {sheetText, sheetTextSize, 0, formUtf8, false, false};   // the sheet decoded
static Fields walk;                      // the walk through its fields
static SheetRows *into;                  // the rows the reader fills
static int spare[statCount];             // the values of a row past the table's
static SheetRows rows;                   // the rows csvtoini reads, for the unit table

// Skip blanks at both ends of [*start, *stop).
static void trim(char **start, char **stop)
{
    while (*start < *stop && isspace((unsigned char)**start))
        ++*start;
    while (*stop > *start && isspace((unsigned char)(*stop)[-1]))
        --*stop;
}

// Stage 3: the header. Its separator is whichever of ',', ';' and a tab
// splits it into Name and every caption; then each column's field is known.

static long columnAt[statCount + 1];  // the field index of each column, Name's at nameColumn

// Split the sheet at separator s from its first line on.
static void startText(char s)
{
    startFields(&walk, text.text, text.len, s);
}

// The caption of column col, Name for nameColumn.
static const char *captionOf(int col)
{
    return col == nameColumn ? "Name" : statName[col].caption;
}

// True if c is a character that captions as clients write them may hold
// or lack: a blank, '.', '_' or '-'.
constexpr bool ignoredInCaption(char c)
{
    return c == ' ' || c == '\t' || c == '.' || c == '_' || c == '-';
}

// True if captions a and b are the same but for case and the characters
// that clients change (R writes "R.Min" for "R Min").
constexpr bool sameCaption(const char *a, const char *b)
{
    for (;; a++, b++) {
        while (ignoredInCaption(*a))
            a++;
        while (ignoredInCaption(*b))
            b++;
        char x = *a >= 'A' && *a <= 'Z' ? (char)(*a + 32) : *a, y = *b >= 'A' && *b <= 'Z' ? (char)(*b + 32) : *b;
        if (x != y || !x)
            return x == y;
    }
}

constexpr bool captionsDistinct()
{
    for (int a = 0; a < statCount; a++)
        for (int b = 0; b <= a; b++)
            if (sameCaption(statName[a].caption, b == a ? "Name" : statName[b].caption))
                return false;
    return true;
}
static_assert(captionsDistinct(), "no two columns, Name among them, have the same caption to a reader");

// The column that the header field [start, stop) names, -1 for none. The
// field is compared unquoted, without byte-order marks that a client wrote
// before it, trimmed and as sameCaption compares; it is left as it is.
static int captionColumn(const char *start, const char *stop)
{
    char field[64];
    if (stop - start >= (long)sizeof field)
        return -1;
    memcpy(field, start, stop - start);
    char *a = field, *b = unquote(field, field + (stop - start));
    while (byteOrderMark(a, b - a) == markUtf8)
        a += markUtf8Bytes;
    trim(&a, &b);
    if (b - a >= 2 && *a == '"' && b[-1] == '"') {
        a++;
        b--;
    }
    *b = '\0';
    for (int col = 0; col <= nameColumn; col++)
        if (sameCaption(a, captionOf(col)))
            return col;
    return -1;
}

// Split the header at separator s, setting columnAt; the number of columns
// found, *twice the first found twice (-1: none), -1 for a quote that is
// never closed.
static int mapHeader(char s, int *twice)
{
    startText(s);
    for (long &at : columnAt)
        at = -1;
    int found = 0;
    *twice = -1;
    Delim d = endField;
    for (long i = 0; d == endField; i++) {
        const char *a, *b;
        d = nextField(&walk, &a, &b);
        int col = d == openQuote ? -1 : captionColumn(a, b);
        if (col >= 0 && columnAt[col] >= 0 && *twice < 0)
            *twice = col;
        else if (col >= 0 && columnAt[col] < 0)
            columnAt[col] = i, found++;
    }
    return d == openQuote ? -1 : found;
}

// Find the separator and every column in the header; false, the run failed,
// if no separator gives every column once, and then the message names what
// is wrong under the separator that finds the most.
static bool readHeader()
{
    const char seps[] = {',', ';', '\t'};
    char best = ',';
    int most = -2, twice;
    for (char s : seps) {
        int found = mapHeader(s, &twice);
        if (found == statCount + 1 && twice < 0)
            return true;
        if (found > most)
            most = found, best = s;
    }
    int found = mapHeader(best, &twice);
    if (found < 0)
        failRun(sheetOpenQuote, 1);
    else if (found == 0)
        failRun(sheetNoHeader, 1);
    else if (twice >= 0)
        failRun(sheetTwoColumns, 1, "%s", captionOf(twice));
    else
        // Name first, then the captions in their order.
        for (int i = 0; i <= statCount; i++)
            if (int col = (nameColumn + i) % (statCount + 1); columnAt[col] < 0) {
                failRun(sheetNoColumn, 1, "%s", captionOf(col));
                break;
            }
    return false;
}

const size_t cellShown = 100;   // the bytes of a long cell that a message shows

// Take the cell [start, stop), unquoted, of value column col into values;
// false, the run failed naming the cell, if it is not a value of that column.
static bool readValue(int *values, int col, const char *start, const char *stop, int line)
{
    int v = 0;
    Value r = wholeNumber(start, stop, &v);
    // A packed column says yes or no.
    if (r == valueOk && (!statName[col].weight || v == 0 || v == 1)) {
        values[col] = v;
        return true;
    }
    Shown cell = shown(start, stop - start, cellShown);
    failRun(r == valueNotWhole ? rowNotWhole : r == valueOutOfRange ? rowOutOfRange : rowNotFlag, line,
            "%s is \"%.*s%s\"", statName[col].caption, cell.bytes, start, cell.more);
    return false;
}

// Check the name [name, nameEnd) of a row on line at that holds values, its
// end on the row's next delimiter, which has been read: it is made a string
// there. False, the run failed naming it, if the library would not keep it
// as a unit's name as it stands.
static bool checkName(char *name, char *nameEnd, int at)
{
    char *s = name, *e = nameEnd;
    if (name)
        trim(&s, &e);
    if (s == e) {
        failRun(rowNoName, at);
        return false;
    }
    *nameEnd = '\0';
    size_t len = nameEnd - name;
    // The list entry as the library saves it, which it and the game load.
    char key[unitKeySize], entry[unitKeySize + nameSize + 3];
    unitKey(key, into->count);
    int entryLen = snprintf(entry, sizeof entry, "%s = %s", key, name);
    Problem p = uisspace(ugetc(name)) || uisspace(ugetat(name, -1)) ? nameBlankEnd
              : !keepableName(name) ? nameNoHeader
              : len > (size_t)nameMaxBytes ? nameTooLong
              : iniLineOverrun(entry, entryLen) != noOverrun ? nameOverrun
              : ustricmp(name, listSection) == 0 ? nameIsList : problemCount;
    Shown part = shown(name, len, nameShown);
    if (p == nameTooLong)
        failRun(p, at, "%.*s%s", part.bytes, name, part.more);
    else if (p != problemCount)
        failRun(p, at, "%s", name);
    return p == problemCount;
}

// How reading a row ended: more rows may follow, it was the last, or the
// run failed.
enum RowRead { rowMore, rowLast, rowFailed };

// Take the line on line at that is one field, [start, stop), without a
// separator outside quotes: nothing if it is blank, else refused, failing
// the run, so that no unit in the sheet is dropped without a word. A line
// that is one quoted field holding the separator is a row that a
// spreadsheet, opening the sheet in one column, wrapped in quotes.
static RowRead oneField(char *start, char *stop, int at)
{
    bool quoted = *start == '"';
    char *end = unquote(start, stop), *s = start;
    trim(&s, &end);
    if (s == end)
        return walk.cursor < walk.end ? rowMore : rowLast;
    if (quoted && memchr(s, walk.sep, end - s)) {
        failRun(rowOneColumn, at, "%s", walk.sep == '\t' ? "a tab" : walk.sep == ';' ? "\";\"" : "\",\"");
    } else {
        Shown line = shown(s, end - s, cellShown);
        failRun(rowNoSeparator, at, "%.*s%s", line.bytes, s, line.more);
    }
    return rowFailed;
}

// Read the row at the walk's next field into the next of the rows. It is a unit if it
// has a separator and a name or value that is not blank; it is refused,
// failing the run, if it holds a NUL byte, has values without a name, or a
// name that the library would not keep as it stands, and so is a line of
// text without a separator.
static RowRead readRow()
{
    int at = walk.line;
    size_t start = walk.cursor - text.text;
    int *values = into->count < maxUnits ? into->stat[into->count] : spare;
    char *name = nullptr, *nameEnd = nullptr;
    bool filled = false, nul = false, bad = false;
    long fields = 0;
    for (Delim d = endField; d == endField; fields++) {
        const char *a, *b;
        d = nextField(&walk, &a, &b);
        if (d == openQuote) {
            failRun(sheetOpenQuote, walk.line);
            return rowFailed;
        }
        if (fields == 0 && d != endField)
            return oneField((char *)a, (char *)b, at);
        nul = nul || memchr(a, '\0', b - a);
        int col = columnOfField(columnAt, fields);
        if (col < 0)
            continue;
        char *start = (char *)a, *stop = unquote(start, (char *)b), *s = start, *e = stop;
        trim(&s, &e);
        filled = filled || s < e;
        if (col == nameColumn) {
            name = start;
            nameEnd = stop;
        } else if (s < e && !bad && !nul) {
            bad = !readValue(values, col, start, stop, at);
        }
    }
    RowRead next = walk.cursor < walk.end ? rowMore : rowLast;
    if (!filled) {
        memset(values, 0, sizeof into->stat[0]);
        return next;
    }
    // Part of the list would make the game lose the rest.
    if (into->count == maxUnits)
        failRun(sheetTooManyRows, at);
    else if (nul)
        failRun(rowNul, at);
    if (into->count == maxUnits || nul || bad || !checkName(name, nameEnd, at))
        return rowFailed;
    int u = into->count++;
    into->line[u] = at;
    into->guessed[u] = text.guessed;
    into->start[u] = start;
    memcpy(into->name[u], name, nameEnd - name + 1);
    return next;
}

// Rows whose names the library takes for one section must hold the same
// values, or one row's would be lost; false, the run failed, if not.
static bool sameSectionsAgree()
{
    const SheetRows &r = *into;
    for (int v = 1; v < r.count; v++)
        for (int u = 0; u < v; u++)
            if (ustricmp(r.name[u], r.name[v]) == 0 && memcmp(r.stat[u], r.stat[v], sizeof r.stat[u]) != 0) {
                failRun(rowSameSection, r.line[v], "\"%s\" names the section of line %d (\"%s\")",
                        r.name[v], r.line[u], r.name[u]);
                return false;
            }
    return true;
}

// Stage 1: decode the sheet's n bytes into the text; false, the run failed,
// if it cannot be.
static bool decodeText(const char *bytes, size_t n)
{
    int line = 0;
    switch (decodeSheet(bytes, n, &text, &line)) {
    case decoded: return true;
    case decodedBadUtf16: failRun(sheetBadUtf16); break;
    case decodedNotUtf8: failRun(sheetNotUtf8, line); break;
    case decodedNotText: failRun(sheetNotText); break;
    }
    return false;
}

// True if the text holds nothing but blanks and line ends.
static bool blankText()
{
    for (size_t i = 0; i < text.len; i++)
        if (!isspace((unsigned char)text.text[i]))
            return false;
    return true;
}

bool readSheet(const char *bytes, size_t n, SheetRows *r, SheetShape *shape)
{
    into = r;
    r->count = 0;
    memset(r->stat, 0, sizeof r->stat);
    if (!decodeText(bytes, n))
        return false;
    shape->firstRow = text.len;
    if (blankText())
        return true;
    RowRead row = readHeader() ? rowMore : rowFailed;
    shape->firstRow = walk.cursor - text.text;
    while (row == rowMore)
        row = readRow();
    shape->text = text;
    shape->sep = walk.sep;
    memcpy(shape->columnAt, columnAt, sizeof columnAt);
    // Half a sheet would update half the units: take none.
    if (row == rowFailed || !sameSectionsAgree()) {
        r->count = 0;
        return false;
    }
    return true;
}

bool csvToMem()
{
    unitNum = 0;
    memset(uStat, 0, sizeof uStat);
    size_t n;
    Why why;
    FileRead f = readWholeFile(csvFile, sheetBytes, sizeof sheetBytes, &n, &why);
    if (f == fileTooLarge)
        failRun(sheetTooLarge);
    else if (f == fileFailed || f == fileBusy)
        failRun(sheetUnreadable, 0, "%s", why.text);
    if (f != fileRead)
        return f == fileMissing;   // a missing sheet sets nothing
    static SheetShape shape;
    if (!readSheet(sheetBytes, n, &rows, &shape))
        return false;
    for (unitNum = 0; unitNum < rows.count; unitNum++) {
        storeName(unitNum, rows.name[unitNum], strlen(rows.name[unitNum]));
        memcpy(uStat[unitNum], rows.stat[unitNum], sizeof uStat[unitNum]);
        unitLine[unitNum] = rows.line[unitNum];
        unitGuessed[unitNum] = rows.guessed[unitNum];
    }
    return true;
}
