// What csvtoini's update costs. The file is read whole twice, as it is and
// updated; the library loads the spans that the update touches, saves them
// twice, and each set walks the loaded spans from the top, comparing names
// at every header: once to an entry that is there, twice for a new one,
// three times for a new section. The update is refused where all that would
// keep the user waiting.
#include "update.h"

#include <allegro.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// About how long the library's walks over the file take, in nanoseconds on
// the benchmark's machine. A walk that looks for a key passes each line and,
// at each line whose name begins with '[', measures the name twice and, at a
// header, compares it with the section's name until they differ, and
// compares the name of each entry of the section with the key; one that
// looks for a section's header compares each line's name with the header's.
const double keyLineNs = 4.6, keyHeaderNs = 6.6, keyHeaderByteNs = 3.55, sameByteNs = 1.5, keyEntryNs = 11.2;
const double headerLineNs = 12.4;
// About how long the rest of an update takes, in nanoseconds on the
// benchmark's machine: reading the file whole twice, as it is with its spans
// and updated, for each line, each line that is a header or an entry, each
// byte, each section and entry, each byte of their names, and each line of
// the spans; the library's load of the spans, and each of its two saves of
// them read back, for each of their lines, each header or entry and each
// byte; putting the spans back, for each of their lines and each byte of the
// file; and what every run takes. The walks' constants above are fitted
// alike.
const double readLineNs = 99, readNamedNs = 77, readByteNs = 29.6, readItemNs = 500, readNameByteNs = 80;
const double spanLineNs = 56;
const double loadLineNs = 70.8, loadNamedNs = 83.2, loadByteNs = 13.9;
const double saveLineNs = 44.9, saveNamedNs = 33.2, saveByteNs = 8.56;
const double putLineNs = 27, putByteNs = 1.33;
const double runNs = 3e6;
// The constants are fitted to the times measured; the estimate takes 30%
// more, so that it lies above the time an update takes.
const double margin = 1.3;
// The longest update csvtoini makes: at more than about this the user would
// wait too long.
constexpr double updateMaxNs = 3e9;
static_assert(updateMaxNs == 3e9, "the message of iniTooSlow says 3 seconds");

// The walks over the file that look for one section: the folded header they
// compare with, and the part of a walk through the first k lines whose names
// begin with '[', by k, of a walk for a key and of one for the header.
struct Walks {
    char want[foldedSize];
    double *forKey, *forHeader;   // of the run's, a place for each such line and one more
};

// The cost of the sets so far: their walks, what walking the lines and
// headers that they added costs, and the sections they made, new at the
// end of the file; the walks of the last section costed.
struct Cost {
    const Plan *plan;
    double ns, added;
    size_t grows;   // bytes that the sets may add to the file
    const char *made[maxUnits + 1];
    int madeCount;
    Walks *walks;
};

// Make the walks those that look for the header whose folded name is want.
static void costWalks(Meaning file, Walks *w, const char *want)
{
    snprintf(w->want, sizeof w->want, "%s", want);
    w->forKey[0] = w->forHeader[0] = 0;
    for (int k = 0, brackets = meaningBrackets(file); k < brackets; k++) {
        const char *f;
        bool header;
        size_t nameBytes = meaningBracket(file, k, &f, &header), same = 0;
        while (f[same] && f[same] == want[same])
            same++;
        // Only a header's name is compared with the section's in a walk for
        // a key; every line's is in a walk for the header.
        double compare = sameByteNs * (double)(same + 1);
        w->forKey[k + 1] = w->forKey[k] + keyHeaderNs + keyHeaderByteNs * (double)nameBytes + (header ? compare : 0);
        w->forHeader[k + 1] = w->forHeader[k] + compare;
    }
}

// About how long the library takes to walk the file from the top looking
// for key in section (key null: for the section's first header, comparing
// every line's name with it), to the line where it finds it, or through the
// whole file where it is not there; *found says which.
static double walkNs(Cost &cost, const char *section, const char *key, bool *found)
{
    Meaning file = cost.plan->file;
    char want[foldedSize];
    if (!iniFoldedLookup(section, want))
        want[0] = '\0';
    if (strcmp(want, cost.walks->want) != 0)
        costWalks(file, cost.walks, want);
    MeaningPlace at, all;
    *found = meaningPlace(file, section, key, &at);
    const double *headers = key ? cost.walks->forKey : cost.walks->forHeader;
    double perLine = key ? keyLineNs : headerLineNs;
    // The section's entries that a walk for a key compares.
    double entries = !key ? 0 : *found ? at.named : meaningPlace(file, section, nullptr, &all) ? all.named : 0;
    if (!*found)
        return perLine * meaningCounts(file).walkLines + headers[meaningBrackets(file)] + keyEntryNs * entries;
    return perLine * at.line + headers[at.bracketsBefore + (key ? 0 : 1)] + keyEntryNs * entries;
}

