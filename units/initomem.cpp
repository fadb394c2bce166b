// The INI reader: the units listed in section "unitnames", each with the
// values of the section that bears its name.
#include "units.h"

#include <allegro.h>
#include <string.h>

// Split the canhit mask of row unit into its three columns by comparisons,
// as the game does, so that any mask of 7 or more sets all three.
static void decodeCanhit(int unit, int mask)
{
    int *row = uStat[unit];
    row[colHitSea] = mask > 3;
    if (mask > 3)
        mask -= 4;
    row[colHitAir] = mask > 1;
    if (mask > 1)
        mask -= 2;
    row[colHitLand] = mask > 0;
}

// Read row unit from the section named section, defaults for missing keys.
static void readUnit(int unit, const char *section)
{
    for (int col = 0; col < statCount; col++) {
        if (!statName[col].key)
            continue;
        int v = get_config_int(section, statName[col].key, statName[col].fallback);
        if (col == colHitLand)
            decodeCanhit(unit, v);
        else
            uStat[unit][col] = v;
    }
}

void iniToMem()
{
    // A missing file is an empty list; one that is there but cannot be read
    // fails the run, so that the sheet is not replaced by an empty one.
    char probe[1];
    size_t n;
    const char *why;
    if (readWholeFile(iniFile, probe, sizeof probe, &n, &why) == fileFailed) {
        failRun(iniUnreadable, 0, why);
        return;
    }
    set_config_file(iniFile);
    for (unitNum = 0; unitNum < maxUnits; unitNum++) {
        char key[unitKeySize];
        unitKey(key, unitNum);
        // The list ends at the first entry that is missing or empty.
        const char *name = get_config_string(listSection, key, "");
        if (!*name)
            break;
        // The table may keep the name cut; the section is the full name's.
        readUnit(unitNum, name);
        storeName(unitNum, name, strlen(name));
    }
}
