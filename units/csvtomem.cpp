// The sheet reader, a pipeline of small stages: the file's bytes, decoded to
// UTF-8 text; the text split into fields; the header's captions located; then
// each further row taken as a unit. A row that cannot be a unit stops the run,
// so that nothing is written from a sheet that was misread.
#include "units.h"

#include <allegro.h>
#include <ctype.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

static char sheetBytes[sheetMaxBytes];   // the sheet as it is on disk
static char sheetText[sheetTextSize + 1]; // the sheet as UTF-8, room for a NUL
static size_t textLen;                   // bytes of sheetText in use
static int rowLine[maxUnits];            // the sheet's line of each unit's row

// Windows-1252's characters for the bytes 0x80 to 0x9F; the five bytes it
// leaves undefined stand for the control characters of the same number.
static const unsigned short cp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

// Append code point c to sheetText as UTF-8; the buffer has room for any
// sheet of at most sheetMaxBytes.
static void putUtf8(unsigned c)
{
    char *out = sheetText + textLen;
    if (c < 0x80) {
        out[0] = (char)c;
        textLen += 1;
    } else if (c < 0x800) {
        out[0] = (char)(0xC0 | c >> 6);
        out[1] = (char)(0x80 | (c & 0x3F));
        textLen += 2;
    } else if (c < 0x10000) {
        out[0] = (char)(0xE0 | c >> 12);
        out[1] = (char)(0x80 | (c >> 6 & 0x3F));
        out[2] = (char)(0x80 | (c & 0x3F));
        textLen += 3;
    } else {
        out[0] = (char)(0xF0 | c >> 18);
        out[1] = (char)(0x80 | (c >> 12 & 0x3F));
        out[2] = (char)(0x80 | (c >> 6 & 0x3F));
        out[3] = (char)(0x80 | (c & 0x3F));
        textLen += 4;
    }
}

// Decode n bytes of UTF-16, big-endian if big, into sheetText; false if they
// are not UTF-16 (an odd count, or a surrogate out of its pair).
static bool fromUtf16(const unsigned char *p, size_t n, bool big)
{
    if (n % 2)
        return false;
    for (size_t i = 0; i < n; i += 2) {
        unsigned c = big ? p[i] << 8 | p[i + 1] : p[i + 1] << 8 | p[i];
        if (c >= 0xDC00 && c <= 0xDFFF)
            return false;
        if (c >= 0xD800 && c <= 0xDBFF) {
            i += 2;
            unsigned low = i + 1 < n ? (big ? p[i] << 8 | p[i + 1] : p[i + 1] << 8 | p[i]) : 0;
            if (low < 0xDC00 || low > 0xDFFF)
                return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        }
        putUtf8(c);
    }
    return true;
}

// Decode n bytes of Windows-1252 into sheetText.
static void fromCp1252(const unsigned char *p, size_t n)
{
    for (size_t i = 0; i < n; i++)
        putUtf8(p[i] >= 0x80 && p[i] < 0xA0 ? cp1252High[p[i] - 0x80] : p[i]);
}

// Stage 1: turn the sheet's n bytes into UTF-8 text in sheetText. A byte-order
// mark says UTF-8 or UTF-16; without one, text that is not UTF-8 is taken as
// Windows-1252, as spreadsheets on Windows save it. False if it fails.
static bool decodeSheet(size_t n)
{
    const unsigned char *p = (const unsigned char *)sheetBytes;
    textLen = 0;
    bool bom = n >= 3 && memcmp(p, "\xEF\xBB\xBF", 3) == 0;
    if (bom) {
        p += 3;
        n -= 3;
    } else if (n >= 2 && (memcmp(p, "\xFF\xFE", 2) == 0 || memcmp(p, "\xFE\xFF", 2) == 0)) {
        if (fromUtf16(p + 2, n - 2, p[0] == 0xFE))
            return true;
        failRun(sheetBadUtf16);
        return false;
    }
    // NUL bytes are valid UTF-8 but not to validUtf8; a row holding one is
    // refused whatever the decoding, so skip them here.
    size_t good = 0;
    while (good < n && (good += validUtf8((const char *)p + good, n - good)) < n && p[good] == 0)
        good++;
    if (good < n && bom) {
        failRun(sheetNotUtf8, lineOf((const char *)p, good));
        return false;
    }
    if (good < n)
        fromCp1252(p, n);
    else {
        memcpy(sheetText, p, n);
        textLen = n;
    }
    return true;
}

// Stage 2: fields. A field that begins with '"' is quoted: it runs to the
// next '"' that is not doubled, and separators and line ends inside belong to
// it; anything after the closing quote is taken as it stands. A '"' anywhere
// else is an ordinary character. Lines end in LF, CR LF or CR.

