// The sheet reader, a pipeline of small stages: the file's bytes, decoded to
// UTF-8 text; the text split into fields; the header's captions located; then
// each further row taken as a unit. A row that cannot be a unit stops the run,
// so that nothing is written from a sheet that was misread.
#include "units.h"
#include "platform.h"

#include <allegro.h>
#include <ctype.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

const size_t sheetMaxBytes = 4u << 20;   // the largest sheet csvtoini reads
// The sheet as UTF-8: a byte of Windows-1252 or two of UTF-16 may become
// three bytes of UTF-8.
const size_t sheetTextSize = 3 * sheetMaxBytes;
static_assert(sheetMaxBytes == 4u << 20, "the message of sheetTooLarge says 4 MiB");
static_assert(sheetMaxBytes <= systemTextMaxBytes, "the system decodes any sheet");

static char sheetBytes[sheetMaxBytes];   // the sheet as it is on disk
static char sheetText[sheetTextSize + 1]; // the sheet as UTF-8, room for a NUL
static size_t textLen;                   // bytes of sheetText in use
static bool guessed;                     // the sheet's code page was guessed
static int spare[statCount];             // the values of a row past the table's

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
// mark says UTF-8 or UTF-16; without one, text that is not UTF-8 is in a code
// page, as spreadsheets save their plain CSV: the system's own where it has
// one, else taken as Windows-1252, a guess. False if it fails.
static bool decodeSheet(size_t n)
{
    const unsigned char *p = (const unsigned char *)sheetBytes;
    textLen = 0;
    guessed = false;
    ByteOrder mark = byteOrderMark(sheetBytes, n);
    bool bom = mark == markUtf8;
    if (bom) {
        p += markUtf8Bytes;
        n -= markUtf8Bytes;
    } else if (mark != noMark) {
        if (fromUtf16(p + markUtf16Bytes, n - markUtf16Bytes, mark == markUtf16Be))
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
    long made = good < n ? systemToUtf8((const char *)p, n, sheetText, sizeof sheetText) : 0;
    guessed = good < n && made == 0;
    if (made < 0) {
        failRun(sheetNotText);
        return false;
    }
    if (guessed)
        fromCp1252(p, n);
    else if (made > 0)
        textLen = (size_t)made;
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
    size_t n = lineEndAt(p, end);
    p += n;
    lineNo += n != 0;
    return n != 0;
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

// Stage 4: rows.

// How a cell reads as a value.
enum Value { valueOk, valueNotWhole, valueOutOfRange };

// True if [p, end) is word, compared without case.
static bool isWord(const char *p, const char *end, const char *word)
{
    return (size_t)(end - p) == strlen(word) && strncasecmp(p, word, end - p) == 0;
}

// The digits of a number as a cell writes them: its significant digits
// (those from the first that is not 0), the zeros that end them, the first
// of them (no more than an int needs), and the power of ten to multiply by.
struct Digits {
    long long count, zeros, first, power;
};

// Add the decimal digits from *p on, before end, to d; their count.
static long long addDigits(Digits *d, const char **p, const char *end)
{
    const char *from = *p;
    for (; *p < end && **p >= '0' && **p <= '9'; ++*p) {
        int digit = **p - '0';
        if (d->count == 0 && digit == 0)
            continue;
        d->zeros = digit ? 0 : d->zeros + 1;
        if (++d->count <= 11)
            d->first = d->first * 10 + digit;
    }
    return *p - from;
}

// The whole number that the digits d stand for, in *v.
static Value wholeOf(Digits d, bool negative, int *v)
{
    long long count = d.count - d.zeros, power = d.power + d.zeros, n = d.first;
    for (long long kept = d.count < 11 ? d.count : 11; kept > count; kept--)
        n /= 10;
    if (count == 0)
        n = power = 0;
    if (power < 0)
        return valueNotWhole;
    if (count + power > 10)
        return valueOutOfRange;
    for (; power > 0; power--)
        n *= 10;
    n = negative ? -n : n;
    if (n < INT_MIN || n > INT_MAX)
        return valueOutOfRange;
    *v = (int)n;
    return valueOk;
}

// The whole number that the cell [p, end) shows, in *v, as spreadsheets and
// scripts write one: blanks around an optional sign and decimal digits,
// which may end in a point and zeros (but not exactly three, which may
// group thousands) or in an exponent that leaves the value whole (1e+05,
// 2.5E3); and TRUE or FALSE in any case, as 1 and 0, which clients write in
// any column that holds only those two values.
static Value wholeNumber(const char *p, const char *end, int *v)
{
    while (p < end && (*p == ' ' || *p == '\t'))
        p++;
    while (end > p && (end[-1] == ' ' || end[-1] == '\t'))
        end--;
    if (isWord(p, end, "true") || isWord(p, end, "false")) {
        *v = isWord(p, end, "true");
        return valueOk;
    }
    bool negative = p < end && *p == '-';
    p += p < end && (*p == '-' || *p == '+');
    Digits d = {0, 0, 0, 0};
    const char *point = nullptr;
    bool whole = addDigits(&d, &p, end) > 0, zeros = true;
    if (whole && p < end && *p == '.') {
        point = ++p;
        d.power = -addDigits(&d, &p, end);
        for (const char *q = point; q < p; q++)
            zeros = zeros && *q == '0';
        whole = p > point;
    }
    bool exponent = whole && p < end && (*p == 'e' || *p == 'E');
    if (exponent) {
        bool down = ++p < end && *p == '-';
        p += p < end && (*p == '-' || *p == '+');
        long long e = 0;
        const char *from = p;
        for (; p < end && *p >= '0' && *p <= '9'; p++)
            e = e < 100000 ? e * 10 + (*p - '0') : e;
        d.power += down ? -e : e;
        whole = p > from;
    }
    if (p != end || !whole || (point && !exponent && (!zeros || p - point == 3)))
        return valueNotWhole;
    return wholeOf(d, negative, v);
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
    int shown = shownBytes(start, stop - start, cellShown);
    failRun(r == valueNotWhole ? rowNotWhole : r == valueOutOfRange ? rowOutOfRange : rowNotFlag, line,
            "%s is \"%.*s%s\"", statName[col].caption, shown, start, shown < stop - start ? "..." : "");
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
    Problem p = uisspace(ugetc(name)) || uisspace(ugetat(name, -1)) ? nameBlankEnd
              : !keepableName(name) ? nameNoHeader
              : len > (size_t)nameMaxBytes ? nameTooLong
              : ustricmp(name, listSection) == 0 ? nameIsList : problemCount;
    if (p == nameTooLong)
        failRun(p, at, "%.*s...", shownBytes(name, len, nameShown), name);
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
        return cursor < sheetText + textLen ? rowMore : rowLast;
    if (quoted && memchr(s, sep, end - s)) {
        failRun(rowOneColumn, at, "%s", sep == '\t' ? "a tab" : sep == ';' ? "\";\"" : "\",\"");
    } else {
        int shown = shownBytes(s, end - s, cellShown);
        failRun(rowNoSeparator, at, "%.*s%s", shown, s, shown < end - s ? "..." : "");
    }
    return rowFailed;
}

// Read the row at cursor into row unitNum of the table. It is a unit if it
// has a separator and a name or value that is not blank; it is refused,
// failing the run, if it holds a NUL byte, has values without a name, or a
// name that the library would not keep as it stands, and so is a line of
// text without a separator.
static RowRead readRow()
{
    int at = lineNo;
    int *values = unitNum < maxUnits ? uStat[unitNum] : spare;
    char *name = nullptr, *nameEnd = nullptr;
    bool filled = false, nul = false, bad = false;
    long fields = 0;
    for (Delim d = endField; d == endField; fields++) {
        const char *a, *b;
        d = nextField(&a, &b);
        if (d == openQuote) {
            failRun(sheetOpenQuote, lineNo);
            return rowFailed;
        }
        if (fields == 0 && d != endField)
            return oneField((char *)a, (char *)b, at);
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
    RowRead next = cursor < sheetText + textLen ? rowMore : rowLast;
    if (!filled) {
        memset(values, 0, sizeof uStat[0]);
        return next;
    }
    // Part of the list would make the game lose the rest.
    if (unitNum == maxUnits)
        failRun(sheetTooManyRows, at);
    else if (nul)
        failRun(rowNul, at);
    if (unitNum == maxUnits || nul || bad || !checkName(name, nameEnd, at))
        return rowFailed;
    unitLine[unitNum] = at;
    unitGuessed[unitNum] = guessed;
    storeName(unitNum++, name, nameEnd - name);
    return next;
}

// Rows whose names the library takes for one section must hold the same
// values, or one row's would be lost; false, the run failed, if not.
static bool sameSectionsAgree()
{
    for (int v = 1; v < unitNum; v++)
        for (int u = 0; u < v; u++)
            if (ustricmp(unitName[u], unitName[v]) == 0 && memcmp(uStat[u], uStat[v], sizeof uStat[u]) != 0) {
                failRun(rowSameSection, unitLine[v], "\"%s\" names the section of line %d (\"%s\")",
                        unitName[v], unitLine[u], unitName[u]);
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

bool csvToMem()
{
    unitNum = 0;
    memset(uStat, 0, sizeof uStat);
    size_t n;
    Why why;
    FileRead r = readWholeFile(csvFile, sheetBytes, sizeof sheetBytes, &n, &why);
    if (r == fileTooLarge)
        failRun(sheetTooLarge);
    else if (r == fileFailed || r == fileBusy)
        failRun(sheetUnreadable, 0, "%s", why.text);
    if (r != fileRead && r != fileMissing)
        return false;
    // A missing sheet, or one without a header, sets nothing.
    if (r == fileMissing || !decodeSheet(n))
        return r == fileMissing;
    if (blankText())
        return true;
    RowRead row = readHeader() ? rowMore : rowFailed;
    while (row == rowMore)
        row = readRow();
    // Half a sheet would update half the units: take none.
    if (row == rowFailed || !sameSectionsAgree()) {
        unitNum = 0;
        return false;
    }
    return true;
}
