// The plan of csvtoini's update of valdra.ini: which entries it sets and
// removes, and what the library's walks for them cost. Each set walks the
// loaded sections from the top, comparing names at every header: once to an
// entry that is there, twice for a new one, three times for a new section.
#include "update.h"

#include <allegro.h>
#include <stdio.h>
#include <string.h>

// Which keys of each row's section the file holds as the row has them, by
// the key's first column.
static bool readAsRow[maxUnits][statCount];

void takePlan()
{
    for (int u = 0; u < unitNum; u++)
        for (int col = 0; col < statCount; col++) {
            if (!firstOfKey(col))
                continue;
            const char *was = meaningValue(unitName[u], statName[col].key);
            int now[statCount], v = was ? gameInt(was) : 0;
            // What the game reads from the file, as initocsv would write it.
            memcpy(now, uStat[u], sizeof now);
            setFromKey(now, col, v);
            readAsRow[u][col] = was && (statName[col].weight ? memcmp(now, uStat[u], sizeof now) == 0
                                                            : v == uStat[u][col]);
        }
}

const char *plannedValue(int unit, int col, char number[16])
{
    snprintf(number, 16, "%d", keyValue(uStat[unit], col));
    return readAsRow[unit][col] ? nullptr : number;
}

void eachSet(int listEnd, SetVisit each, void *user)
{
    char key[unitKeySize], number[16];
    for (int u = 0; u < unitNum; u++) {
        unitKey(key, u);
        const char *was = meaningValue(listSection, key);
        if (!was || strcmp(was, unitName[u]) != 0)
            each(user, listSection, key, unitName[u]);
        for (int col = 0; col < statCount; col++)
            if (firstOfKey(col) && plannedValue(u, col, number))
                each(user, unitName[u], statName[col].key, number);
    }
    for (int n = unitNum; n < listEnd; n++) {
        unitKey(key, n);
        each(user, listSection, key, nullptr);
    }
}

// The cost of the sets so far: their walks, what walking the lines and
// headers that they added costs, and the sections they made, new at the
// end of the file.
struct Cost {
    double ns, added;
    const char *made[maxUnits + 1];
    int madeCount;
};

// True if the set into section makes it: the file lacks it, and no set
// before made it.
static bool makes(Cost &cost, const char *section)
{
    if (meaningHasSection(section))
        return false;
    for (int i = 0; i < cost.madeCount; i++)
        if (ustricmp(cost.made[i], section) == 0)
            return false;
    if (cost.madeCount <= maxUnits)
        cost.made[cost.madeCount++] = section;
    return true;
}

// Add the cost of setting key in section to the Cost: a walk for the key,
// and where it is new a walk for the section's header; a new section is made
// at the end of the file, after a walk to that end, and the next sets of the
// same section find it there.
static void costSet(void *costs, const char *section, const char *key, const char *)
{
    Cost &cost = *(Cost *)costs;
    bool found, there;
    double toKey = meaningWalk(section, key, &found);
    bool creates = makes(cost, section);
    if (found) {
        cost.ns += toKey;
        return;
    }
    double toHeader = meaningWalk(section, nullptr, &there);
    cost.ns += toKey + toHeader + (there ? 0 : cost.added);
    cost.added += meaningWalkAdded(0);   // the new entry's line
    if (creates) {
        cost.ns += toKey;   // to the end, where the section goes
        cost.added += meaningWalkAdded(strlen(section) + 2);
    }
}

double plannedNs(int listEnd)
{
    Cost cost = {};
    eachSet(listEnd, costSet, &cost);
    return cost.ns;
}
