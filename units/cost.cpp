// What csvtoini's update costs the library. Each set walks the loaded
// sections from the top, comparing names at every header: once to an entry
// that is there, twice for a new one, three times for a new section. The
// update is refused where the walks would keep the user waiting.
#include "update.h"

#include <allegro.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// About how long the library's walks over the file take, in nanoseconds on
// the benchmark's machine. A walk that looks for a key passes each line and,
// at each line whose name begins with '[', measures the name twice and, at a
// header, compares it with the section's name until they differ; one that
// looks for a section's header compares each line's name with the header's.
const double keyLineNs = 6, keyHeaderNs = 40, keyHeaderByteNs = 5.5, sameByteNs = 10;
const double headerLineNs = 14;
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
    int line, before;
    *found = meaningPlace(file, section, key, &line, &before);
    const double *headers = key ? cost.walks->forKey : cost.walks->forHeader;
    double perLine = key ? keyLineNs : headerLineNs;
    if (!*found)
        return perLine * meaningLines(file) + headers[meaningBrackets(file)];
    return perLine * line + headers[before + (key ? 0 : 1)];
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
static void costSet(void *costs, const char *section, const char *key, const char *)
{
    Cost &cost = *(Cost *)costs;
    bool found, there;
    double toKey = walkNs(cost, section, key, &found);
    bool creates = makes(cost, section);
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

bool quickEnough(const Plan *plan, size_t)
{
    Walks walks;
    walks.want[0] = '\x01';   // no folded name begins so: nothing is costed yet
    size_t places = meaningBrackets(plan->file) + 2;
    walks.forKey = (double *)malloc(places * sizeof(double));
    walks.forHeader = (double *)malloc(places * sizeof(double));
    if (!walks.forKey || !walks.forHeader) {
        free(walks.forKey);
        free(walks.forHeader);
        failRun(iniNoRoom);
        return false;
    }
    Cost cost = {};
    cost.plan = plan;
    cost.walks = &walks;
    eachSet(plan, costSet, &cost);
    free(walks.forKey);
    free(walks.forHeader);
    if (cost.ns <= updateMaxNs)
        return true;
    Meaning file = plan->file;
    int brackets = meaningBrackets(file);
    size_t bytes = 0;
    for (int k = 0; k < brackets; k++) {
        const char *folded;
        bool header;
        bytes += meaningBracket(file, k, &folded, &header);
    }
    failRun(iniTooSlow, 0, "about %.0f seconds: each entry it sets makes it read the list's and the units' "
            "sections from the top, %d lines, and measure the names of %d lines that begin with '[' (%lu bytes)",
            cost.ns / 1e9, meaningLines(file), brackets, (unsigned long)bytes);
    return false;
}
