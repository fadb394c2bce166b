// The INI reader: the units listed in section "unitnames", each with the
// values of the section that bears its name.
#include "units.h"
#include "platform.h"

#include <allegro.h>
#include <stdlib.h>
#include <string.h>

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
    for (int col = 0; col < statCount; col++)
        if (firstOfKey(col))
            setFromKey(uStat[unit], col, gameInt(section, statName[col].key, statName[col].fallback));
}

bool iniToMem()
{
    // A missing file is an empty list; one that is there but cannot be read
    // fails the run, so that the sheet is not replaced by an empty one.
    // A byte-order mark or UTF-16 hides the list from the library, and the
    // sheet would lose every unit.
    char start[4];
    size_t n;
    Why why;
    FileRead r = readWholeFile(iniFile, start, sizeof start, &n, &why);
    if (r == fileFailed) {
        failRun(iniUnreadable, 0, "%s", why.text);
        return false;
    }
    if (const char *e = r != fileMissing ? iniEncodingProblem(start, n) : nullptr) {
        failRun(iniEncoding, 0, "%s", e);
        return false;
    }
    set_config_file(iniFile);
    for (unitNum = 0; unitNum < maxUnits; unitNum++) {
        char key[unitKeySize];
        unitKey(key, unitNum);
        // The list ends at the first entry that is missing or empty.
        const char *name = get_config_string(listSection, key, "");
        size_t len = strlen(name);
        if (!len)
            break;
        // The library finds no section by a longer name: the game reads
        // such a unit as all defaults, and the sheet would rename it.
        if (len > (size_t)nameMaxBytes) {
            failRun(iniNameTooLong, 0, "%s, \"%.*s...\",", key, shownBytes(name, len, nameShown), name);
            unitNum = 0;
            return false;
        }
        readUnit(unitNum, name);
        storeName(unitNum, name, len);
    }
    return true;
}
