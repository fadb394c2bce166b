// The INI writer: sets each unit's entry in "unitnames" and the fifteen keys
// of its section, and ends the list after the last unit, on a work copy of
// the INI file. The copy replaces the file only when, read back, it means
// what the file meant but for exactly those entries.
#include "platform.h"
#include "update.h"

#include <allegro.h>
#include <stdio.h>
#include <string.h>

// The saved copy of the INI file: the library writes "key = value" for a
// line as short as "k" and an end of line, CR LF on Windows: at most three
// times the bytes, and the units' entries besides.
const size_t savedMaxBytes = 3 * iniMaxBytes + (64u << 10);
// The longest update csvtoini makes: each set walks the file, and at more
// than about this the user would wait too long.
constexpr double updateMaxNs = 3e9;
static_assert(updateMaxNs == 3e9, "the message of iniTooSlow says 3 seconds");

// All the state of one update.
static struct {
    char bytes[iniMaxBytes + 2];         // the file as it was, a byte more to tell it is too large, and a NUL
    char saved[savedMaxBytes + 2];       // the work copy as the library saved it, and a NUL
    size_t savedLen;                     // bytes of it in use
    WorkCopy work;                       // the work copy: its name, the bytes read, what went wrong
    int listEnd;                         // the list's end in the file as it was, from the table's last row
    int listLength;                      // the list's length, from its first entry
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

// True if the section of row unit, or the list (unit -1), is in the file
// and gets a new entry, but no empty line ends the part under its first
// header, so that the library would file the entry outside it.
static bool addsAstray(int unit)
{
    const char *section = unit < 0 ? listSection : unitName[unit];
    char key[unitKeySize];
    bool adds = false;
    for (int u = 0; unit < 0 && u < unitNum; u++)
        adds = adds || (unitKey(key, u), !meaningValue(listSection, key));
    for (int col = 0; unit >= 0 && col < statCount; col++)
        adds = adds || (firstOfKey(col) && !meaningValue(section, statName[col].key));
    return adds && meaningHasSection(section) && !meaningPartEnded(section);
}

// Have the library save the work copy and read the saved bytes back; false,
// saying why, if that fails. The library shows a failed save only in errno,
// and a failed write as EFAULT only, so a write of our own where its save
// stopped tells the cause: a full disk, a size limit.
static bool saveWorkCopy()
{
    errno = 0;
    flush_config_file();
    int e = errno;
    if (e == EFAULT) {
        static const char block[1 << 16] = {};
        FILE *f = fopen(up.work.name, "ab");
        errno = 0;
        bool wrote = f && fwrite(block, 1, sizeof block, f) == sizeof block && fflush(f) == 0;
        e = wrote ? 0 : errno;
        if (f)
            fclose(f);
        if (!e)
            e = -1;
    }
    FileRead r = e ? fileFailed : readWholeFile(up.work.name, up.saved, savedMaxBytes + 1, &up.savedLen, &up.work.why, true);
    if (r == fileRead) {
        up.saved[up.savedLen] = '\0';
        return true;
    }
    failRun(iniSaveFailed, 0, "%s", e > 0 ? ioError(e) : e ? "a write failed" : r == fileFailed ? up.work.why.text
            : r == fileMissing ? "another program removed it" : "it grew too large");
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
            failRun(iniCannotPlace, meaningEndLine(section), "%s", section);
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

// Set key of section to value, or remove it where value is null.
static void setOne(const char *section, const char *key, const char *value)
{
    set_config_string(section, key, value);
    up.touched = true;
}

// Fail the run with the verdict's problem, if it has one.
static bool passes(const CopyVerdict &v)
{
    if (v.problem != problemCount)
        failRun(v.problem, v.line, "%s", v.detail);
    return v.problem == problemCount;
}

// Write the original bytes into the work copy and have the library load it,
// and save it untouched: each line of the saved copy must mean what the
// line of the file meant, or the library's save would change the file
// where the sheet does not touch it, or the load failed. Whatever the
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
    if (e) {
        failRun(iniNoCopy, 0, "%s", e > 0 ? ioError(e) : "a write failed");
        return false;
    }
    set_config_file(up.work.name);
    // Removing a key that no line can have changes nothing but has the
    // library save.
    set_config_string(nullptr, "no such key", nullptr);
    return saveWorkCopy() && passes(checkResave(up.bytes, up.work.len, up.saved, up.savedLen));
}

// True if the file as the library saves it, with what the update adds,
// stays within csvtoini's limits, so that what it writes it reads again;
// else the run fails saying which limit it would pass. The copy's check
// counts again, exactly.
static bool resultFits()
{
    int lines, sections;
    size_t names;
    meaningSize(&lines, &sections, &names);
    Growth g = plannedGrowth(up.listEnd);
    const char *limit = (long long)up.savedLen + g.bytes > (long long)iniMaxBytes ? "1 MiB"
                      : lines + g.lines > iniMaxLines ? "50,000 lines"
                      : sections + g.sections > iniMaxSections ? "5,000 sections" : nullptr;
    if (limit)
        failRun(iniResultTooLarge, 0, "%s", limit);
    return !limit;
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

// True if the file's list holds no more units than the table: an update
// of part of the list would lose the rest. Else the run fails saying why.
static bool wholeList()
{
    int length = up.listLength = meaningListEnd(0);
    if (length <= maxUnits)
        return true;
    failRun(iniListTooLong, 0, length < listCountMost ? "%d" : "%d or more", length);
    return false;
}

// True if no row's name beyond ASCII was decoded from a guessed code page
// unless the file lists a unit of that name: a misread letter would make a
// new unit of an old one. Else the run fails naming the row.
static bool namesKnown()
{
    char key[unitKeySize];
    for (int u = 0; u < unitNum; u++) {
        bool doubtful = unitGuessed[u] && beyondAscii(unitName[u]), listed = false;
        for (int n = 0; doubtful && !listed && n < up.listLength; n++)
            listed = (unitKey(key, n), strcmp(meaningValue(listSection, key), unitName[u]) == 0);
        if (doubtful && !listed) {
            failRun(nameGuessed, unitLine[u], "%s", unitName[u]);
            return false;
        }
    }
    return true;
}

// True if the library's walks for the update take no longer than a user
// waits; else the run fails saying why.
static bool quickEnough()
{
    double ns = plannedNs(up.listEnd);
    if (ns <= updateMaxNs)
        return true;
    int lines, sections;
    size_t bytes;
    meaningSize(&lines, &sections, &bytes);
    failRun(iniTooSlow, 0, "about %.0f seconds: each entry it sets makes it read the file from the top, "
            "comparing names at each of its %d section headers (%lu bytes of names)", ns / 1e9, sections,
            (unsigned long)bytes);
    return false;
}

// Plan the update: a work copy of the INI file, which must be there, be
// UTF-8 for the library to keep it, and be within csvtoini's limits; its
// meaning taken; what the update costs the library. False, the run failed,
// if not.
static bool planUpdate()
{
    up.touched = false;
    up.work = {programName, isWorkCopyOf, up.bytes, iniMaxBytes + 1, 0, false, nullptr, {}};
    if (!openWorkCopy(iniFile, &up.work)) {
        failRun(iniNoCopy, 0, "%s", up.work.why.text);
        return false;
    }
    up.bytes[up.work.len] = '\0';
    const char *e = iniEncodingProblem(up.bytes, up.work.len);
    size_t good = validUtf8(up.bytes, up.work.len);
    const char *limit = up.work.len > iniMaxBytes ? "1 MiB" : e || good < up.work.len ? nullptr : meaningLimit();
    // A run in the wrong folder, or while another program has moved the
    // file away for a moment, would make a file of the units alone.
    if (!up.work.existed)
        failRun(iniNotFound);
    else if (e)
        failRun(iniEncoding, 0, "%s", e);
    else if (limit)
        failRun(iniTooLarge, 0, "%s", limit);
    else if (good < up.work.len)
        failRun(iniNotUtf8, lineOf(up.bytes, good));
    bool ok = up.work.existed && !e && !limit && good == up.work.len;
    if (ok) {
        up.listEnd = meaningListEnd(unitNum);
        ok = wholeList() && namesKnown() && quickEnough();
    }
    if (!ok)
        discardWorkCopy();
    return ok;
}

void MemToIni()
{
    // Without units there is nothing to set and nothing is written.
    if (unitNum == 0 || !planUpdate())
        return;
    bool ok = loadOriginal() && resultFits() && separateSections();
    if (ok)
        eachSet(up.listEnd, setOne);
    if (ok && up.touched)
        ok = saveWorkCopy() && passes(checkCopy(up.saved, up.savedLen, up.listEnd));
    if (!ok) {
        set_config_file(up.work.name);   // nothing unsaved is left for the shutdown
        discardWorkCopy();
    } else if (!up.touched) {
        discardWorkCopy();   // the file holds the sheet's units already
    } else if (WorkResult r = commitWorkCopy(&up.work)) {
        failRun(r == workTargetChanged ? iniChanged : iniNoReplace, 0, "%s", up.work.why.text);
    }
}
