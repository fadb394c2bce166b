// The sheet reader's pure stages: the sheet's bytes decoded to UTF-8 text,
// the text split into fields, and a cell read as a whole number. See sheet.h.
#include "sheet.h"
#include "lines.h"
#include "platform.h"
#include "units.h"

#include <limits.h>
#include <string.h>
#include <strings.h>

// Windows-1252's characters for the bytes 0x80 to 0x9F; the five bytes it
// leaves undefined stand for the control characters of the same number.
static const unsigned short cp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

// Append code point c to the text as UTF-8; its room suffices for any sheet
// of at most sheetMaxBytes.
static void putUtf8(SheetText *t, unsigned c)
{
    char *out = t->text + t->len;
    if (c < 0x80) {
        out[0] = (char)c;
        t->len += 1;
    } else if (c < 0x800) {
        out[0] = (char)(0xC0 | c >> 6);
        out[1] = (char)(0x80 | (c & 0x3F));
        t->len += 2;
    } else if (c < 0x10000) {
        out[0] = (char)(0xE0 | c >> 12);
        out[1] = (char)(0x80 | (c >> 6 & 0x3F));
        out[2] = (char)(0x80 | (c & 0x3F));
        t->len += 3;
    } else {
        out[0] = (char)(0xF0 | c >> 18);
        out[1] = (char)(0x80 | (c >> 12 & 0x3F));
        out[2] = (char)(0x80 | (c >> 6 & 0x3F));
        out[3] = (char)(0x80 | (c & 0x3F));
        t->len += 4;
    }
}

// Decode n bytes of UTF-16, big-endian if big, into the text; false if they
// are not UTF-16 (an odd count, or a surrogate out of its pair).
static bool fromUtf16(SheetText *t, const unsigned char *p, size_t n, bool big)
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
        putUtf8(t, c);
    }
    return true;
}

// Decode n bytes of Windows-1252 into the text.
static void fromCp1252(SheetText *t, const unsigned char *p, size_t n)
{
    for (size_t i = 0; i < n; i++)
        putUtf8(t, p[i] >= 0x80 && p[i] < 0xA0 ? cp1252High[p[i] - 0x80] : p[i]);
}

// The byte order of UTF-16 without a mark whose first line, n bytes at p
// and more than one character, has a NUL in every other byte, as the
// captions of a header saved so have; noMark if it has not.
static ByteOrder unmarkedUtf16(const unsigned char *p, size_t n)
{
    size_t i = 0;
    bool little = true, big = true;
    for (; i + 1 < n && (little || big); i += 2) {
        unsigned lo = p[i], hi = p[i + 1];
        if ((lo == '\n' || lo == '\r') && hi == 0 && i > 2)
            break;
        little = little && lo != 0 && hi == 0;
        big = big && lo == 0 && hi != 0;
    }
    return i < 4 ? noMark : little ? markUtf16Le : big ? markUtf16Be : noMark;
}

Decoded decodeSheet(const char *bytes, size_t n, SheetText *t, int *line)
{
    const unsigned char *p = (const unsigned char *)bytes;
    t->len = 0;
    t->guessed = false;
    ByteOrder mark = byteOrderMark(bytes, n);
    bool bom = mark == markUtf8;
    t->form = mark == markUtf16Le ? formUtf16Le : mark == markUtf16Be ? formUtf16Be : formUtf8;
    t->mark = mark != noMark;
    if (bom) {
        p += markUtf8Bytes;
        n -= markUtf8Bytes;
    } else if (mark != noMark) {
        return fromUtf16(t, p + markUtf16Bytes, n - markUtf16Bytes, mark == markUtf16Be) ? decoded : decodedBadUtf16;
    } else if ((mark = unmarkedUtf16(p, n)) != noMark) {
        t->form = mark == markUtf16Be ? formUtf16Be : formUtf16Le;
        return fromUtf16(t, p, n, mark == markUtf16Be) ? decoded : decodedBadUtf16;
    }
    // NUL bytes are valid UTF-8 but not to validUtf8; a row holding one is
    // refused whatever the decoding, so skip them here.
    size_t good = 0;
    while (good < n && (good += validUtf8((const char *)p + good, n - good)) < n && p[good] == 0)
        good++;
    if (good < n && bom) {
        *line = sheetLineOf((const char *)p, good);
        return decodedNotUtf8;
    }
    long made = good < n ? systemToUtf8((const char *)p, n, t->text, t->cap) : 0;
    t->guessed = good < n && made == 0;
    t->form = t->guessed ? formCp1252 : good < n ? formCodePage : formUtf8;
    if (made < 0)
        return decodedNotText;
    if (t->guessed)
        fromCp1252(t, p, n);
    else if (made > 0)
        t->len = (size_t)made;
    else {
        memcpy(t->text, p, n);
        t->len = n;
    }
    return decoded;
}

