// The sheet writer: a header of captions, then one row per unit, every field
// followed by a comma.
#include "units.h"
#include "platform.h"

#include <stdio.h>
#include <string.h>

// Write name as the first field of a row: quoted, with its quotes doubled,
// if it holds a comma or a quote, so that it reads back as it stands.
static void putName(FILE *f, const char *name)
{
    if (!strpbrk(name, ",\"")) {
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
        for (const char *p = unitName[u]; *p; p++)
            if ((unsigned char)*p >= 0x80)
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

void memToCsv()
{
    // The sheet is written beside itself and replaces the old one only
    // whole: a full disk or a size limit leaves the old one.
    Why why;
    const char *work = openWorkCopy(csvFile, programName, isWorkCopyOf, nullptr, 0, nullptr, &why);
    if (!work) {
        failRun(sheetNotWritten, 0, "%s", why.text);
        return;
    }
    FILE *f = fopen(work, "w");
    errno = 0;
    // A full disk shows only at the flush, so the close decides too.
    bool written = f && writeSheet(f);
    if (f && fclose(f) != 0)
        written = false;
    if (!written) {
        const char *cause = errno ? ioError(errno) : "a write failed";
        discardWorkCopy();
        failRun(sheetNotWritten, 0, "%s", cause);
    } else if (WorkResult r = commitWorkCopy(&why); r != workDone) {
        failRun(sheetNotWritten, 0, "%s", r == workTargetChanged ? "another program changed it meanwhile" : why.text);
    }
}
