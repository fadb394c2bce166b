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

const int listLimit = maxUnits * 1000;   // list entries beyond are never looked at

static char iniBytes[iniMaxBytes + 1];   // the INI file as it was; one byte more tells it is too large
static size_t iniLen;                    // bytes of iniBytes in use
static char savedBytes[iniSavedMaxBytes + 1];   // the work copy as the library saved it
static const char *work;                 // the work copy's file name
static int tailEnd;                      // the list's end in the file as it was
static const char *why;                  // what went wrong, for the message
static bool touched;                     // the update sets or removes an entry

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

// The last unit whose name is section, as the library compares names: its
// values are the ones that remain. -1 if none.
static int lastOfName(const char *section)
{
    for (int u = unitNum - 1; u >= 0; u--)
        if (ustricmp(unitName[u], section) == 0)
            return u;
    return -1;
}

// End the part of section under its first header with an empty line in the
// saved file, so that a new entry, which the library files after that header
// and the lines up to an empty one, stops there: a line end after the value
// of the part's last entry or, for a bare header, after the header itself
// (the library takes a key that begins with '[' for the first header line of
// that name, whose text after the name it saves as it stands). False if the
// entry cannot be told apart, as a key that begins with '[' cannot.
static bool endSection(const char *section)
{
    static char key[iniMaxBytes + 3], value[iniMaxBytes + 2];   // a line of the file at most
    const char *last = meaningEndKey(section);
    if (last && last[0] == '[')
        return false;
    snprintf(key, sizeof key, last ? "%s" : "[%s]", last ? last : section);
    snprintf(value, sizeof value, "%s\n", get_config_string(section, key, ""));
    set_config_string(section, key, value);
    return true;
}

// The library files a new entry of an existing section after its first
// header and the lines that follow it up to an empty line, which may be in a
// later section. These say whether the unit's section, or "unitnames", gets
// one there without such a line to stop at.

static bool strays(const char *section)
{
    return meaningHasSection(section) && !meaningPartEnded(section);
}

static bool addsToUnit(int unit)
{
    const char *section = unitName[unit];
    for (const Column &c : statName)
        if (c.key && !meaningValue(section, c.key))
            return strays(section);
    return false;
}

static bool addsToList()
{
    for (int u = 0; u < unitNum; u++) {
        char key[unitKeySize];
        unitKey(key, u);
        if (!meaningValue(listSection, key))
            return strays(listSection);
    }
    return false;
}

static int unplacedUnit;   // a unit whose entries could not be placed, -2 the list, -1 none
const int listRole = -2, otherRole = -1;

// Why the library's save of the work copy, which left errno e, failed. The
// library reports a failed write as EFAULT only, so a write of our own where
// its save stopped tells the cause: a full disk, a size limit.
static const char *saveFailure(int e)
{
    if (e != EFAULT)
        return ioError(e);
    static const char block[1 << 16] = {};
    FILE *f = fopen(work, "ab");
    errno = 0;
    bool wrote = f && fwrite(block, 1, sizeof block, f) == sizeof block && fflush(f) == 0;
    e = errno;
    if (f)
        fclose(f);
    return wrote || e == 0 ? "a write failed" : ioError(e);
}

// Have the library save the work copy; false, with why set, if the save
// failed, which the library shows only in errno.
static bool saveWorkCopy()
{
    errno = 0;
    flush_config_file();
    if (errno == 0)
        return true;
    why = saveFailure(errno);
    return false;
}

// Give each section that gets a new entry that would stray an empty line
// after the part under its first header, saved into the file, so that the
// walk that files the new entry stops inside the section. Other sections
// keep their layout.
static Problem separateSections()
{
    bool any = false;
    unplacedUnit = listRole;
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
    // The empty lines are in the file once it is loaded again.
    if (any && !saveWorkCopy())
        return iniSaveFailed;
    if (any)
        set_config_file(work);
    return problemCount;
}

// True if the list's entries after its last unit are removed: a sheet with
// fewer units than the list is the whole list. A full table may have left
// units out, so then none is removed.
static bool removesTail()
{
    return unitNum < maxUnits;
}

// Where the list ends in the file as it was, counting from its last unit.
static int listEnd()
{
    int n = unitNum;
    for (char key[unitKeySize]; n < listLimit; n++) {
        unitKey(key, n);
        if (!meaningValue(listSection, key))
            break;
    }
    return n;
}

