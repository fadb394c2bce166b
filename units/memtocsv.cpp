// The sheet writer: a header of captions, then one row per unit, every field
// followed by a comma.
#include "units.h"

#include <stdio.h>

void memToCsv()
{
    FILE *f = fopen(csvFile, "w");
    if (!f) {
        runFailed = true;
        return;
    }
    fputs("Name,", f);
    for (const Column &c : statName)
        fprintf(f, "%s,", c.caption);
    fputc('\n', f);
    for (int u = 0; u < unitNum; u++) {
        fprintf(f, "%s,", unitName[u]);
        for (int col = 0; col < statCount; col++)
            fprintf(f, "%i,", uStat[u][col]);
        fputc('\n', f);
    }
    // A full disk shows only at the flush, so the close decides.
    if (ferror(f) | (fclose(f) != 0))
        runFailed = true;
}
