// The check of the library's saved copy of an updated INI file: read back,
// it must mean what the file meant but for the entries the writer set and
// the list entries it removed, each found in its own section.
#include "meaning.h"

#include <allegro.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

const int listRole = -2, otherRole = -1;   // a section's role: the list, another, or a unit's row

// The comparison's state: the section being visited and what the writer does
// to it, which entries it sets were found as set, and the verdict so far.
static struct {
    const char *section;        // the section visited last, as listed
    char bare[nameSize];        // its name without brackets, cut to fit
    int role;                   // listRole, otherRole, or the row it holds
    int removedEnd;             // list entries from unitNum up to this one are removed
    bool placed[maxUnits][statCount];   // a row's column found as set
    bool listed[maxUnits];              // a row's list entry found as set
    CopyVerdict verdict;        // the first change of meaning, if any
} cmp;

// The value that key of the section visited must now have, given the one it
// had (null: none); null means it must be absent. Sets *placed to the flag
// of an entry the writer sets, else null. number holds a value made here.
static const char *expected(const char *key, const char *was, bool **placed, char number[16])
{
    *placed = nullptr;
    if (cmp.role == listRole) {
        int n = listIndex(key, listCountMost);
        if (n >= 0 && n < unitNum) {
            *placed = &cmp.listed[n];
            return unitName[n];
        }
        return n >= unitNum && n < cmp.removedEnd ? nullptr : was;
    }
    for (int col = 0; cmp.role >= 0 && col < statCount; col++)
        if (firstOfKey(col) && ustricmp(statName[col].key, key) == 0) {
            *placed = &cmp.placed[cmp.role][col];
            snprintf(number, 16, "%d", keyValue(uStat[cmp.role], col));
            return number;
        }
    return was;
}

// Note a change of meaning unless one is noted already.
static void changed(const char *format, ...) __attribute__((format(printf, 1, 2)));
static void changed(const char *format, ...)
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
static void visitSection(const char *section)
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
static bool compareItem(const char *section, const char *key, const char *was, const char *now)
{
    if (section != cmp.section)
        visitSection(section);
    const char *shown = *section ? cmp.bare : "the top of the file";
    if (!key) {
        if (was && !now)
            changed("section [%s] would be lost", shown);
        else if (!was && now && cmp.role == otherRole)
            changed("[%s] would be a new section", shown);
        return true;
    }
    bool *placed;
    char number[16];
    const char *want = expected(key, was, &placed, number);
    if (placed)
        *placed = same(want, now);
    else if (!same(want, now) && !now)
        changed("key \"%s\" in [%s] would be lost", key, shown);
    else if (!same(want, now))
        was ? changed("key \"%s\" in [%s] would change", key, shown)
            : changed("[%s] would gain the key \"%s\"", shown, key);
    return true;
}

// The first row whose list entry or keys were not found as set, as the
// problem of placing it; the verdict so far if all were.
static CopyVerdict placement()
{
    CopyVerdict v = {iniCannotPlace, ""};
    for (int u = 0; u < unitNum; u++)
        if (!cmp.listed[u]) {
            snprintf(v.detail, sizeof v.detail, "%s", listSection);
            return v;
        }
    for (int u = 0; u < unitNum; u++)
        for (int col = 0; lastOfName(unitName[u]) == u && col < statCount; col++)
            if (firstOfKey(col) && !cmp.placed[u][col]) {
                snprintf(v.detail, sizeof v.detail, "%.*s", nameMaxBytes, unitName[u]);
                return v;
            }
    return cmp.verdict;
}

CopyVerdict checkCopy(const char *text, size_t len, int removedEnd)
{
    memset(&cmp, 0, sizeof cmp);
    cmp.removedEnd = removedEnd;
    cmp.verdict.problem = problemCount;
    if (takeMeaning(1, text, len) != meaningTaken) {
        changed("it would hold more sections and entries than the sheet makes");
        return cmp.verdict;
    }
    walkMeanings(compareItem);
    return placement();
}
