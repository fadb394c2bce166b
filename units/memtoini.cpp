// The INI writer: sets each unit's entry in "unitnames" and the fifteen keys
// of its section; the library saves the file when it is shut down.
#include "units.h"

#include <allegro.h>

// The canhit mask of row unit, in wide arithmetic and clamped, so that any
// values a sheet holds give a defined result.
static int encodeCanhit(int unit)
{
    const int *row = uStat[unit];
    return clampInt(4LL * row[colHitSea] + 2LL * row[colHitAir] + row[colHitLand]);
}

void MemToIni()
{
    // Without units nothing is set, so the library leaves the file alone.
    if (unitNum == 0)
        return;
    set_config_file(iniFile);
    for (int u = 0; u < unitNum; u++) {
        char key[unitKeySize];
        unitKey(key, u);
        set_config_string(listSection, key, unitName[u]);
        for (int col = 0; col < statCount; col++)
            if (statName[col].key)
                set_config_int(unitName[u], statName[col].key,
                               col == colHitLand ? encodeCanhit(u) : uStat[u][col]);
    }
}
