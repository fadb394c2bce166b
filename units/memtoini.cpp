// The INI writer: sets each unit's entry in "unitnames" and the keys of its
// section whose values differ from the game's reading of them, and ends the
// list after the last unit. The library works on the spans of the file that
// the update touches alone: each header of the list or of a unit's section
// and the lines up to the next header. It loads them from a work copy and
// saves them as loaded, then with the entries set; the lines it set, added
// or removed go back where they stood, and new sections go to the end.
// Every other line of the file stays as it was, its line end included. The
// copy replaces the file only when the whole updated file, read as the game
// reads it, means what the file meant but for exactly those entries.
#include "cut.h"
#include "platform.h"
#include "update.h"

#include <allegro.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// The most bytes the library's save of the spans takes: "key = value" for a
// line as short as "k", CR LF on Windows, and the units' entries besides.
static size_t saveMaxBytes(size_t cutLen)
{
    return 3 * cutLen + (size_t)maxUnits * (iniKeyCount * 32 + nameSize + 32);
}

// All the state of one update.
static struct {
    char bytes[iniReadMaxBytes + 2];     // the file as it was, a byte more to tell it is too large, and a NUL
    Cut cut;                         // the spans the update touches
    char *kept, *saved;                  // the library's saves of the spans, as loaded and as set, NUL added
    size_t keptLen, savedLen;            // bytes of them in use
    char *result;                        // the updated file
    size_t resultLen;                    // bytes of it in use
    WorkCopy work;                       // the work copy: its name, the bytes read, what went wrong
    Plan plan;                           // the update's plan, on the meaning of the spans
    int listLength;                      // the list's length, from its first entry
    int setCount;                        // the entries the update sets or removes
    TableFolded table;                   // the sections it touches, for the filter
} update;

// Have the library save the work copy, and read the save into *text, of
// the run's, *len bytes and a NUL; false, saying why, if that fails. The
// library shows a failed save only in errno, and a failed write as EFAULT
// only, so a write of our own where its save stopped tells the cause: a full
// disk, a size limit.
static bool saveWorkCopy(char **text, size_t *len)
{
    errno = 0;
    flush_config_file();
    int e = errno;
    if (e == EFAULT) {
        static const char block[1 << 16] = {};
        FILE *f = fopen(update.work.name, "ab");
        errno = 0;
        bool wrote = f && fwrite(block, 1, sizeof block, f) == sizeof block && fflush(f) == 0;
        e = wrote ? 0 : errno;
        if (f)
            fclose(f);
        if (!e)
            e = -1;
    }
    size_t cap = saveMaxBytes(update.cut.len);
    *text = e ? nullptr : (char *)malloc(cap + 1);
    FileRead r = e ? fileFailed : !*text ? fileTooLarge
               : readWholeFile(update.work.name, *text, cap + 1, len, &update.work.why, true);
    if (r == fileRead) {
        (*text)[*len] = '\0';
        return true;
    }
    failRun(iniSaveFailed, 0, "%s", e ? writeFailure(e) : r == fileFailed ? update.work.why.text
            : r == fileMissing ? "another program removed it" : "it grew too large");
    return false;
}

// Write the n bytes at p into the work copy, in place of what it holds;
// false, the run failed, if that fails.
static bool writeWorkCopy(const char *p, size_t n)
{
    int e = writeWhole(update.work.name, p, n);
    if (e)
        failRun(iniNoCopy, 0, "%s", writeFailure(e));
    return !e;
}

// Set key of section to value, or remove it where value is null.
static void setOne(void *, const char *section, const char *key, const char *value)
{
    set_config_string(section, key, value);
}

// Count a set.
static void countSet(void *count, const char *, const char *, const char *)
{
    ++*(int *)count;
}

// Let go of the library's configuration: whatever it holds unsaved goes
// into the work copy, and it loads nothing from there, since the copy may
// hold a save of lines that the library cannot load.
static void letGo()
{
    set_config_data("", 0);
}