static char sep;              // the field separator, chosen by the header
static const char *cursor;    // the start of the next field in sheetText
static int lineNo;            // the line of the sheet that cursor is on

enum Delim { endField, endRow, endText, openQuote };

// True if p, before the end of the text, starts a line end; moves p past it.
static bool lineEnd(const char *&p, const char *end)
{
    if (*p == '\n' || *p == '\r') {
        p += *p == '\r' && p + 1 < end && p[1] == '\n' ? 2 : 1;
        lineNo++;
        return true;
    }
    return false;
}

// Take the field at cursor as [*start, *stop), quotes and all, move cursor to
// the next field and say what ended this one.
static Delim nextField(const char **start, const char **stop)
{
    const char *p = cursor, *end = sheetText + textLen;
    *start = p;
    if (p < end && *p == '"') {
        int opened = lineNo;
        for (p++;; p++) {
            if (p == end) {
                *stop = cursor = end;
                lineNo = opened;
                return openQuote;
            }
            if (*p == '"' && !(p + 1 < end && p[1] == '"'))
                break;
            if (*p == '"')
                p++;
            else if (lineEnd(p, end))
                p--;
        }
        p++;
    }
    while (p < end && *p != sep && *p != '\n' && *p != '\r')
        p++;
    *stop = p;
    if (p == end) {
        cursor = p;
        return endText;
    }
    if (*p == sep) {
        cursor = p + 1;
        return endField;
    }
    lineEnd(p, end);
    cursor = p;
    return endRow;
}

// The text of the field [start, stop): quotes removed, in place; returns its
// new end.
static char *unquote(char *start, char *stop)
{
    if (start == stop || *start != '"')
        return stop;
    char *out = start, *p = start + 1;
    for (; p < stop && !(*p == '"' && !(p + 1 < stop && p[1] == '"')); p++) {
        if (*p == '"')
            p++;   // a doubled quote is one
        *out++ = *p;
    }
    // Past the closing quote, the rest is taken as it stands.
    for (p++; p < stop; p++)
        *out++ = *p;
    return out;
}

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

const int nameColumn = statCount;     // columnAt's entry for Name
static long columnAt[statCount + 1];  // the field index of each column

// Split the sheet at separator s from its first line on.
static void startText(char s)
{
    sep = s;
    cursor = sheetText;
    lineNo = 1;
}

// The caption of column col, Name for nameColumn.
static const char *captionOf(int col)
{
    return col == nameColumn ? "Name" : statName[col].caption;
}

// The column that the header field [start, stop) names, -1 for none. The
// field is compared trimmed and unquoted, and left as it is.
static int captionColumn(const char *start, const char *stop)
{
    char field[32];
    if (stop - start >= (long)sizeof field)
        return -1;
    memcpy(field, start, stop - start);
    char *a = field, *b = unquote(field, field + (stop - start));
    trim(&a, &b);
    if (b - a >= 2 && *a == '"' && b[-1] == '"') {
        a++;
        b--;
    }
    size_t len = b - a;
    for (int col = 0; col <= nameColumn; col++)
        if (strlen(captionOf(col)) == len && strncasecmp(a, captionOf(col), len) == 0)
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
        d = nextField(&a, &b);
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
        failRun(sheetTwoColumns, 1, captionOf(twice));
    else
        // Name first, then the captions in their order.
        for (int i = 0; i <= statCount; i++)
            if (int col = (nameColumn + i) % (statCount + 1); columnAt[col] < 0) {
                failRun(sheetNoColumn, 1, captionOf(col));
                break;
            }
    return false;
}

// Stage 4: rows.

// The value of the cell [p, end) in *v: blanks, an optional sign, decimal
// digits, blanks. valueOk, or what else the cell holds.
enum Value { valueOk, valueNotWhole, valueOutOfRange };
static Value wholeNumber(const char *p, const char *end, int *v)
{
    while (p < end && (*p == ' ' || *p == '\t'))
        p++;
    while (end > p && (end[-1] == ' ' || end[-1] == '\t'))
        end--;
    bool negative = p < end && *p == '-';
    if (p < end && (*p == '-' || *p == '+'))
        p++;
    if (p == end)
        return valueNotWhole;
    long long n = 0;
    for (; p < end; p++) {
        if (*p < '0' || *p > '9')
            return valueNotWhole;
        if (n <= INT_MAX + 1LL)   // past that only the range matters
            n = n * 10 + (*p - '0');
    }
    n = negative ? -n : n;
    if (n < INT_MIN || n > INT_MAX)
        return valueOutOfRange;
    *v = (int)n;
    return valueOk;
}

