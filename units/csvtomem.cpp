// The sheet reader: skips the header line, then takes each row as a unit, its
// name before the first separator and up to 17 values after it.
#include "units.h"

#include <ctype.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>

// Longer than any row initocsv writes: a full name, 17 values of 11
// characters with their separators, and a CR before the newline.
const int lineSize = 1024;
static_assert(lineSize > nameSize + statCount * (sizeof "-2147483648") + 2,
              "a written row reads back whole");

static char sep;   // the sheet's field separator, ',' or ';' by its header

// Read the next line of f into line without its newline, NUL-terminated; a
// line longer than the buffer keeps its start and loses the rest. Returns the
// number of bytes kept, or -1 at the end of the file.
static int readLine(FILE *f, char line[lineSize])
{
    int c, n = 0;
    while ((c = getc(f)) != EOF && c != '\n')
        if (n < lineSize - 1)
            line[n++] = (char)c;
    line[n] = '\0';
    return c == EOF && n == 0 ? -1 : n;
}

// Convert [p, end) as atoi does (blanks, a sign, then digits up to the first
// other byte; no digits give 0), clamped to the range of int.
static int toInt(const char *p, const char *end)
{
    while (p < end && isspace((unsigned char)*p))
        p++;
    bool negative = p < end && *p == '-';
    if (p < end && (*p == '-' || *p == '+'))
        p++;
    long long v = 0;
    for (; p < end && isdigit((unsigned char)*p); p++)
        if (v <= INT_MAX + 1LL)   // stays in range; only clamping follows
            v = v * 10 + (*p - '0');
    return clampInt(negative ? -v : v);
}

// Take line, len bytes, as the next unit. A line without a separator, or with
// an empty name, is not a unit: an empty name would end the unit list in the
// INI file. Fields beyond the 17th are ignored.
static void readRow(const char *line, int len)
{
    const char *end = line + len;
    const char *p = (const char *)memchr(line, sep, len);
    size_t nameLen = p ? strnlen(line, p - line) : 0;
    if (nameLen == 0)
        return;
    storeName(unitNum, line, nameLen);
    // p stands on the separator before each field; the last field ends the line.
    for (int col = 0; col < statCount && p < end; col++) {
        const char *field = p + 1;
        p = (const char *)memchr(field, sep, end - field);
        if (!p)
            p = end;
        uStat[unitNum][col] = toInt(field, p);
    }
    unitNum++;
}

void csvToMem()
{
    FILE *f = fopen(csvFile, "r");
    if (!f)
        return;
    char line[lineSize];
    int len = readLine(f, line);
    // Spreadsheets in many locales separate fields with semicolons.
    bool semicolons = len > 0 && !memchr(line, ',', len) && memchr(line, ';', len);
    sep = semicolons ? ';' : ',';
    unitNum = 0;
    while (unitNum < maxUnits && (len = readLine(f, line)) >= 0)
        readRow(line, len);
    // Half a sheet would update half the units: take none.
    if (ferror(f)) {
        unitNum = 0;
        runFailed = true;
    }
    fclose(f);
}
