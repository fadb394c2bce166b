// The INI writer: sets each unit's entry in "unitnames" and the fifteen keys
// of its section, and ends the list after the last unit, on a work copy of
// the INI file. The copy replaces the file only when, read back, it means
// what the file meant but for exactly those entries.
#include "meaning.h"
#include "platform.h"

#include <allegro.h>
#include <stdio.h>
#include <string.h>

// The saved copy of the INI file: the library writes "key = value" for a
// line as short as "k" and an end of line, CR LF on Windows: at most three
// times the bytes, and the units' entries besides.
const size_t savedMaxBytes = 3 * iniMaxBytes + (64u << 10);

// All the state of one update.
static struct {
    char bytes[iniMaxBytes + 2];         // the file as it was, a byte more to tell it is too large, and a NUL
    char saved[savedMaxBytes + 2];       // the work copy as the library saved it, and a NUL
    WorkCopy work;                       // the work copy: its name, the bytes read, what went wrong
    int tailEnd;                         // the list's end in the file as it was
    bool touched;                        // the update sets or removes an entry
} up;

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

// True if section gets a new entry that the library would file outside it:
// it is in the file, but no empty line ends the part under its first header.
static bool strays(const char *section)
{
    return meaningHasSection(section) && !meaningPartEnded(section);
}

// True if the section of row unit, or the list (unit -1), gets a new entry
// that would stray.
static bool addsAstray(int unit)
{
    if (unit < 0) {
        char key[unitKeySize];
        for (int u = 0; u < unitNum; u++)
            if (unitKey(key, u), !meaningValue(listSection, key))
                return strays(listSection);
        return false;
    }
    for (int col = 0; col < statCount; col++)
        if (firstOfKey(col) && !meaningValue(unitName[unit], statName[col].key))
            return strays(unitName[unit]);
    return false;
}

// Have the library save the work copy; false, saying why, if the save
// failed, which the library shows only in errno. It reports a failed write
// as EFAULT only, so a write of our own where its save stopped tells the
// cause: a full disk, a size limit.
static bool saveWorkCopy()
{
    errno = 0;
    flush_config_file();
    int e = errno;
    if (e == 0)
        return true;
    if (e == EFAULT) {
        static const char block[1 << 16] = {};
        FILE *f = fopen(up.work.name, "ab");
        errno = 0;
        bool wrote = f && fwrite(block, 1, sizeof block, f) == sizeof block && fflush(f) == 0;
        e = wrote ? 0 : errno;
        if (f)
            fclose(f);
    }
    failRun(iniSaveFailed, 0, "%s", e ? ioError(e) : "a write failed");
    return false;
}

// Give each section that gets a new entry that would stray an empty line
// after the part under its first header, saved into the file, so that the
// walk that files the new entry stops inside the section. Other sections
// keep their layout. False, the run failed, if that cannot be done.
static bool separateSections()
{
    bool any = false;
    for (int u = -1; u < unitNum; u++) {
        const char *section = u < 0 ? listSection : unitName[u];
        if ((u >= 0 && lastOfName(section) != u) || !addsAstray(u))
            continue;
        if (!endSection(section)) {
            failRun(iniCannotPlace, 0, "%s", section);
            return false;
        }
        any = true;
    }
    // The empty lines are in the file once it is loaded again.
    if (any && !saveWorkCopy())
        return false;
    if (any)
        set_config_file(up.work.name);
    return true;
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
    for (char key[unitKeySize]; n < listCountMost; n++) {
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
        up.touched = true;
    }
}

// Set every row's list entry and keys, and remove the list's tail.
static void setUnits()
{
    for (int u = 0; u < unitNum; u++) {
        char key[unitKeySize], number[16];
        unitKey(key, u);
        setEntry(listSection, key, unitName[u]);
        for (int col = 0; col < statCount; col++)
            if (firstOfKey(col)) {
                snprintf(number, sizeof number, "%d", keyValue(uStat[u], col));
                setEntry(unitName[u], statName[col].key, number);
            }
    }
    for (int n = unitNum; removesTail() && n < up.tailEnd; n++) {
        char key[unitKeySize];
        unitKey(key, n);
        set_config_string(listSection, key, nullptr);
        up.touched = true;
    }
}