// Take the cell [start, stop), unquoted, of value column col into values;
// false, the run failed naming the cell, if it is not a value of that column.
static bool readValue(int *values, int col, const char *start, const char *stop, int line)
{
    static char cell[160];
    int v = 0;
    Value r = wholeNumber(start, stop, &v);
    bool flag = col == colHitLand || col == colHitAir || col == colHitSea;
    if (r == valueOk && (!flag || v == 0 || v == 1)) {
        values[col] = v;
        return true;
    }
    int shown = (int)validUtf8(start, stop - start < 100 ? stop - start : 100);
    snprintf(cell, sizeof cell, "%s is \"%.*s%s\"", statName[col].caption, shown, start,
             shown < stop - start ? "..." : "");
    failRun(r == valueNotWhole ? rowNotWhole : r == valueOutOfRange ? rowOutOfRange : rowNotFlag, line, cell);
    return false;
}

// The column that field index i of a row holds, -1 for none.
static int columnOf(long i)
{
    for (int col = 0; col <= statCount; col++)
        if (columnAt[col] == i)
            return col;
    return -1;
}

// Read the row at cursor into row unitNum of the table. It is a unit if it
// has a separator and a name or value that is not blank; it is refused,
// failing the run, if it holds a NUL byte, has values without a name, or a
// name that the library would not keep as it stands. Returns false when the
// reading ends: at the end of the text, or with the run failed.
static bool readRow()
{
    int at = lineNo;
    int *values = uStat[unitNum];
    char *name = nullptr, *nameEnd = nullptr;
    bool filled = false, nul = false, bad = false;
    long fields = 0;
    for (Delim d = endField; d == endField; fields++) {
        const char *a, *b;
        d = nextField(&a, &b);
        if (d == openQuote) {
            failRun(sheetOpenQuote, lineNo);
            return false;
        }
        nul = nul || memchr(a, '\0', b - a);
        int col = columnOf(fields);
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
    bool more = cursor < sheetText + textLen;
    if (fields < 2 || !filled) {
        memset(values, 0, sizeof uStat[0]);
        return more;
    }
    if (nul) {
        failRun(rowNul, at);
        return false;
    }
    if (bad)
        return false;
    char *s = name, *e = nameEnd;
    if (name)
        trim(&s, &e);
    if (s == e) {
        failRun(rowNoName, at);
        return false;
    }
    // The name's end lies on its delimiter, which has been read already.
    *nameEnd = '\0';
    if (uisspace(ugetc(name)) || uisspace(ugetat(name, -1))) {
        failRun(nameBlankEnd, at, name);
        return false;
    }
    if (!keepableName(name)) {
        failRun(nameNoHeader, at, name);
        return false;
    }
    if (nameEnd - name > nameMaxBytes) {
        failRun(nameTooLong, at, shortName(name));
        return false;
    }
    if (ustricmp(name, listSection) == 0) {
        failRun(nameIsList, at, name);
        return false;
    }
    rowLine[unitNum] = at;
    storeName(unitNum++, name, nameEnd - name);
    return more;
}

// Rows whose names the library takes for one section must hold the same
// values, or one row's would be lost; false, the run failed, if not.
static bool sameSectionsAgree()
{
    for (int v = 1; v < unitNum; v++)
        for (int u = 0; u < v; u++)
            if (ustricmp(unitName[u], unitName[v]) == 0 && memcmp(uStat[u], uStat[v], sizeof uStat[u]) != 0) {
                static char detail[2 * nameSize + 64];
                snprintf(detail, sizeof detail, "\"%.253s\" names the section of line %d (\"%.253s\")",
                         unitName[v], rowLine[u], unitName[u]);
                failRun(rowSameSection, rowLine[v], detail);
                return false;
            }
    return true;
}

// True if the text holds nothing but blanks and line ends.
static bool blankText()
{
    for (size_t i = 0; i < textLen; i++)
        if (!isspace((unsigned char)sheetText[i]))
            return false;
    return true;
}

void csvToMem()
{
    unitNum = 0;
    memset(uStat, 0, sizeof uStat);
    size_t n;
    const char *why;
    FileRead r = readWholeFile(csvFile, sheetBytes, sizeof sheetBytes, &n, &why);
    if (r == fileTooLarge)
        failRun(sheetTooLarge);
    else if (r == fileFailed)
        failRun(sheetUnreadable, 0, why);
    // A missing sheet, or one without a header, sets nothing.
    if (r != fileRead || !decodeSheet(n) || blankText() || !readHeader())
        return;
    while (unitNum < maxUnits && readRow()) {
    }
    if (!runFailed)
        sameSectionsAgree();
    // Half a sheet would update half the units: take none.
    if (runFailed)
        unitNum = 0;
}