// What a line that an update adds costs a later walk of either kind that
// passes it: an entry (headerBytes 0) or a header whose name has
// headerBytes.
static double addedNs(size_t headerBytes)
{
    return keyLineNs + headerLineNs +
           (headerBytes ? keyHeaderNs + (keyHeaderByteNs + 2 * sameByteNs) * (double)headerBytes : 0);
}

// True if the set into section makes it: the file lacks it, and no set
// before made it.
static bool makes(Cost &cost, const char *section)
{
    if (meaningHasSection(cost.plan->file, section))
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
static void costSet(void *costs, const char *section, const char *key, const char *value)
{
    Cost &cost = *(Cost *)costs;
    bool found, there;
    double toKey = walkNs(cost, section, key, &found);
    bool creates = makes(cost, section);
    // "key = value" and a line end; "[section]", its line end and an empty line.
    cost.grows += (value ? strlen(key) + strlen(value) + 5 : 0) + (creates ? strlen(section) + 6 : 0);
    if (found) {
        cost.ns += toKey;
        return;
    }
    double toHeader = walkNs(cost, section, nullptr, &there);
    cost.ns += toKey + toHeader + (there ? 0 : cost.added);
    cost.added += addedNs(0);   // the new entry's line
    if (creates) {
        cost.ns += toKey;   // to the end, where the section goes
        cost.added += addedNs(strlen(section) + 2);
    }
}

// About how long the update's work besides the walks takes: reading the
// file, fileLen bytes, and the library's work on its spans, cutLen bytes.
static double workNs(Meaning file, size_t cutLen, size_t fileLen)
{
    MeaningCounts c = meaningCounts(file);
    double read = readLineNs * c.lines + readNamedNs * c.named + readByteNs * (double)fileLen +
                  readItemNs * c.items + readNameByteNs * (double)c.nameBytes + spanLineNs * c.walkLines;
    double load = loadLineNs * c.walkLines + loadNamedNs * c.walkNamed + loadByteNs * (double)cutLen;
    double save = saveLineNs * c.walkLines + saveNamedNs * c.walkNamed + saveByteNs * (double)cutLen;
    return read + load + 2 * save + putLineNs * c.walkLines + putByteNs * (double)fileLen + runNs;
}

UpdateCost weighUpdate(const Plan *plan, size_t cutLen, size_t fileLen)
{
    Walks walks;
    walks.want[0] = '\x01';   // no folded name begins so: nothing is costed yet
    size_t places = meaningBrackets(plan->file) + 2;
    walks.forKey = (double *)malloc(places * sizeof(double));
    walks.forHeader = (double *)malloc(places * sizeof(double));
    Cost cost = {};
    cost.plan = plan;
    cost.walks = &walks;
    bool room = walks.forKey && walks.forHeader;
    if (room)
        eachSet(plan, costSet, &cost);
    free(walks.forKey);
    free(walks.forHeader);
    return {room, margin * (cost.ns + workNs(plan->file, cutLen, fileLen)), margin * cost.ns,
            fileLen + cost.grows};
}

bool withinLimits(const Plan *plan, size_t cutLen, size_t fileLen)
{
    UpdateCost c = weighUpdate(plan, cutLen, fileLen);
    if (!c.room)
        failRun(iniNoRoom);
    else if (c.bytes > iniReadMaxBytes)
        failRun(iniResultTooLarge);
    if (!c.room || c.bytes > iniReadMaxBytes)
        return false;
    if (c.ns <= updateMaxNs)
        return true;
    Meaning file = plan->file;
    int brackets = meaningBrackets(file);
    size_t bytes = 0;
    for (int k = 0; k < brackets; k++) {
        const char *folded;
        bool header;
        bytes += meaningBracket(file, k, &folded, &header);
    }
    MeaningCounts n = meaningCounts(file);
    failRun(iniTooSlow, 0, "about %.1f seconds: %.1f for the library's walks over the %d lines of the list's and "
            "the units' sections (%d of them begin with '[', %lu bytes), the rest for reading the file's %d lines "
            "and having the library load and save those sections", c.ns / 1e9, c.walksNs / 1e9, n.walkLines,
            brackets, (unsigned long)bytes, n.lines);
    return false;
}
