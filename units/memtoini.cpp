// The INI writer: sets each unit's entry in "unitnames" and the fifteen keys
// of its section, and ends the list after the last unit, on a work copy of
// the INI file. The copy replaces the file only when, read back, it means
// what the file meant but for exactly those entries.
#include "units.h"

#include <allegro.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

const int textSize = 4096;   // longest section name or value we rewrite, NUL included
const size_t iniMaxBytes = 1u << 20;       // the largest INI file csvtoini updates
const size_t meaningSize = 2 * iniMaxBytes; // names and values of its meaning
const int meaningItems = 1 << 16;          // its sections and entries
const int listLimit = maxUnits * 1000;     // list entries beyond are never looked at

static char iniBytes[iniMaxBytes];   // the INI file as it was
static size_t iniLen;                // bytes of iniBytes in use
static const char *work;             // the work copy's file name
static int tailEnd;                  // the list's end in the file as it was

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

// The name of a section as the library lists it, "[name]", without its
// brackets, cut to fit name.
static void bareName(const char *listed, char name[textSize])
{
    snprintf(name, textSize, "%.*s", (int)strlen(listed) - 2, listed + 1);
}

// True if the file has a section named section, compared as the library
// compares names.
static bool hasSection(const char *section)
{
    const char **names = nullptr;
    int n = list_config_sections(&names);
    bool found = false;
    for (int i = 0; i < n && !found; i++) {
        char name[textSize];
        bareName(names[i], name);
        found = ustricmp(name, section) == 0;
    }
    free_config_entries(&names);
    return found;
}

