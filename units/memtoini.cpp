// The INI writer: sets each unit's entry in "unitnames" and the fifteen keys
// of its section, on a work copy of the INI file that replaces the file only
// when every entry reads back from it as it was set.
#include "units.h"

#include <allegro.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>

const int textSize = 4096;   // longest section name or value we rewrite, NUL included

// The value that column col of row unit has in the INI file; the canhit mask
// is computed wide and clamped, so that any values a sheet holds give a
// defined result.
static int iniValue(int unit, int col)
{
    const int *row = uStat[unit];
    if (col != colHitLand)
        return row[col];
    return clampInt(4LL * row[colHitSea] + 2LL * row[colHitAir] + row[colHitLand]);
}

// True if the file has a section named section, compared as the library
// compares names.
static bool hasSection(const char *section)
{
    const char **names = nullptr;
    int n = list_config_sections(&names);
    bool found = false;
    for (int i = 0; i < n && !found; i++) {
        char name[textSize];   // names[i] is "[name]"
        int len = (int)strlen(names[i]) - 2;
        if (len < 0 || len >= textSize)
            continue;
        snprintf(name, sizeof name, "%.*s", len, names[i] + 1);
        found = ustricmp(name, section) == 0;
    }
    free_config_entries(&names);
    return found;
}

// End the last entry of section with a line end, so that the saved file has
// an empty line there; false if its key or value is too long to rewrite.
static bool endSection(const char *section)
{
    const char **keys = nullptr;
    int n = list_config_entries(section, &keys);
    char key[textSize], value[textSize];
    bool ok = n == 0 || snprintf(key, sizeof key, "%s", keys[n - 1]) < textSize;
    free_config_entries(&keys);
    if (n == 0 || !ok)
        return ok;
    const char *old = get_config_string(section, key, "");
    if (snprintf(value, sizeof value, "%s\n", old) >= textSize)
        return false;
    set_config_string(section, key, value);
    return true;
}

// The library files a new entry of an existing section after the header and
// the lines that follow it up to an empty line, which may be in a later
// section. These say whether the unit's section, or "unitnames", would get one.

static bool addsToUnit(int unit)
{
    const char *section = unitName[unit];
    if (!hasSection(section))
        return false;
    for (int col = 0; col < statCount; col++)
        if (statName[col].key && !get_config_string(section, statName[col].key, nullptr))
            return true;
    return false;
}

static bool addsToList()
{
    for (int u = 0; u < unitNum; u++) {
        char key[unitKeySize];
        unitKey(key, u);
        if (!get_config_string(listSection, key, nullptr))
            return hasSection(listSection);
    }
    return false;
}

// True if a later unit writes into the same section as unit, so that the
// later values are the ones that remain.
static bool overwritten(int unit)
{
    for (int u = unit + 1; u < unitNum; u++)
        if (ustricmp(unitName[u], unitName[unit]) == 0)
            return true;
    return false;
}

static int unreadUnit;   // the first unit that did not read back

// Give each section that will get a new entry an empty line after its
// entries, saved into the file, so that the walk that files the new entry
// stops inside the section. Other sections, and files without new entries in
// existing sections, keep their layout.
static bool separateSections()
{
    bool changed = false, ok = true;
    if (addsToList()) {
        changed = true;
        ok = endSection(listSection);
    }
    for (int u = 0; u < unitNum && ok; u++)
        if (!overwritten(u) && addsToUnit(u)) {
            unreadUnit = u;
            changed = true;
            ok = endSection(unitName[u]);
        }
    return ok && (!changed || saveWorkCopy());
}

// The list's entries after its last unit: a sheet with fewer units than the
// list is the whole list. A full table may have left units out, so then none
// is removed.
static bool removesTail()
{
    return unitNum < maxUnits;
}

static void setUnits()
{
    for (int u = 0; u < unitNum; u++) {
        char key[unitKeySize];
        unitKey(key, u);
        set_config_string(listSection, key, unitName[u]);
        for (int col = 0; col < statCount; col++)
            if (statName[col].key)
                set_config_int(unitName[u], statName[col].key, iniValue(u, col));
    }
    for (int u = unitNum; removesTail(); u++) {
        char key[unitKeySize];
        unitKey(key, u);
        if (!get_config_string(listSection, key, nullptr))
            break;
        set_config_string(listSection, key, nullptr);
    }
}

// True if every entry that setUnits set reads back from the loaded file as it
// was set, and the list ends after the last unit where it should; false with
// unreadUnit set if not.
static bool readsBack()
{
    for (int u = 0; u < unitNum; u++) {
        unreadUnit = u;
        char key[unitKeySize];
        unitKey(key, u);
        const char *name = get_config_string(listSection, key, nullptr);
        if (!name || strcmp(name, unitName[u]) != 0)
            return false;
        if (overwritten(u))
            continue;
        for (int col = 0; col < statCount; col++) {
            const char *k = statName[col].key;
            int want = iniValue(u, col);
            if (k && get_config_int(unitName[u], k, want ^ 1) != want)
                return false;
        }
    }
    char key[unitKeySize];
    unitKey(key, unitNum);
    return !removesTail() || !get_config_string(listSection, key, nullptr);
}

// Make one work copy with every unit set and put it in place of the INI
// file; problemCount if that worked, else what failed, with errno set for
// the problems that have a system error. With separate, the sections that get
// new entries are first ended by an empty line.
static Problem writeUnits(bool separate)
{
    if (!openWorkCopy())
        return iniNoCopy;
    Problem p = problemCount;
    if (separate && !separateSections())
        p = iniNoReadBack;
    if (p == problemCount) {
        setUnits();
        // Read back from the saved copy: what only the loaded copy holds
        // would not survive the next load.
        p = !saveWorkCopy() ? iniSaveFailed : !readsBack() ? iniNoReadBack : problemCount;
    }
    if (p != problemCount) {
        int saved = errno;
        discardWorkCopy();
        errno = saved;
        return p;
    }
    return commitWorkCopy() ? problemCount : iniNoReplace;
}

void MemToIni()
{
    // Without units there is nothing to set and nothing is written; after a
    // refused sheet, nothing at all.
    if (runFailed || unitNum == 0)
        return;
    // The file's layout is kept unless an entry would not land in its own
    // section, as in a file without empty lines between sections.
    Problem p = writeUnits(false);
    if (p != problemCount)
        p = writeUnits(true);
    if (p == iniNoReadBack)
        failRun(p, 0, unitName[unreadUnit]);
    else if (p != problemCount)
        failRun(p, 0, strerror(errno));
}
