// The plan of csvtoini's update of valdra.ini: which entries it sets and
// removes, and what the library's walks for them cost. Each set walks the
// loaded file from the top, comparing names at every header: once to an
// entry that is there, twice for a new one, three times for a new section.
#include "update.h"

#include <allegro.h>
#include <stdio.h>
#include <string.h>

// Call each for key of section unless the file holds value there already.
static void setIfChanged(const char *section, const char *key, const char *value, SetVisit each)
{
    const char *was = meaningValue(section, key);
    if (!was || strcmp(was, value) != 0)
        each(section, key, value);
}

void eachSet(int listEnd, SetVisit each)
{
    char key[unitKeySize], number[16];
    for (int u = 0; u < unitNum; u++) {
        unitKey(key, u);
        setIfChanged(listSection, key, unitName[u], each);
        for (int col = 0; col < statCount; col++)
            if (firstOfKey(col)) {
                snprintf(number, sizeof number, "%d", keyValue(uStat[u], col));
                setIfChanged(unitName[u], statName[col].key, number, each);
            }
    }
    for (int n = unitNum; n < listEnd; n++) {
        unitKey(key, n);
        each(listSection, key, nullptr);
    }
}

// The cost of the sets so far: their walks, what walking the lines and
// headers that they added costs, and the section of the last set.
static struct {
    double ns, added;
    const char *section;
} cost;

// Add the cost of setting key in section to cost: a walk for the key, and
// where it is new a walk for the section's header; a new section is made at
// the end of the file, after a walk to that end, and the next sets of the
// same section find it there.
static void costSet(const char *section, const char *key, const char *)
{
    bool found, there;
    double toKey = meaningWalk(section, key, &found);
    bool made = cost.section && ustricmp(cost.section, section) == 0;
    cost.section = section;
    if (found) {
        cost.ns += toKey;
        return;
    }
    double toHeader = meaningWalk(section, nullptr, &there);
    cost.ns += toKey + toHeader + (there ? 0 : cost.added);
    cost.added += meaningWalkAdded(0);   // the new entry's line
    if (!there && !made) {
        cost.ns += toKey;   // to the end, where the section goes
        cost.added += meaningWalkAdded(strlen(section) + 2);
    }
}

double plannedNs(int listEnd)
{
    cost = {0, 0, nullptr};
    eachSet(listEnd, costSet);
    return cost.ns;
}
