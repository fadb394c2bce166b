// The sheet writer: a header of captions, then one row per unit, every field
// followed by a comma.
#include "units.h"
#include "platform.h"

#include <stdio.h>
#include <string.h>

// Write name as the first field of a row: quoted, with its quotes doubled,
// if it holds a comma, a quote, or a semicolon or a tab, at which imports
// split too, so that it reads back as it stands.
static void putName(FILE *f, const char *name)
{
    if (!strpbrk(name, ",\";\t")) {
        fputs(name, f);
        return;
    }
    fputc('"', f);
    for (const char *p = name; *p; p++) {
        if (*p == '"')
            fputc('"', f);
        fputc(*p, f);
    }
    fputc('"', f);
}

// True if some name holds a byte outside ASCII.
static bool namesBeyondAscii()
{
    for (int u = 0; u < unitNum; u++)
        if (beyondAscii(unitName[u]))
            return true;
    return false;
}

// Write the table as a sheet to the open file f; false if a write failed.
static bool writeSheet(FILE *f)
{
    // Without the byte-order mark, spreadsheets take such names for their
    // own code page.
    if (namesBeyondAscii())
        fputs("\xEF\xBB\xBF", f);
    fputs("Name,", f);
    for (const Column &c : statName)
        fprintf(f, "%s,", c.caption);
    fputc('\n', f);
    for (int u = 0; u < unitNum; u++) {
        putName(f, unitName[u]);
        fputc(',', f);
        for (int col = 0; col < statCount; col++)
            fprintf(f, "%i,", uStat[u][col]);
        fputc('\n', f);
    }
    return !ferror(f);
}

// Write the sheet into the file name; 0 if it is written whole, else the
// error that stopped it (-1: none said).
static int writeSheetTo(const char *name)
{
    FILE *f = fopen(name, "w");
    if (!f)
        return errno;
    errno = 0;
    int e = writeSheet(f) ? 0 : errno ? errno : -1;
    // A full disk shows only at the flush, so the close decides too.
    if (fclose(f) != 0 && !e)
        e = errno ? errno : -1;
    return e;
}

// The old sheet, read where a sheet of no units would replace it.
const size_t oldSheetMaxBytes = 4u << 20;
static char oldSheet[oldSheetMaxBytes];

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

void memToCsv()
{
    // The sheet is written beside itself and replaces the old one only
    // whole: a full disk or a size limit leaves the old one. A sheet of no
    // units, from a file that lists none (empty, cut short, or another
    // file), replaces no sheet of units.
    WorkCopy w = {programName, unitNum ? nullptr : oldSheet, sizeof oldSheet, 0, false, nullptr, {}};
    WorkResult r = workFailed;
    if (openWorkCopy(csvFile, &w)) {
        if (!unitNum && w.existed && (w.len == sizeof oldSheet || holdsRows(oldSheet, w.len))) {
            discardWorkCopy();
            failRun(iniNoUnits);
            return;
        }
        if (int e = writeSheetTo(w.name)) {
            discardWorkCopy();
            say(&w.why, e > 0 ? ioError(e) : "a write failed");
        } else {
            r = commitWorkCopy(&w);
        }
    }
    if (r == workTargetChanged)
        failRun(sheetChanged);
    else if (r == workFailed)
        failRun(sheetNotWritten, 0, "%s", w.why.text);
}
