// The sheet writer. A new sheet: a header of captions, then one row per unit,
// every field followed by a comma. A sheet of unit rows that is there is
// refreshed in its own shape instead: read as csvtoini reads it, its rows
// follow the list, each unit's cells take the file's values where they read
// otherwise, and everything else stays as the modder left it.
#include "units.h"
#include "platform.h"
#include "sheet.h"
#include "lines.h"

#include <allegro.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// Text made a piece at a time, in a buffer of the run's; failed if there was
// no memory for it.
struct Text {
    char *text;
    size_t len, cap;
    bool failed;
};

// Append the n bytes at s to the text.
static void add(Text &t, const char *s, size_t n)
{
    if (!t.failed && t.len + n > t.cap) {
        size_t cap = 2 * (t.len + n) + 256;
        char *p = (char *)realloc(t.text, cap);
        t.failed = !p;
        if (p)
            t.text = p, t.cap = cap;
    }
    if (!t.failed) {
        memcpy(t.text + t.len, s, n);
        t.len += n;
    }
}

static void addText(Text &t, const char *s)
{
    add(t, s, strlen(s));
}

// Append a whole number to the text.
static void addNumber(Text &t, int v)
{
    char number[16];
    add(t, number, snprintf(number, sizeof number, "%d", v));
}

// Append name as a field of a sheet split at sep: quoted, with its quotes
// doubled, if it holds a comma, a quote, a semicolon or a tab, at which
// imports split too, so that it reads back as it stands.
static void addName(Text &t, const char *name)
{
    if (!strpbrk(name, ",\";\t")) {
        addText(t, name);
        return;
    }
    add(t, "\"", 1);
    for (const char *p = name; *p; p++)
        add(t, *p == '"' ? "\"\"" : p, 1 + (*p == '"'));
    add(t, "\"", 1);
}

// True if some name holds a byte outside ASCII.
static bool namesBeyondAscii()
{
    for (int u = 0; u < unitNum; u++)
        if (beyondAscii(unitName[u]))
            return true;
    return false;
}

// A new sheet of the table, in the platform's line ends.
static void newSheet(Text &t)
{
    // Without the byte-order mark, spreadsheets take such names for their
    // own code page.
    if (namesBeyondAscii())
        addText(t, "\xEF\xBB\xBF");
    addText(t, "Name,");
    for (const Column &c : statName)
        addText(t, c.caption), addText(t, ",");
    addText(t, textLineEnd);
    for (int u = 0; u < unitNum; u++) {
        addName(t, unitName[u]);
        addText(t, ",");
        for (int col = 0; col < statCount; col++)
            addNumber(t, uStat[u][col]), addText(t, ",");
        addText(t, textLineEnd);
    }
}

// The old sheet, read whole, and as csvtoini reads it: its rows, its shape,
// and its text as it stands, quotes and all.
static char oldSheet[sheetMaxBytes];
static SheetRows old;
static SheetShape shape;
static SheetText raw;

// The line end of the first line of the raw text; the platform's if none.
static const char *headerLineEnd()
{
    const char *p = raw.text, *end = raw.text + raw.len;
    while (p < end && !sheetLineEnd(p, end))
        p++;
    size_t n = sheetLineEnd(p, end);
    return n == 2 ? "\r\n" : n == 0 ? textLineEnd : *p == '\r' ? "\r" : "\n";
}

// Make the text end in a line end, eol, if it does not.
static void endLine(Text &t, const char *eol)
{
    if (t.len && t.text[t.len - 1] != '\n' && t.text[t.len - 1] != '\r')
        addText(t, eol);
}

// Where row k of the old sheet ends: where the next begins, or the text ends.
static size_t rowEnd(int k)
{
    return k + 1 < old.count ? old.start[k + 1] : raw.len;
}

// Append old row k for unit u: each field as it stands, but for a value
// that reads otherwise than the unit's, written plainly; missing fields are
// added where a value needs one. Blank lines after the row go with it.
static void addOldRow(Text &t, int k, int u)
{
    Fields f;
    startFields(&f, raw.text + old.start[k], rowEnd(k) - old.start[k], shape.sep);
    long i = 0;
    const char *a, *b = raw.text + old.start[k];
    for (Delim d = endField; d == endField; i++) {
        d = nextField(&f, &a, &b);
        if (i)
            add(t, &shape.sep, 1);
        int col = columnOfField(shape.columnAt, i);
        if (col >= 0 && col != nameColumn && old.stat[k][col] != uStat[u][col])
            addNumber(t, uStat[u][col]);
        else
            add(t, a, b - a);
    }
    // A missing cell reads 0: others are added up to the last that needs one.
    long most = -1;
    for (int col = 0; col < statCount; col++)
        if (shape.columnAt[col] >= i && uStat[u][col] != 0 && shape.columnAt[col] > most)
            most = shape.columnAt[col];
    for (; i <= most; i++) {
        add(t, &shape.sep, 1);
        int col = columnOfField(shape.columnAt, i);
        if (col >= 0 && col != nameColumn && uStat[u][col] != 0)
            addNumber(t, uStat[u][col]);
    }
    add(t, b, raw.text + rowEnd(k) - b);
}

