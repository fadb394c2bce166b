// The check of the updated INI file: read whole as the game reads it, it
// must mean what the file meant but for the entries the writer set and the
// list entries it removed, each found in its own section.
#include "update.h"

#include <allegro.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

const int listRole = -2, otherRole = -1;   // a section's role: the list, another, or a unit's row

// The comparison's state: the section being visited and what the writer does
// to it, which entries it sets were found as set, and the verdict so far.
struct Comparison {
    const Plan *plan;           // the update's plan
    const char *section;        // the section visited last, as listed
    char bare[nameSize];        // its name without brackets, cut to fit
    int role;                   // listRole, otherRole, or the row it holds
    bool placed[maxUnits][statCount];   // a row's column found as set
    bool listed[maxUnits];              // a row's list entry found as set
    CopyVerdict verdict;        // the first change of meaning, if any
};

// The value that key of the section visited must now have, given the one it
// had (null: none); null means it must be absent. Sets *placed to the flag
// of an entry the writer sets, else null. number holds a value made here.
static const char *expected(Comparison &cmp, const char *key, const char *was, bool **placed, char number[16])
{
    *placed = nullptr;
    if (cmp.role == listRole) {
        int n = listIndex(key, listCountMost);
        if (n >= 0 && n < unitNum) {
            *placed = &cmp.listed[n];
            return unitName[n];
        }
        return n >= unitNum && n < cmp.plan->listEnd ? nullptr : was;
    }
    for (int col = 0; cmp.role >= 0 && col < statCount; col++)
        if (firstOfKey(col) && ustricmp(statName[col].key, key) == 0 && plannedValue(cmp.plan, cmp.role, col, number)) {
            *placed = &cmp.placed[cmp.role][col];
            return number;
        }
    return was;
}

// The last row whose name the library takes for the section name (it
// compares names without case), whose values are the ones that remain; -1
// if none.
static int lastOfName(const char *name)
{
    for (int u = unitNum - 1; u >= 0; u--)
        if (ustricmp(unitName[u], name) == 0)
            return u;
    return -1;
}

// Note a change of meaning unless one is noted already.
static void changed(Comparison &cmp, const char *format, ...) __attribute__((format(printf, 2, 3)));
static void changed(Comparison &cmp, const char *format, ...)
{
    if (cmp.verdict.problem != problemCount)
        return;
    cmp.verdict.problem = iniWouldChange;
    va_list args;
    va_start(args, format);
    vsnprintf(cmp.verdict.detail, sizeof cmp.verdict.detail, format, args);
    va_end(args);
}

static bool same(const char *a, const char *b)
{
    return a == b || (a && b && strcmp(a, b) == 0);
}

// Make section, as the library lists it, the section visited.
static void visitSection(Comparison &cmp, const char *section)
{
    // No row has a name longer than the bare name's room.
    size_t len = *section ? strlen(section) - 2 : 0;
    cmp.section = section;
    snprintf(cmp.bare, sizeof cmp.bare, "%.*s", (int)len, section + 1);
    cmp.role = !*section || len >= sizeof cmp.bare ? otherRole
               : ustricmp(cmp.bare, listSection) == 0 ? listRole : lastOfName(cmp.bare);
}

// The visitor that compares each section and entry of the copy with the
// file's. It goes through all of them, so that a unit's entries that landed
// elsewhere show as misplaced, not as the change they make to another section.
static bool compareItem(void *comparison, const char *section, const char *key, const char *was, const char *now)
{
    Comparison &cmp = *(Comparison *)comparison;
    if (section != cmp.section)
        visitSection(cmp, section);
    const char *shown = *section ? cmp.bare : "the top of the file";
    if (!key) {
        if (was && !now)
            changed(cmp, "section [%s] would be lost", shown);
        else if (!was && now && cmp.role == otherRole)
            changed(cmp, "[%s] would be a new section", shown);
        return true;
    }
    bool *placed;
    char number[16];
    const char *want = expected(cmp, key, was, &placed, number);
    if (placed)
        *placed = same(want, now);
    else if (!same(want, now) && !now)
        changed(cmp, "key \"%s\" in [%s] would be lost", key, shown);
    else if (!same(want, now))
        was ? changed(cmp, "key \"%s\" in [%s] would change", key, shown)
            : changed(cmp, "[%s] would gain the key \"%s\"", shown, key);
    return true;
}

// The first row whose list entry or keys were not found as set, as a change
// of meaning; the verdict so far if all were.
static CopyVerdict placement(const Comparison &cmp)
{
    char number[16];
    for (int u = 0; u < unitNum; u++) {
        bool lost = !cmp.listed[u];
        for (int col = 0; lastOfName(unitName[u]) == u && col < statCount; col++)
            lost = lost || (firstOfKey(col) && plannedValue(cmp.plan, u, col, number) && !cmp.placed[u][col]);
        if (lost) {
            CopyVerdict v = {iniWouldChange, 0, ""};
            snprintf(v.detail, sizeof v.detail, "the entries of [%.*s] would not be found in it", nameMaxBytes,
                     cmp.listed[u] ? unitName[u] : listSection);
            return v;
        }
    }
    return cmp.verdict;
}

CopyVerdict checkWhole(const Plan *plan, const char *updated, size_t updatedLen)
{
    Comparison cmp = {};
    cmp.plan = plan;
    cmp.verdict.problem = problemCount;
    int line = 0;
    MeaningTaken t = takeUpdated(plan->file, updated, updatedLen, &line);
    if (t == meaningOverrun)
        changed(cmp, "its line %d would overrun the library's line buffer", line);
    else if (t != meaningTaken)
        cmp.verdict.problem = iniNoRoom;
    if (t != meaningTaken)
        return cmp.verdict;
    walkMeanings(plan->file, compareItem, &cmp);
    return placement(cmp);
}