// Set key of section to value unless the file holds that value already:
// each set walks the file from the top.
static void setEntry(const char *section, const char *key, const char *value)
{
    const char *was = meaningValue(section, key);
    if (!was || strcmp(was, value) != 0) {
        set_config_string(section, key, value);
        touched = true;
    }
}

static void setUnits()
{
    for (int u = 0; u < unitNum; u++) {
        char key[unitKeySize], number[16];
        unitKey(key, u);
        setEntry(listSection, key, unitName[u]);
        for (int col = 0; col < statCount; col++)
            if (statName[col].key) {
                snprintf(number, sizeof number, "%d", iniValue(u, col));
                setEntry(unitName[u], statName[col].key, number);
            }
    }
    for (int n = unitNum; removesTail() && n < tailEnd; n++) {
        char key[unitKeySize];
        unitKey(key, n);
        set_config_string(listSection, key, nullptr);
        touched = true;
    }
}

// The comparison of the copy's meaning with the file's: what the writer does
// to the section being visited, which entries it sets were found as set, and
// the first change of meaning.
static struct {
    const char *section;        // the section visited last, as listed
    char bare[nameSize];        // its name without brackets, cut to fit
    int role;                   // listRole, otherRole, or the unit it holds
    bool placed[maxUnits][statCount];   // a unit's column found as set
    bool listed[maxUnits];              // a unit's list entry found as set
    char change[512];           // the first change, "" if none yet
} cmp;

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

// The value that key of the section visited must now have, given the one it
// had (null: none); null means it must be absent. Sets *placed to the flag
// of an entry the writer sets, else null.
static const char *expected(const char *key, const char *was, bool **placed)
{
    static char number[16];
    *placed = nullptr;
    if (cmp.role == listRole) {
        int n = listIndex(key);
        if (n >= 0 && n < unitNum) {
            *placed = &cmp.listed[n];
            return unitName[n];
        }
        return n >= unitNum && n < tailEnd && removesTail() ? nullptr : was;
    }
    for (int col = 0; cmp.role >= 0 && col < statCount; col++)
        if (statName[col].key && ustricmp(statName[col].key, key) == 0) {
            *placed = &cmp.placed[cmp.role][col];
            snprintf(number, sizeof number, "%d", iniValue(cmp.role, col));
            return number;
        }
    return was;
}

// Note a change of meaning unless one is noted already.
static void changed(const char *fmt, const char *a, const char *b = "")
{
    if (cmp.change[0])
        return;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    snprintf(cmp.change, sizeof cmp.change, fmt, a, b);
#pragma GCC diagnostic pop
}

static bool same(const char *a, const char *b)
{
    return a == b || (a && b && strcmp(a, b) == 0);
}

// The visitor that compares each section and entry of the copy with the
// file's. It goes through all of them, so that a unit's entries that landed
// elsewhere show as misplaced, not as the change they make to another section.
static bool compareItem(const char *section, const char *key, const char *was, const char *now)
{
    if (section != cmp.section) {
        // No unit has a name longer than the bare name's room.
        size_t len = *section ? strlen(section) - 2 : 0;
        cmp.section = section;
        snprintf(cmp.bare, sizeof cmp.bare, "%.*s", (int)len, section + 1);
        cmp.role = !*section || len >= sizeof cmp.bare ? otherRole
                   : ustricmp(cmp.bare, listSection) == 0 ? listRole : lastOfName(cmp.bare);
    }
    const char *shown = *section ? cmp.bare : "the top of the file";
    if (!key) {
        if (was && !now)
            changed("section [%s] would be lost", shown);
        else if (!was && now && cmp.role == otherRole)
            changed("[%s] would be a new section", shown);
        return true;
    }
    bool *placed;
    const char *want = expected(key, was, &placed);
    if (placed)
        *placed = same(want, now);
    else if (!same(want, now))
        !now ? changed("key \"%s\" in [%s] would be lost", key, shown)
        : was ? changed("key \"%s\" in [%s] would change", key, shown)
              : changed("[%s] would gain the key \"%s\"", shown, key);
    return true;
}

