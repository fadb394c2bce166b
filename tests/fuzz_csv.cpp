// libFuzzer target for the sheet reader: whatever bytes valdra.csv holds, the
// table stays within its bounds and holds no empty name, and a table the
// reader made survives the sheet writer and the reader unchanged.
#include "units.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static char workDir[] = "/tmp/valdra-fuzz.XXXXXX";   // where valdra.csv lives

static void removeWorkDir()
{
    unlink(csvFile);
    rmdir(workDir);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (!mkdtemp(workDir) || chdir(workDir) != 0)
        abort();
    atexit(removeWorkDir);
    return 0;
}

static void writeSheet(const uint8_t *data, size_t size)
{
    FILE *f = fopen(csvFile, "wb");
    if (!f || fwrite(data, 1, size, f) != size || fclose(f) != 0)
        abort();
}

// Abort unless the table is within its bounds; true if no name holds a comma,
// so that the table can go through a sheet and come back the same.
static bool checkTable()
{
    if (unitNum < 0 || unitNum > maxUnits)
        abort();
    bool commaFree = true;
    for (int u = 0; u < unitNum; u++) {
        size_t len = strnlen(unitName[u], nameSize);
        if (len == 0 || len == nameSize || memchr(unitName[u], '\n', len))
            abort();
        commaFree = commaFree && !memchr(unitName[u], ',', len);
    }
    return commaFree;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static char names[maxUnits][nameSize];
    static int stats[maxUnits][statCount];
    writeSheet(data, size);
    csvToMem();
    if (!checkTable())
        return 0;
    int count = unitNum;
    memcpy(names, unitName, sizeof names);
    memcpy(stats, uStat, sizeof stats);
    memToCsv();
    csvToMem();
    if (unitNum != count || runFailed)
        abort();
    for (int u = 0; u < count; u++)
        if (strcmp(names[u], unitName[u]) != 0 ||
            memcmp(stats[u], uStat[u], sizeof stats[u]) != 0)
            abort();
    return 0;
}