// True if p, before end, starts a line end; moves p past it and counts it.
static bool lineEnd(Fields *f, const char *&p, const char *end)
{
    size_t n = sheetLineEnd(p, end);
    p += n;
    f->line += n != 0;
    return n != 0;
}

// The code point of the UTF-8 character at text[*at], n bytes in all, and
// *at moved past it; the text is valid UTF-8.
static unsigned nextCodePoint(const char *text, size_t n, size_t *at)
{
    const unsigned char *p = (const unsigned char *)text + *at;
    size_t len = p[0] < 0x80 ? 1 : p[0] < 0xE0 ? 2 : p[0] < 0xF0 ? 3 : 4;
    unsigned c = len == 1 ? p[0] : p[0] & (0x7F >> len);
    for (size_t i = 1; i < len && *at + i < n; i++)
        c = c << 6 | (p[i] & 0x3F);
    *at += len;
    return c;
}

// The Windows-1252 byte of code point c, or -1 if it has none.
static int cp1252Byte(unsigned c)
{
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return (int)c;
    for (int i = 0; i < 32; i++)
        if (cp1252High[i] == c)
            return 0x80 + i;
    return -1;
}

long encodeSheet(const char *text, size_t n, SheetForm form, bool mark, char *out, size_t cap)
{
    if (form == formCodePage)
        return systemFromUtf8(text, n, out, cap);
    unsigned char *o = (unsigned char *)out;
    size_t len = 0;
    if (cap < 4 * n + 4)
        return -1;
    if (mark && form == formUtf8)
        memcpy(o, "\xEF\xBB\xBF", markUtf8Bytes), len = markUtf8Bytes;
    else if (mark && form != formCp1252)
        memcpy(o, form == formUtf16Le ? "\xFF\xFE" : "\xFE\xFF", markUtf16Bytes), len = markUtf16Bytes;
    if (form == formUtf8) {
        memcpy(o + len, text, n);
        return (long)(len + n);
    }
    for (size_t at = 0; at < n;) {
        unsigned c = nextCodePoint(text, n, &at);
        if (form == formCp1252) {
            int b = cp1252Byte(c);
            if (b < 0)
                return -1;
            o[len++] = (unsigned char)b;
            continue;
        }
        // UTF-16, a code point past the first plane as a surrogate pair.
        unsigned units[2] = {c, 0};
        int count = 1;
        if (c >= 0x10000)
            units[0] = 0xD800 + ((c - 0x10000) >> 10), units[1] = 0xDC00 + ((c - 0x10000) & 0x3FF), count = 2;
        for (int i = 0; i < count; i++, len += 2) {
            o[len + (form == formUtf16Be)] = (unsigned char)(units[i] & 0xFF);
            o[len + (form == formUtf16Le)] = (unsigned char)(units[i] >> 8);
        }
    }
    return (long)len;
}

void startFields(Fields *f, const char *text, size_t len, char sep)
{
    *f = {text, text + len, sep, 1};
}

Delim nextField(Fields *f, const char **start, const char **stop)
{
    const char *p = f->cursor, *end = f->end;
    *start = p;
    if (p < end && *p == '"') {
        int opened = f->line;
        for (p++;; p++) {
            if (p == end) {
                *stop = f->cursor = end;
                f->line = opened;
                return openQuote;
            }
            if (*p == '"' && !(p + 1 < end && p[1] == '"'))
                break;
            if (*p == '"')
                p++;
            else if (lineEnd(f, p, end))
                p--;
        }
        p++;
    }
    while (p < end && *p != f->sep && *p != '\n' && *p != '\r')
        p++;
    *stop = p;
    if (p == end) {
        f->cursor = p;
        return endText;
    }
    if (*p == f->sep) {
        f->cursor = p + 1;
        return endField;
    }
    lineEnd(f, p, end);
    f->cursor = p;
    return endRow;
}

// The text of the field [start, stop): quotes removed, in place; returns its
// new end.
char *unquote(char *start, char *stop)
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
Value wholeNumber(const char *p, const char *end, int *v)
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

int columnOfField(const long columnAt[statCount + 1], long i)
{
    for (int col = 0; col <= nameColumn; col++)
        if (columnAt[col] == i)
            return col;
    return -1;
}