// Write the original bytes into the work copy and load it; whatever the
// library held unsaved goes first into the copy, which is then overwritten.
// False, the run failed, if that fails.
static bool loadOriginal()
{
    set_config_file(up.work.name);
    FILE *f = fopen(up.work.name, "wb");
    int e = f ? 0 : errno;
    if (f && fwrite(up.bytes, 1, up.work.len, f) != up.work.len)
        e = errno ? errno : -1;
    if (f && fclose(f) != 0 && !e)
        e = errno ? errno : -1;
    if (e)
        failRun(iniNoCopy, 0, "%s", e > 0 ? ioError(e) : "a write failed");
    set_config_file(up.work.name);
    return !e;
}

// Check the saved copy as the next load reads it (what only the loaded copy
// holds would not survive that); false, the run failed, if it does not mean
// what it should.
static bool checkSaved()
{
    size_t len;
    FileRead r = readWholeFile(up.work.name, up.saved, savedMaxBytes + 1, &len, &up.work.why);
    if (r != fileRead) {
        failRun(iniSaveFailed, 0, "%s", r == fileFailed ? up.work.why.text
                : r == fileMissing ? "another program removed it" : "it grew too large");
        return false;
    }
    up.saved[len] = '\0';
    CopyVerdict v = checkCopy(up.saved, len, removesTail() ? up.tailEnd : unitNum);
    if (v.problem != problemCount)
        failRun(v.problem, 0, "%s", v.detail);
    return v.problem == problemCount;
}

// The limit of csvtoini that the meaning of the file as read passes, for
// its message; null if none.
static const char *meaningLimit()
{
    switch (takeMeaning(0, up.bytes, up.work.len)) {
    case meaningTaken: return nullptr;
    case meaningTooManyLines: return "50,000 lines";
    case meaningTooManySections: return "5,000 sections";
    case meaningNoRoom: break;
    }
    return "what csvtoini can hold";   // never within the limits
}
static_assert(iniMaxBytes == 1u << 20 && iniMaxLines == 50000 && iniMaxSections == 5000,
              "the messages name the limits");

// Plan the update: a work copy of the INI file, which must be UTF-8 for the
// library to keep it, and its meaning taken; false, the run failed, if not.
static bool planUpdate()
{
    up.touched = false;
    up.work = {programName, isWorkCopyOf, up.bytes, iniMaxBytes + 1, 0, false, nullptr, {}};
    if (!openWorkCopy(iniFile, &up.work)) {
        failRun(iniNoCopy, 0, "%s", up.work.why.text);
        return false;
    }
    // A run in the wrong folder, or while another program has moved the
    // file away for a moment, would make a file of the units alone.
    if (!up.work.existed) {
        discardWorkCopy();
        failRun(iniNotFound);
        return false;
    }
    up.bytes[up.work.len] = '\0';
    const char *e = iniEncodingProblem(up.bytes, up.work.len);
    size_t good = validUtf8(up.bytes, up.work.len);
    const char *limit = up.work.len > iniMaxBytes ? "1 MiB" : e || good < up.work.len ? nullptr : meaningLimit();
    if (e)
        failRun(iniEncoding, 0, "%s", e);
    else if (limit)
        failRun(iniTooLarge, 0, "%s", limit);
    else if (good < up.work.len)
        failRun(iniNotUtf8, lineOf(up.bytes, good));
    if (e || limit || good < up.work.len) {
        discardWorkCopy();
        return false;
    }
    up.tailEnd = listEnd();
    return true;
}

void MemToIni()
{
    // Without units there is nothing to set and nothing is written.
    if (unitNum == 0 || !planUpdate())
        return;
    bool ok = loadOriginal() && separateSections();
    if (ok)
        setUnits();
    if (ok && up.touched)
        ok = saveWorkCopy() && checkSaved();
    if (!ok) {
        set_config_file(up.work.name);   // nothing unsaved is left for the shutdown
        discardWorkCopy();
    } else if (!up.touched) {
        discardWorkCopy();   // the file holds the sheet's units already
    } else if (WorkResult r = commitWorkCopy(&up.work)) {
        failRun(r == workTargetChanged ? iniChanged : iniNoReplace, 0, "%s", up.work.why.text);
    }
}