// Have the library load the spans from the work copy, and save them as it
// loaded them, and again with the update's entries set. Whatever it held
// unsaved goes first into the copy, which is then overwritten; the spans
// are lines of the admitted file, which the library loads safely. False,
// the run failed, if that fails.
static bool setCut()
{
    letGo();
    if (!writeWorkCopy(update.cut.text, update.cut.len))
        return false;
    set_config_file(update.work.name);
    // Removing a key that no line can have changes nothing but has the
    // library save.
    set_config_string(nullptr, "no such key", nullptr);
    if (!saveWorkCopy(&update.kept, &update.keptLen))
        return false;
    eachSet(&update.plan, setOne, nullptr);
    return saveWorkCopy(&update.saved, &update.savedLen);
}

// True if the updated file means what the file meant, read whole as the
// game reads it, but for the entries the update sets and removes; else the
// run fails naming what would change.
static bool wholeFilePasses()
{
    CopyVerdict v = checkWhole(&update.plan, update.result, update.resultLen);
    if (v.problem != problemCount)
        failRun(v.problem, v.line, "%s", v.detail);
    return v.problem == problemCount;
}

// True if the file's list holds no more units than the table: an update
// of part of the list would lose the rest. Else the run fails saying why.
static bool wholeList()
{
    return listWhole(update.listLength = meaningListEnd(update.plan.file, 0));
}

// True if no row's name beyond ASCII was decoded from a guessed code page
// unless the file lists a unit of that name: a misread letter would make a
// new unit of an old one. Else the run fails naming the row.
static bool namesKnown()
{
    char key[unitKeySize];
    for (int u = 0; u < unitNum; u++) {
        bool doubtful = unitGuessed[u] && beyondAscii(unitName[u]), listed = false;
        for (int n = 0; doubtful && !listed && n < update.listLength; n++)
            listed = (unitKey(key, n), strcmp(meaningValue(update.plan.file, listSection, key), unitName[u]) == 0);
        if (doubtful && !listed) {
            failRun(nameGuessed, unitLine[u], "%s", unitName[u]);
            return false;
        }
    }
    return true;
}

// Plan the update: a work copy of the INI file, which must be there and be
// UTF-8 for the library to keep it; its meaning and the spans it touches;
// what the update sets, and what that costs. False, the run failed, if not.
static bool planUpdate()
{
    update.work = {programName, update.bytes, iniReadMaxBytes + 1, 0, false, nullptr, {}};
    if (!openWorkCopy(iniFile, &update.work)) {
        failRun(iniNoCopy, 0, "%s", update.work.why.text);
        return false;
    }
    update.bytes[update.work.len] = '\0';
    // A run in the wrong folder, or while another program has moved the
    // file away for a moment, would make a file of the units alone.
    if (!update.work.existed)
        failRun(iniNotFound);
    foldTable(&update.table);
    bool ok = update.work.existed && iniAdmitted(update.bytes, update.work.len);
    Meaning file;
    int line;
    if (ok && takeMeaningWithSpans(&file, update.bytes, update.work.len, touchedSpans, &update.table, &line) != meaningTaken) {
        failRun(iniNoRoom, line);
        ok = false;
    }
    ok = ok && takeCut(&update.cut, update.bytes, update.work.len, file, &update.table);
    if (ok) {
        takePlan(&update.plan, file);
        update.setCount = 0;
        eachSet(&update.plan, countSet, &update.setCount);
        ok = wholeList() && namesKnown() && withinLimits(&update.plan, update.cut.len, update.work.len);
    }
    if (!ok)
        discardWorkCopy();
    return ok;
}

void MemToIni()
{
    // Without units there is nothing to set and nothing is written.
    if (unitNum == 0)
        return;
    bool planned = planUpdate();
    if (planned && update.setCount == 0) {
        discardWorkCopy();   // the file holds the sheet's units already
    } else if (planned && setCut() &&
               putBack(&update.cut, update.kept, update.keptLen, update.saved, update.savedLen, &update.result, &update.resultLen) &&
               wholeFilePasses() && writeWorkCopy(update.result, update.resultLen)) {
        if (WorkResult r = commitWorkCopy(&update.work))
            failRun(r == workTargetChanged ? iniChanged : iniNoReplace, 0, "%s", update.work.why.text);
    } else if (planned) {
        letGo();   // nothing unsaved is left for the shutdown
        discardWorkCopy();
    }
    dropCut(&update.cut);
    free(update.kept);
    free(update.saved);
    free(update.result);
    update.kept = update.saved = update.result = nullptr;
}
