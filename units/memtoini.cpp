// The INI writer: sets each unit's entry in "unitnames" and the keys of its
// section whose values differ from the game's reading of them, and ends the
// list after the last unit. The library works on the parts of the file that
// the update touches alone: each header of the list or of a unit's section
// and the lines up to the next header. It loads them from a work copy, sets
// the entries and saves them; each part it saved goes back where it stood,
// in the file's own line ends, and new sections go to the end. Every other
// byte of the file stays as it was. The copy replaces the file only when
// the parts, read back, mean what they meant but for exactly those entries.
#include "parts.h"
#include "platform.h"
#include "update.h"

#include <allegro.h>
#include <stdio.h>
#include <string.h>

// All the state of one update.
static struct {
    char bytes[iniReadMaxBytes + 2];     // the file as it was, a byte more to tell it is too large, and a NUL
    Parts parts;                         // the parts the update touches
    char saved[savedMaxBytes + 2];       // the parts as the library saved them, and a NUL
    size_t savedLen;                     // bytes of it in use
    char result[iniReadMaxBytes + 1];    // the updated file
    size_t resultLen;                    // bytes of it in use
    WorkCopy work;                       // the work copy: its name, the bytes read, what went wrong
    Plan plan;                           // the update's plan, on the meaning of the parts
    int listLength;                      // the list's length, from its first entry
    SetsIn sets;                         // the entries the update sets or removes
    TableFolded table;                   // the sections it touches, for the filter
} up;

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

// Write the n bytes at p into the work copy, in place of what it holds;
// false, the run failed, if that fails.
static bool writeWorkCopy(const char *p, size_t n)
{
    FILE *f = fopen(up.work.name, "wb");
    int e = f ? 0 : errno;
    if (f && fwrite(p, 1, n, f) != n)
        e = errno ? errno : -1;
    if (f && fclose(f) != 0 && !e)
        e = errno ? errno : -1;
    if (e)
        failRun(iniNoCopy, 0, "%s", e > 0 ? ioError(e) : "a write failed");
    return !e;
}

// Set key of section to value, or remove it where value is null.
static void setOne(void *, const char *section, const char *key, const char *value)
{
    set_config_string(section, key, value);
}

// Count a set in the SetsIn, and note its section.
static void countSet(void *sets, const char *section, const char *, const char *)
{
    SetsIn &in = *(SetsIn *)sets;
    char folded[foldedSize];
    in.count++;
    if (!iniFoldedLookup(section, folded))
        folded[0] = '\0';
    for (int i = 0; i < in.sectionCount; i++)
        if (strcmp(in.sections[i], folded) == 0)
            return;
    if (in.sectionCount <= maxUnits)
        strcpy(in.sections[in.sectionCount++], folded);
}

// Fail the run with the verdict's problem, if it has one, its line made the
// file's.
static bool passes(const CopyVerdict &v, bool lineOfParts)
{
    if (v.problem != problemCount)
        failRun(v.problem, lineOfParts ? partsFileLine(&up.parts, v.line) : v.line, "%s", v.detail);
    return v.problem == problemCount;
}

// Let go of the library's configuration: whatever it holds unsaved goes
// into the work copy, and it loads nothing from there, since the copy may
// hold a save of lines that the library cannot load.
static void letGo()
{
    set_config_data("", 0);
}

// Have the library load the parts from the work copy. Whatever it held
// unsaved goes first into the copy, which is then overwritten; the parts
// are lines of the admitted file, which the library loads safely. False,
// the run failed, if that fails.
static bool loadParts()
{
    letGo();
    if (!writeWorkCopy(up.parts.text, up.parts.len))
        return false;
    set_config_file(up.work.name);
    return true;
}

// Fail the run with the problem of a saved update that does not mean what
// it should, v, or with a more precise one: the line that the library's save
// changes by itself, found by having it load the parts again and save them
// untouched.
static void failCopy(const CopyVerdict &v)
{
    if (loadParts()) {
        // Removing a key that no line can have changes nothing but has the
        // library save.
        set_config_string(nullptr, "no such key", nullptr);
        if (saveWorkCopy())
            passes(checkResave(up.parts.text, up.parts.len, up.saved, up.savedLen), true);
    }
    passes(v, true);
}

// True if the saved update means what it should; else the run fails saying
// why.
static bool copyPasses()
{
    CopyVerdict v = checkCopy(&up.plan, up.saved, up.savedLen);
    if (v.problem != problemCount)
        failCopy(v);
    return v.problem == problemCount;
}

// True if the file's list holds no more units than the table: an update
// of part of the list would lose the rest. Else the run fails saying why.
static bool wholeList()
{
    return listWhole(up.listLength = meaningListEnd(up.plan.file, 0));
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
            listed = (unitKey(key, n), strcmp(meaningValue(up.plan.file, listSection, key), unitName[u]) == 0);
        if (doubtful && !listed) {
            failRun(nameGuessed, unitLine[u], "%s", unitName[u]);
            return false;
        }
    }
    return true;
}

// Plan the update: a work copy of the INI file, which must be there and be
// UTF-8 for the library to keep it; the parts it touches and their meaning;
// what the update sets, and what that costs the library. False, the run
// failed, if not.
static bool planUpdate()
{
    up.work = {programName, up.bytes, iniReadMaxBytes + 1, 0, false, nullptr, {}};
    if (!openWorkCopy(iniFile, &up.work)) {
        failRun(iniNoCopy, 0, "%s", up.work.why.text);
        return false;
    }
    up.bytes[up.work.len] = '\0';
    // A run in the wrong folder, or while another program has moved the
    // file away for a moment, would make a file of the units alone.
    if (!up.work.existed)
        failRun(iniNotFound);
    foldTable(&up.table);
    bool ok = up.work.existed && iniAdmitted(up.bytes, up.work.len) &&
              takeParts(&up.parts, up.bytes, up.work.len, &up.table);
    Meaning parts;
    if (ok && takeMeaning(&parts, up.parts.text, up.parts.len) != meaningTaken) {
        failRun(iniWouldChange, 0, "the sections it sets hold more than csvtoini holds");
        ok = false;
    }
    if (ok) {
        takePlan(&up.plan, parts);
        up.sets.count = up.sets.sectionCount = 0;
        eachSet(&up.plan, countSet, &up.sets);
        ok = wholeList() && namesKnown() && quickEnough(&up.plan);
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
    // The file holds the sheet's units already.
    if (up.sets.count == 0) {
        discardWorkCopy();
        return;
    }
    bool ok = loadParts();
    if (ok)
        eachSet(&up.plan, setOne, nullptr);
    ok = ok && saveWorkCopy() && copyPasses() &&
         putBack(&up.parts, up.saved, up.savedLen, &up.sets, up.result, &up.resultLen) &&
         writeWorkCopy(up.result, up.resultLen);
    if (!ok) {
        letGo();   // nothing unsaved is left for the shutdown
        discardWorkCopy();
    } else if (WorkResult r = commitWorkCopy(&up.work)) {
        failRun(r == workTargetChanged ? iniChanged : iniNoReplace, 0, "%s", up.work.why.text);
    }
}
