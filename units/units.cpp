// The unit table and the helpers that readers and writers share.
#include "units.h"
#include "iniline.h"
#include "platform.h"

#include <allegro.h>
#include <ctype.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

const char iniFile[] = "valdra.ini";
const char csvFile[] = "valdra.csv";
const char listSection[] = "unitnames";

int unitNum;
char unitName[maxUnits][nameSize];
int uStat[maxUnits][statCount];
int unitLine[maxUnits];
bool unitGuessed[maxUnits];

static_assert(unitKeySize >= sizeof "unit-2147483648", "room for any row");

// v clamped to the range of int.
static int clampInt(long long v)
{
    return v < INT_MIN ? INT_MIN : v > INT_MAX ? INT_MAX : (int)v;
}

int keyValue(const int *row, int col)
{
    if (!statName[col].weight)
        return row[col];
    long long sum = 0;
    for (int c = 0; c < statCount; c++)
        if (sameKey(c, col))
            sum += (long long)statName[c].weight * row[c];
    return clampInt(sum);
}

void setFromKey(int *row, int col, int v)
{
    if (!statName[col].weight) {
        row[col] = v;
        return;
    }
    for (int c = statCount - 1; c >= 0; c--)
        if (sameKey(c, col)) {
            row[c] = v >= statName[c].weight;
            if (row[c])
                v -= statName[c].weight;
        }
}

int gameInt(const char *text)
{
    char ascii[64];
    return clampInt(strtoll(uconvert(text, U_CURRENT, ascii, U_ASCII, sizeof ascii), nullptr, 0));
}

bool beyondAscii(const char *name)
{
    for (const char *p = name; *p; p++)
        if ((unsigned char)*p >= 0x80)
            return true;
    return false;
}

void storeName(int unit, const char *name, size_t len)
{
    memcpy(unitName[unit], name, len);
    unitName[unit][len] = '\0';
}

Shown shown(const char *text, size_t len, size_t most)
{
    return {(int)(len <= most ? len : validUtf8(text, most)), len <= most ? "" : "..."};
}

int writeWhole(const char *name, const char *p, size_t n)
{
    FILE *f = fopen(name, "wb");
    int e = f ? 0 : errno;
    if (f && fwrite(p, 1, n, f) != n)
        e = errno ? errno : -1;
    // A full disk shows only at the flush, so the close decides too.
    if (f && fclose(f) != 0 && !e)
        e = errno ? errno : -1;
    return e;
}

const char *writeFailure(int e)
{
    return e > 0 ? ioError(e) : "a write failed";
}

ByteOrder byteOrderMark(const char *p, size_t n)
{
    if (n >= markUtf8Bytes && memcmp(p, "\xEF\xBB\xBF", markUtf8Bytes) == 0)
        return markUtf8;
    if (n >= markUtf16Bytes && memcmp(p, "\xFF\xFE", markUtf16Bytes) == 0)
        return markUtf16Le;
    if (n >= markUtf16Bytes && memcmp(p, "\xFE\xFF", markUtf16Bytes) == 0)
        return markUtf16Be;
    return noMark;
}

// What is wrong with the encoding of an INI file that begins with the n
// bytes at p (a byte-order mark, or UTF-16), for a message; null if nothing.
static const char *iniEncodingProblem(const char *p, size_t n)
{
    ByteOrder mark = byteOrderMark(p, n);
    if (mark == markUtf8)
        return "it begins with a UTF-8 byte-order mark, which hides its first section";
    // UTF-16 has a mark, or holds a NUL in one of its first two bytes.
    if (mark != noMark || (n >= 2 && (!p[0] || !p[1])))
        return "it is UTF-16, which the library cannot read";
    return nullptr;
}

void unitKey(char key[unitKeySize], int unit)
{
    snprintf(key, unitKeySize, "unit%d", unit);
}

int listIndex(const char *key, int most)
{
    size_t n = strlen(key), digits = 0;
    while (digits < n && digits < 10 && key[n - 1 - digits] >= '0' && key[n - 1 - digits] <= '9')
        digits++;
    long long index = digits ? strtoll(key + n - digits, nullptr, 10) : -1;
    char named[unitKeySize];
    if (index < 0 || index > most)
        return -1;
    unitKey(named, (int)index);
    return ustricmp(key, named) == 0 ? (int)index : -1;
}

bool keepableName(const char *name)
{
    if (name[0] == '[')
        return false;
    // The library reads a header's name up to its first blank, '=' or '#',
    // and a name holding ']' is taken for another section's header.
    for (const char *p = name; *p;) {
        int c = ugetx((char **)&p);
        if (uisspace(c) || c == '=' || c == '#' || c == ']')
            return false;
    }
    return true;
}

// Length of the UTF-8 character at p, end - p bytes left, if it is one that
// strict UTF-8 allows (no overlong form, no surrogate, at most U+10FFFF and
// not NUL); 0 if it is not.
static size_t utf8Char(const unsigned char *p, const unsigned char *end)
{
    unsigned c = p[0];
    if (c >= 0x01 && c <= 0x7F)
        return 1;
    size_t len = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3
               : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (len == 0 || (size_t)(end - p) < len)
        return 0;
    // The second byte's range is narrower after these leads.
    unsigned lo = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
    unsigned hi = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
    if (p[1] < lo || p[1] > hi)
        return 0;
    for (size_t i = 2; i < len; i++)
        if ((p[i] & 0xC0) != 0x80)
            return 0;
    return len;
}

size_t validUtf8(const char *text, size_t n)
{
    const unsigned char *p = (const unsigned char *)text, *end = p + n;
    for (size_t len; p < end && (len = utf8Char(p, end)) != 0; p += len) {
    }
    return (size_t)(p - (const unsigned char *)text);
}

// True if the library holds every line of the n bytes of UTF-8 at p in its
// line buffer; else the run fails naming the first line it would overrun.
static bool linesHeld(const char *p, size_t n)
{
    int line = 1;
    for (size_t at = 0, end, next; at < n; at = next, line++) {
        next = iniNextLine(p, at, n, &end);
        size_t over = iniLineOverrun(p + at, end - at);
        if (over != noOverrun) {
            failRun(iniOverrun, line, "%zu", over + 1);
            return false;
        }
    }
    return true;
}

bool iniAdmitted(const char *p, size_t n)
{
    // A byte-order mark or UTF-16 hides the list from the library; other
    // bytes that are not UTF-8 it misreads, and some make it loop forever.
    const char *e = iniEncodingProblem(p, n);
    size_t good = validUtf8(p, n);
    if (n > iniReadMaxBytes)
        failRun(iniTooLargeToRead);
    else if (e)
        failRun(iniEncoding, 0, "%s", e);
    else if (good < n)
        failRun(iniNotUtf8, iniLineOf(p, n, good));
    return n <= iniReadMaxBytes && !e && good == n && linesHeld(p, n);
}

bool listWhole(int length)
{
    if (length <= maxUnits)
        return true;
    failRun(iniListTooLong, 0, length < listCountMost ? "%d" : "%d or more", length);
    return false;
}
