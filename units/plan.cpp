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

// The sections that the sets so far made, new at the end of the file.
static struct {
    const char *sections[maxUnits + 1];
    int count;
} made;

// True if the set into section makes it: the file lacks it, and no set
// before made it.
static bool makes(const char *section)
{
    if (meaningHasSection(section))
        return false;
    for (int i = 0; i < made.count; i++)
        if (ustricmp(made.sections[i], section) == 0)
            return false;
    if (made.count <= maxUnits)
        made.sections[made.count++] = section;
    return true;
}

// The cost of the sets so far: their walks, and what walking the lines and
// headers that they added costs.
static struct {
    double ns, added;
} cost;

// Add the cost of setting key in section to cost: a walk for the key, and
// where it is new a walk for the section's header; a new section is made at
// the end of the file, after a walk to that end, and the next sets of the
// same section find it there.
static void costSet(const char *section, const char *key, const char *)
{
    bool found, there;
    double toKey = meaningWalk(section, key, &found);
    bool creates = makes(section);
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
    cost = {0, 0};
    made.count = 0;
    eachSet(listEnd, costSet);
    return cost.ns;
}

// What the sets add to the file as the library saves it, each line's end
// counted as two bytes, as on Windows.
static Growth growth;

// Add to growth what setting key in section to value, or removing it where
// value is null, adds: an entry is saved as "key = value".
static void growSet(const char *section, const char *key, const char *value)
{
    const long long entry = (long long)strlen(key) + 3 + 2;
    const char *was = meaningValue(section, key);
    long long old = was ? (long long)strlen(was) : 0;
    if (!value) {
        growth.bytes -= entry + old;
        growth.lines--;
    } else if (meaningHasEntry(section, key)) {
        growth.bytes += (long long)strlen(value) - old;
    } else {
        growth.bytes += entry + (long long)strlen(value);
        growth.lines++;
    }
    // A new section goes to the end, after an empty line.
    if (value && makes(section)) {
        growth.bytes += (long long)strlen(section) + 2 + 2 + 2;
        growth.lines += 2;
        growth.sections++;
    }
}

Growth plannedGrowth(int listEnd)
{
    // Each section that gets an empty line to end its first part, at most
    // the list's and every row's.
    growth = {2LL * (unitNum + 1), unitNum + 1, 0};
    made.count = 0;
    eachSet(listEnd, growSet);
    return growth;
}
