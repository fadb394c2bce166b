// The sheet writer: a header of captions, then one row per unit, every field
// followed by a comma.
#include "units.h"

#include <errno.h>
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

void memToCsv()
{
    FILE *f = fopen(csvFile, "w");
    if (!f) {
        failRun(sheetNotWritten, 0, strerror(errno));
        return;
    }
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
    // A full disk shows only at the flush, so the close decides.
    errno = 0;
    if (ferror(f) | (fclose(f) != 0))
        failRun(sheetNotWritten, 0, errno ? strerror(errno) : "write error");
}
