// libFuzzer target for the sheet reader: whatever bytes valdra.csv holds (any
// encoding, quoting or header), the table stays within its bounds and holds
// only names the library keeps, and a table the reader made survives the
// sheet writer and the reader unchanged, and so does that table with values
// changed, which the writer puts into the sheet in its own shape.
#include "units.h"
#include "scratchfile.h"

#include <allegro.h>
#include <limits.h>
#include <stdint.h>
#include <string.h>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    enterScratch(csvFile);
    return 0;
}

// Abort unless the table is within its bounds (empty after a refusal),
// every name is one that the library keeps as a section header and can
// look up, in valid UTF-8, rows of one section agree, and the packed
// columns hold 0 or 1.
static void checkTable()
{
    if (unitNum < 0 || unitNum > maxUnits)
        abort();
    for (int u = 0; u < unitNum; u++) {
        size_t len = strnlen(unitName[u], nameSize);
        if (len == 0 || len > (size_t)nameMaxBytes || validUtf8(unitName[u], len) != len ||
            !keepableName(unitName[u]) || ustricmp(unitName[u], listSection) == 0)
            abort();
        for (int col = 0; col < statCount; col++)
            if (statName[col].weight && uStat[u][col] != 0 && uStat[u][col] != 1)
                abort();
        for (int v = 0; v < u; v++)
            if (ustricmp(unitName[u], unitName[v]) == 0 && memcmp(uStat[u], uStat[v], sizeof uStat[u]) != 0)
                abort();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static char names[maxUnits][nameSize];
    static int stats[maxUnits][statCount];
    writeScratch(data, size);
    bool read = csvToMem();
    checkTable();
    if (!read) {
        if (unitNum != 0)
            abort();
        return 0;   // a refused sheet leaves nothing to write back
    }
    int count = unitNum;
    memcpy(names, unitName, sizeof names);
    memcpy(stats, uStat, sizeof stats);
    for (int pass = 0; pass < 2; pass++) {
        memToCsv();
        dateBack();
        if (!csvToMem() || unitNum != count)
            abort();
        for (int u = 0; u < count; u++)
            if (strcmp(names[u], unitName[u]) != 0 || memcmp(stats[u], uStat[u], sizeof stats[u]) != 0)
                abort();
        // The file's values change alike for rows of one section.
        for (int u = 0; u < count; u++) {
            stats[u][0] = stats[u][0] == INT_MAX ? 0 : stats[u][0] + 1;
            stats[u][4] = 1 - stats[u][4];
        }
        memcpy(uStat, stats, sizeof stats);
    }
    return 0;
}