// Compare the saved copy, whose text is [text, text + len), with the file's
// meaning; problemCount if they agree but for the writer's changes, else the
// problem, with cmp.change or unplacedUnit saying what.
static Problem compareMeaning(const char *text, size_t len)
{
    memset(&cmp, 0, sizeof cmp);
    if (takeMeaning(1, text, len) != meaningTaken) {
        changed("it would hold more sections and entries than the sheet makes", "");
        return iniWouldChange;
    }
    walkMeanings(compareItem);
    for (int u = 0; u < unitNum; u++)
        if (!cmp.listed[u]) {
            unplacedUnit = listRole;
            return iniCannotPlace;
        }
    for (int u = 0; u < unitNum; u++)
        for (int col = 0; lastOfName(unitName[u]) == u && col < statCount; col++)
            if (statName[col].key && !cmp.placed[u][col]) {
                unplacedUnit = u;
                return iniCannotPlace;
            }
    return cmp.change[0] ? iniWouldChange : problemCount;
}

// Write the original bytes into the work copy and load it; whatever the
// library held unsaved goes first into the copy, which is then overwritten.
static bool loadOriginal()
{
    set_config_file(work);
    FILE *f = fopen(work, "wb");
    errno = 0;
    bool ok = f && fwrite(iniBytes, 1, iniLen, f) == iniLen;
    if (f && fclose(f) != 0)
        ok = false;
    if (!ok)
        why = errno ? ioError(errno) : "a write failed";
    set_config_file(work);
    return ok;
}

// The update on the work copy; problemCount if the copy is ready to replace
// the file.
static Problem writeUnits()
{
    if (!loadOriginal())
        return iniNoCopy;
    if (Problem p = separateSections(); p != problemCount)
        return p;
    setUnits();
    if (!touched)
        return problemCount;   // the file holds the sheet's units already
    if (!saveWorkCopy())
        return iniSaveFailed;
    // Compare the copy as the next load reads it: what only the loaded copy
    // holds would not survive that.
    size_t len;
    FileRead r = readWholeFile(work, savedBytes, sizeof savedBytes, &len, &why);
    if (r != fileRead) {
        why = r == fileFailed ? why : r == fileMissing ? "another program removed it" : "it grew too large";
        return iniSaveFailed;
    }
    return compareMeaning(savedBytes, len);
}

// Start the update: a work copy of the INI file, which must be UTF-8 for the
// library to keep it, and its meaning taken; false, the run failed, if not.
static bool beginUpdate()
{
    why = "";
    work = openWorkCopy(iniFile, iniBytes, sizeof iniBytes, &iniLen, &why);
    if (!work) {
        failRun(iniNoCopy, 0, why);
        return false;
    }
    if (const char *e = iniEncodingProblem(iniBytes, iniLen)) {
        discardWorkCopy();
        failRun(iniEncoding, 0, e);
        return false;
    }
    size_t good = validUtf8(iniBytes, iniLen);
    const char *limit = iniLen > iniMaxBytes ? "1 MiB" : nullptr;
    if (!limit && good == iniLen)
        switch (takeMeaning(0, iniBytes, iniLen)) {
        case meaningTaken: break;
        case meaningTooManyLines: limit = "50,000 lines"; break;
        case meaningTooManySections: limit = "5,000 sections"; break;
        case meaningNoRoom: limit = "what csvtoini can hold"; break;   // never within the limits
        }
    static_assert(iniMaxBytes == 1u << 20 && iniMaxLines == 50000 && iniMaxSections == 5000,
                  "the messages name the limits");
    if (limit || good < iniLen) {
        discardWorkCopy();
        if (limit)
            failRun(iniTooLarge, 0, limit);
        else
            failRun(iniNotUtf8, lineOf(iniBytes, good));
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
    return p == iniWouldChange ? cmp.change : why;
}

void MemToIni()
{
    // Without units there is nothing to set and nothing is written; after a
    // refused sheet, nothing at all.
    if (runFailed || unitNum == 0 || !beginUpdate())
        return;
    if (Problem p = writeUnits(); p != problemCount) {
        set_config_file(work);   // nothing unsaved is left for the shutdown
        discardWorkCopy();
        failRun(p, 0, detailOf(p));
    } else if (!touched) {
        discardWorkCopy();
    } else if (const char *w; WorkResult r = commitWorkCopy(&w)) {
        failRun(r == workTargetChanged ? iniChanged : iniNoReplace, 0, w);
    }
}
