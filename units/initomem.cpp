// The INI reader: the units listed in section "unitnames", each with the
// values of the section that bears its name.
#include "units.h"

#include <allegro.h>
#include <stdio.h>
#include <stdlib.h>
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

// The value of key in section as the game reads it: the library's text,
// converted as strtol converts on the game's 32-bit long, which saturates;
// fallback where the entry is missing or empty. (The library's own
// get_config_int converts with the platform's long.)
static int gameInt(const char *section, const char *key, int fallback)
{
    const char *text = get_config_string(section, key, nullptr);
    return text ? clampInt(strtoll(text, nullptr, 0)) : fallback;
}

// Read row unit from the section named section, defaults for missing keys.
static void readUnit(int unit, const char *section)
{
    for (int col = 0; col < statCount; col++) {
        if (!statName[col].key)
            continue;
        int v = gameInt(section, statName[col].key, statName[col].fallback);
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
    // A byte-order mark or UTF-16 hides the list from the library, and the
    // sheet would lose every unit.
    char start[4];
    size_t n;
    const char *why;
    FileRead r = readWholeFile(iniFile, start, sizeof start, &n, &why);
    if (r == fileFailed) {
        failRun(iniUnreadable, 0, why);
        return;
    }
    if (const char *e = r != fileMissing ? iniEncodingProblem(start, n) : nullptr) {
        failRun(iniEncoding, 0, e);
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
        // The library finds no section by a longer name: the game reads
        // such a unit as all defaults, and the sheet would rename it.
        if (strlen(name) > (size_t)nameMaxBytes) {
            static char unit[unitKeySize + 80];
            snprintf(unit, sizeof unit, "the name of %s, \"%s\",", key, shortName(name));
            failRun(iniNameTooLong, 0, unit);
            unitNum = 0;
            return;
        }
        readUnit(unitNum, name);
        storeName(unitNum, name, strlen(name));
    }
}