// Append a row for unit u, which the sheet does not hold: its name and
// values in their columns, empty fields in the others, as many as the
// header has, in the header's line end.
static void addNewRow(Text &t, int u)
{
    Fields f;
    startFields(&f, raw.text, raw.len, shape.sep);
    const char *a, *b;
    long fields = 0;
    for (Delim d = endField; d == endField; fields++)
        d = nextField(&f, &a, &b);
    for (long i = 0; i < fields; i++) {
        if (i)
            add(t, &shape.sep, 1);
        int col = columnOfField(shape.columnAt, i);
        if (col == nameColumn)
            addName(t, unitName[u]);
        else if (col >= 0)
            addNumber(t, uStat[u][col]);
    }
    addText(t, headerLineEnd());
}

// The row of the old sheet that unit u's cells follow: the first unused one
// of its name, else of a name that the library takes for the same section;
// -1 if none.
static int rowOf(int u, const bool *used)
{
    for (int pass = 0; pass < 2; pass++)
        for (int k = 0; k < old.count; k++)
            if (!used[k] && (pass ? ustricmp(old.name[k], unitName[u]) : strcmp(old.name[k], unitName[u])) == 0)
                return k;
    return -1;
}

// The old sheet refreshed: its header and what precedes its first row, then
// a row for each listed unit in the list's order, then the rows of units the
// list does not hold (typed and not converted yet, or removed from the file
// meanwhile), as they stand.
static void refreshedSheet(Text &t)
{
    bool used[maxUnits] = {};
    const char *eol = headerLineEnd();
    add(t, raw.text, old.start[0]);
    for (int u = 0; u < unitNum; u++) {
        int k = rowOf(u, used);
        endLine(t, eol);
        if (k >= 0)
            used[k] = true, addOldRow(t, k, u);
        else
            addNewRow(t, u);
    }
    for (int k = 0; k < old.count; k++)
        if (!used[k]) {
            endLine(t, eol);
            add(t, raw.text + old.start[k], rowEnd(k) - old.start[k]);
        }
}

// True if the sheet's n bytes hold a unit row, or may: a line after the
// first holds more than blanks, separators, quotes and NUL bytes (of UTF-16).
static bool holdsRows(const char *p, size_t n)
{
    const char *end = p + n;
    while (p < end && *p != '\n' && *p != '\r')
        p++;
    for (; p < end; p++)
        if (*p && !strchr(" \t\r\n,;\"", *p))
            return true;
    return false;
}

// The sheet's bytes: the old one refreshed where it holds unit rows, else a
// new one; false, the run failed saying why, if the old one cannot be read as
// csvtoini reads it, or would lose its rows.
static bool sheetBytes(const WorkCopy &w, Text &bytes)
{
    bool rows = w.existed && (w.len == sizeof oldSheet || holdsRows(oldSheet, w.len));
    // A sheet of no units, from a file that lists none (empty, cut short, or
    // another file), replaces no sheet of units.
    if (rows && !unitNum) {
        failRun(iniNoUnits);
        return false;
    }
    if (rows && w.len == sizeof oldSheet) {
        failRun(sheetTooLarge);
        return false;
    }
    if (rows && !readSheet(oldSheet, w.len, &old, &shape))
        return false;
    if (!rows || old.count == 0) {
        newSheet(bytes);
        return true;
    }
    // The text as it stands: the reader's is taken apart.
    int line;
    raw = {(char *)malloc(3 * w.len + 1), 3 * w.len, 0, formUtf8, false, false};
    Text text = {};
    if (raw.text && decodeSheet(oldSheet, w.len, &raw, &line) == decoded)
        refreshedSheet(text);
    bytes.cap = 4 * text.len + 4;
    bytes.text = (char *)malloc(bytes.cap);
    bool made = raw.text && !text.failed && bytes.text;
    long n = made ? encodeSheet(text.text, text.len, raw.form, raw.mark, bytes.text, bytes.cap) : -1;
    free(text.text);
    free(raw.text);
    if (n >= 0) {
        bytes.len = (size_t)n;
        return true;
    }
    bytes.failed = true;
    // Made, the text fails to encode only where a name has no place in the
    // code page.
    for (int u = 0; u < unitNum && made; u++) {
        char one[4 * nameSize + 4];
        if (encodeSheet(unitName[u], strlen(unitName[u]), raw.form, false, one, sizeof one) < 0) {
            failRun(sheetCodePage, 0, "%s", unitName[u]);
            return false;
        }
    }
    failRun(iniNoRoom);
    return false;
}

void memToCsv()
{
    // The sheet is written beside itself and replaces the old one only
    // whole: a full disk or a size limit leaves the old one.
    WorkCopy w = {programName, oldSheet, sizeof oldSheet, 0, false, nullptr, {}};
    WorkResult r = workFailed;
    Text bytes = {};
    if (openWorkCopy(csvFile, &w)) {
        if (!sheetBytes(w, bytes) || bytes.failed) {
            discardWorkCopy();
            free(bytes.text);
            return;
        }
        // A sheet that holds the file's values already stays as it is.
        if (w.existed && bytes.len == w.len && memcmp(bytes.text, oldSheet, w.len) == 0) {
            discardWorkCopy();
            r = workDone;
        } else if (int e = writeWhole(w.name, bytes.text, bytes.len)) {
            discardWorkCopy();
            say(&w.why, writeFailure(e));
        } else {
            r = commitWorkCopy(&w);
        }
    }
    free(bytes.text);
    if (r == workTargetChanged)
        failRun(sheetChanged);
    else if (r == workFailed)
        failRun(sheetNotWritten, 0, "%s", w.why.text);
}