// End section with an empty line in the saved file, so that a new entry
// stops there: a line end after the value of its last entry or, for a bare
// header, after the header itself (the library takes a key that begins with
// '[' for the header line, whose text after the name it saves as it stands).
// False if a name or value is too long to rewrite.
static bool endSection(const char *section)
{
    const char **keys = nullptr;
    int n = list_config_entries(section, &keys);
    char key[textSize], value[textSize];
    bool ok = n == 0 ? snprintf(key, sizeof key, "[%s]", section) < textSize
                     : snprintf(key, sizeof key, "%s", keys[n - 1]) < textSize;
    free_config_entries(&keys);
    const char *old = n == 0 ? "" : get_config_string(section, key, "");
    if (!ok || snprintf(value, sizeof value, "%s\n", old) >= textSize)
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

// The last unit whose name is section, as the library compares names: its
// values are the ones that remain. -1 if none.
static int lastOfName(const char *section)
{
    for (int u = unitNum - 1; u >= 0; u--)
        if (ustricmp(unitName[u], section) == 0)
            return u;
    return -1;
}

static int unplacedUnit;   // a unit whose entries could not be placed, or -1

// Have the library save the work copy and load it again; false if the save
// failed, which the library shows only in errno.
static bool saveWorkCopy()
{
    errno = 0;
    flush_config_file();
    if (errno != 0)
        return false;
    set_config_file(work);
    return true;
}

// Give each section that will get a new entry an empty line after its
// entries, saved into the file, so that the walk that files the new entry
// stops inside the section. Other sections, and files without new entries in
// existing sections, keep their layout.
static Problem separateSections()
{
    bool any = false;
    unplacedUnit = -2;   // the list
    if (addsToList()) {
        if (!endSection(listSection))
            return iniCannotPlace;
        any = true;
    }
    for (int u = 0; u < unitNum; u++)
        if (lastOfName(unitName[u]) == u && addsToUnit(u)) {
            unplacedUnit = u;
            if (!endSection(unitName[u]))
                return iniCannotPlace;
            any = true;
        }
    return !any || saveWorkCopy() ? problemCount : iniSaveFailed;
}

// True if the list's entries after its last unit are removed: a sheet with
// fewer units than the list is the whole list. A full table may have left
// units out, so then none is removed.
static bool removesTail()
{
    return unitNum < maxUnits;
}

// Where the list ends in the loaded file, counting from its last unit.
static int listEnd()
{
    int n = unitNum;
    for (char key[unitKeySize]; n < listLimit; n++) {
        unitKey(key, n);
        if (!get_config_string(listSection, key, nullptr))
            break;
    }
    return n;
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
    for (int n = unitNum; removesTail() && n < tailEnd; n++) {
        char key[unitKeySize];
        unitKey(key, n);
        set_config_string(listSection, key, nullptr);
    }
}

// The meaning of a loaded file: each section the library lists, in order,
// and in each every entry it lists, in order, with its value. The global
// entries before the first header come first, as the section "".

// A visitor of the walk; false stops it.
typedef bool (*Visit)(const char *section, const char *key, const char *value);

// Walk the loaded file's meaning: visit(name, null, null) for each section,
// then visit(name, key, value) for each of its entries (an empty value is
// ""); finally visit(null, null, null). False if a visit stopped it.
static bool walkMeaning(Visit visit)
{
    const char **sections = nullptr;
    int n = list_config_sections(&sections);
    bool ok = true;
    for (int i = -1; i < n && ok; i++) {
        char name[textSize] = "";
        if (i >= 0)
            bareName(sections[i], name);
        const char **keys = nullptr;
        int k = list_config_entries(name, &keys);
        ok = visit(name, nullptr, nullptr);
        for (int j = 0; j < k && ok; j++)
            ok = visit(name, keys[j], get_config_string(name, keys[j], ""));
        free_config_entries(&keys);
    }
    free_config_entries(&sections);
    return ok && visit(nullptr, nullptr, nullptr);
}

// The original's meaning, kept as items: a section (key ~0u) or an entry, by
// offsets of NUL-terminated text in meaningText.
struct Item {
    unsigned key, value;
};
static char meaningText[meaningSize];
static size_t meaningUsed;
static Item items[meaningItems];
static int itemCount;
const unsigned sectionItem = ~0u;

// Keep text in meaningText; its offset, or ~0u if there is no room.
static unsigned keep(const char *text)
{
    size_t len = strlen(text) + 1;
    if (meaningUsed + len > meaningSize)
        return ~0u;
    memcpy(meaningText + meaningUsed, text, len);
    meaningUsed += len;
    return (unsigned)(meaningUsed - len);
}

static bool keepItem(const char *section, const char *key, const char *value)
{
    if (!section)
        return true;
    if (itemCount == meaningItems)
        return false;
    Item &it = items[itemCount++];
    it.key = key ? keep(key) : sectionItem;
    it.value = keep(key ? value : section);
    return it.value != ~0u && (!key || it.key != ~0u);
}

static char change[512];   // what the first difference of meaning was

// The comparison's state: the next original item not yet matched, the
// section being compared and what the writer does to it.
static char comparedSection[textSize];
static bool comparing;       // comparedSection holds a section
static int next;
static int sectionEnd;       // its original items end here (== next: new)
static int role;             // -2 the list, -1 other, else its unit
const int listRole = -2, otherRole = -1;
static bool placed[maxUnits];    // the unit's columns, or list entries, found as set
static bool unitDone[maxUnits];  // the unit's section was found complete

static const char *itemKey(int i) { return meaningText + items[i].key; }
static const char *itemValue(int i) { return meaningText + items[i].value; }

// The list index that key names ("unit" and a number as unitKey writes it,
// in any case), or -1.
static int listIndex(const char *key)
{
    if (strncasecmp(key, "unit", 4) != 0 || key[4] < '0' || key[4] > '9' ||
        (key[4] == '0' && key[5]))
        return -1;
    char *end;
    long n = strtol(key + 4, &end, 10);
    return *end || n > listLimit ? -1 : (int)n;
}

// The value that key of the section being compared must now have, given the
// one it had (null: none); null means the entry must be absent. Sets *slot
// to the column or list entry for an entry the writer sets, else -1.
static const char *expected(const char *key, const char *was, int *slot)
{
    static char number[16];
    *slot = -1;
    if (role == listRole) {
        int n = listIndex(key);
        if (n >= 0 && n < unitNum) {
            *slot = n;
            return unitName[n];
        }
        return n >= unitNum && n < tailEnd && removesTail() ? nullptr : was;
    }
    for (int col = 0; role >= 0 && col < statCount; col++)
        if (statName[col].key && ustricmp(statName[col].key, key) == 0) {
            *slot = col;
            snprintf(number, sizeof number, "%d", iniValue(role, col));
            return number;
        }
    return was;
}

// Note the first change of meaning; always false, to stop the walk.
static bool changed(const char *fmt, const char *a, const char *b = "")
{
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    snprintf(change, sizeof change, fmt, a, b);
#pragma GCC diagnostic pop
    return false;
}

// Original entries from next up to stop that are gone from the copy must be
// ones the writer removes.
static bool skipRemoved(int stop, const char *section)
{
    int slot;
    for (; next < stop; next++)
        if (expected(itemKey(next), itemValue(next), &slot))
            return changed("key \"%s\" in [%s] would be lost", itemKey(next), section);
    return true;
}

// Close the section being compared: its remaining original entries must be
// removed ones, and a unit's section or the list must hold all it was given.
static bool endCompared(const char *section)
{
    if (!skipRemoved(sectionEnd, section))
        return false;
    for (int i = 0; role != otherRole && i < (role == listRole ? unitNum : statCount); i++)
        if (!placed[i] && (role == listRole || statName[i].key)) {
            unplacedUnit = role;
            return false;
        }
    if (role >= 0)
        unitDone[role] = true;
    return true;
}

// Begin comparing section: find it among the original sections from next
// on; the ones skipped were lost. A section not there must be one the
// writer makes.
static bool beginCompared(const char *section)
{
    role = ustricmp(section, listSection) == 0 ? listRole : lastOfName(section);
    memset(placed, 0, sizeof placed);
    int i = next;
    while (i < itemCount && !(items[i].key == sectionItem && strcmp(itemValue(i), section) == 0))
        i++;
    if (i == itemCount) {
        sectionEnd = next;   // a new section: no original entries
        return role != otherRole || changed("[%s] would be a new section", section);
    }
    for (int j = next; j < i; j++)
        if (items[j].key == sectionItem)
            return changed("section [%s] would be lost", itemValue(j));
    next = i + 1;
    for (sectionEnd = next; sectionEnd < itemCount && items[sectionEnd].key != sectionItem;)
        sectionEnd++;
    return true;
}

// The visitor that compares the copy's meaning with the original's.
static bool compareItem(const char *section, const char *key, const char *value)
{
    if (!key) {
        if (comparing && !endCompared(comparedSection))
            return false;
        comparing = section != nullptr;
        if (comparing)
            snprintf(comparedSection, sizeof comparedSection, "%s", section);
        if (!section)   // the end: every original section was seen
            return next >= itemCount || changed("section [%s] would be lost", itemValue(next));
        return beginCompared(section);
    }
    int i = next;
    while (i < sectionEnd && strcmp(itemKey(i), key) != 0)
        i++;
    const char *was = nullptr;
    if (i < sectionEnd) {
        if (!skipRemoved(i, section))
            return false;
        was = itemValue(next++);
    }
    int slot;
    const char *want = expected(key, was, &slot);
    if (want && strcmp(want, value) == 0) {
        if (slot >= 0)
            placed[slot] = true;
        return true;
    }
    if (slot >= 0)
        return true;   // a set entry in the wrong state: the end of the section tells
    return was ? changed("key \"%s\" in [%s] would change", key, section)
               : changed("[%s] would gain the key \"%s\"", section, key);
}

// Compare the loaded copy with the original's meaning; problemCount if they
// agree but for the writer's changes, else the problem, with change or
// unplacedUnit saying where.
static Problem compareMeaning()
{
    next = 0;
    comparing = false;
    unplacedUnit = -1;
    memset(unitDone, 0, sizeof unitDone);
    if (walkMeaning(compareItem)) {
        for (int u = 0; u < unitNum; u++)
            if (!unitDone[lastOfName(unitName[u])]) {
                unplacedUnit = u;
                return iniCannotPlace;
            }
        return problemCount;
    }
    return unplacedUnit != -1 ? iniCannotPlace : iniWouldChange;
}

// Write the original bytes into the work copy and load it; whatever the
// library held unsaved goes first into the copy, which is then overwritten.
static bool loadOriginal()
{
    set_config_file(work);
    FILE *f = fopen(work, "wb");
    bool ok = f && fwrite(iniBytes, 1, iniLen, f) == iniLen;
    if (f && fclose(f) != 0)
        ok = false;
    set_config_file(work);
    return ok;
}

// One attempt at the update on the work copy; problemCount if the copy is
// ready to replace the file. With separate, the sections that get new
// entries are first ended by an empty line.
static Problem writeUnits(bool separate)
{
    if (!loadOriginal())
        return iniNoCopy;
    if (Problem p = separate ? separateSections() : problemCount; p != problemCount)
        return p;
    setUnits();
    // Compare the saved copy, loaded again: what only the loaded copy holds
    // would not survive the next load.
    return saveWorkCopy() ? compareMeaning() : iniSaveFailed;
}

// The line of the INI file that byte offset at is on.
static int lineOf(size_t at)
{
    int line = 1;
    for (size_t i = 0; i < at; i++)
        line += iniBytes[i] == '\n' || (iniBytes[i] == '\r' && iniBytes[i + 1] != '\n');
    return line;
}

// Start the update: a work copy of the INI file, which must be UTF-8 for the
// library to keep it, and its meaning taken; false, the run failed, if not.
static bool beginUpdate()
{
    const char *why = "";
    work = openWorkCopy(iniFile, iniBytes, sizeof iniBytes, &iniLen, &why);
    if (!work) {
        failRun(iniNoCopy, 0, why);
        return false;
    }
    size_t good = validUtf8(iniBytes, iniLen);
    if (good < iniLen) {
        discardWorkCopy();
        failRun(iniNotUtf8, lineOf(good));
        return false;
    }
    meaningUsed = 0;
    itemCount = 0;
    bool loaded = loadOriginal();
    if (!loaded || !walkMeaning(keepItem)) {
        failRun(iniNoCopy, 0, loaded ? "it is larger than csvtoini can check" : strerror(errno));
        discardWorkCopy();
        return false;
    }
    tailEnd = listEnd();
    return true;
}

// What went wrong with problem p, for its message.
static const char *detailOf(Problem p)
{
    if (p == iniCannotPlace)
        return unplacedUnit >= 0 ? unitName[unplacedUnit] : listSection;
    return p == iniWouldChange ? change : strerror(errno);
}

void MemToIni()
{
    // Without units there is nothing to set and nothing is written; after a
    // refused sheet, nothing at all.
    if (runFailed || unitNum == 0 || !beginUpdate())
        return;
    // The file's layout is kept unless an entry would not land in its own
    // section, as in a file without empty lines between sections. If that
    // does not help either, the first attempt tells what went wrong.
    static char detail[sizeof change];
    Problem p = writeUnits(false);
    if (p != problemCount) {
        snprintf(detail, sizeof detail, "%s", detailOf(p));
        if (writeUnits(true) == problemCount)
            p = problemCount;
    }
    if (p != problemCount) {
        set_config_file(work);   // nothing unsaved is left for the shutdown
        discardWorkCopy();
        failRun(p, 0, detail);
    } else if (const char *why; WorkResult r = commitWorkCopy(&why)) {
        failRun(r == workTargetChanged ? iniChanged : iniNoReplace, 0, why);
    }
}
