// The INI writer: sets each unit's entry in "unitnames" and the keys of its
// section whose values differ from the game's reading of them, and ends the
// list after the last unit. The library works on the parts of the file that
// the update touches alone: each header of the list or of a unit's section
// and the lines up to the next header. It loads them from a work copy, sets
// the entries and saves them; each part it saved goes back where it stood,
// in the file's own line ends, and new sections go to the end. Every other
// byte of the file stays as it was. The copy replaces the file only when
// the parts, read back, mean what they meant but for exactly those entries.
#include "platform.h"
#include "update.h"

#include <allegro.h>
#include <stdio.h>
#include <string.h>

// The line that stands between the parts in the library's copy: a comment,
// which the library keeps as it stands, that no file of text holds.
static const char mark[] = "#\x01 valdra-units part \x01";
// The parts, between marks, each with an empty line after it, so that the
// library files a section's new entries inside its first part.
const size_t partsSize = iniReadMaxBytes + (sizeof mark + 4) * (meaningPartsMost + 1);
// The parts as the library saves them: "key = value" for a line as short as
// "k", CR LF on Windows, and the units' entries besides.
const size_t savedMaxBytes = 3 * partsSize;
// The longest update csvtoini makes: each set walks the parts, and at more
// than about this the user would wait too long.
constexpr double updateMaxNs = 3e9;
static_assert(updateMaxNs == 3e9, "the message of iniTooSlow says 3 seconds");

// The sets that the update makes: how many, and the folded names of the
// sections it makes them in.
struct SetsIn {
    int count;
    char sections[maxUnits + 1][foldedSize];
    int sectionCount;
};

// All the state of one update.
static struct {
    char bytes[iniReadMaxBytes + 2];     // the file as it was, a byte more to tell it is too large, and a NUL
    char parts[partsSize + 1];           // the parts the update touches, between marks, and a NUL
    size_t partsLen;                     // bytes of it in use
    int partLine[meaningPartsMost + 1];  // the line of parts on which each part's header stands
    const MeaningPart *part;             // the parts, where they stand in the file
    int partCount;
    char saved[savedMaxBytes + 2];       // the parts as the library saved them, and a NUL
    size_t savedLen;                     // bytes of it in use
    char result[iniReadMaxBytes + 1];    // the updated file
    size_t resultLen;                    // bytes of it in use
    bool resultFull;                     // it would pass iniReadMaxBytes
    WorkCopy work;                       // the work copy: its name, the bytes read, what went wrong
    int listEnd;                         // the list's end in the file as it was, from the table's last row
    int listLength;                      // the list's length, from its first entry
    SetsIn sets;                         // the entries the update sets or removes
    TableFolded table;                   // the sections it touches, for the filter
} up;

// The sections the update touches, the list's and the rows', with every
// entry in them; table is their TableFolded.
static MeaningKeep keepTouched(void *table, const char *section, const char *)
{
    const TableFolded *t = (const TableFolded *)table;
    if (strcmp(section, t->list) == 0)
        return keepValue;
    for (int u = 0; u < unitNum; u++)
        if (strcmp(section, t->unit[u]) == 0)
            return keepValue;
    return keepNot;
}

// Append the n bytes at p to the parts.
static void addToParts(const char *p, size_t n)
{
    memcpy(up.parts + up.partsLen, p, n);
    up.partsLen += n;
}

// Find the parts of the file that the update touches and copy them,
// between marks, into up.parts; false, the run failed, if the file has more
// of them than the programs hold, or the meaning did not fit.
static bool takeParts()
{
    foldTable(&up.table);
    int line;
    if (takeMeaning(0, up.bytes, up.work.len, keepTouched, &up.table, &line) != meaningTaken) {
        failRun(iniWouldChange, line, "the sections it sets hold more than csvtoini holds");
        return false;
    }
    up.partCount = meaningParts(&up.part);
    if (up.partCount > meaningPartsMost) {
        failRun(iniWouldChange, 0, "[unitnames] and the units' sections stand in more than %d places", meaningPartsMost);
        return false;
    }
    up.partsLen = 0;
    for (int i = 0, at = 1; i <= up.partCount; i++) {
        addToParts(mark, sizeof mark - 1);
        addToParts("\n", 1);
        if (i == up.partCount)
            break;
        const MeaningPart &p = up.part[i];
        up.partLine[i] = ++at;
        addToParts(up.bytes + p.start, p.end - p.start);
        at += lineOf(up.bytes + p.start, p.end - p.start) - 1;
        if (lineEndAt(up.bytes + p.end - 1, up.bytes + p.end) == 0) {
            addToParts("\n", 1);
            at++;
        }
        addToParts("\n", 1);
        at++;
    }
    up.parts[up.partsLen] = '\0';
    return true;
}

// The line of the file that line n of the parts is, for a message.
static int fileLine(int n)
{
    int i = 0;
    while (i + 1 < up.partCount && up.partLine[i + 1] <= n)
        i++;
    return up.partCount && n >= up.partLine[0] ? up.part[i].line + n - up.partLine[i] : 0;
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

// The line end of the line that begins at p, end - p bytes left; null if it
// has none.
static const char *lineEndOf(const char *p, const char *end, size_t *n)
{
    size_t stop, next = meaningNextLine(p, 0, end - p, &stop);
    *n = next - stop;
    return *n ? p + stop : nullptr;
}

// Count a set in the SetsIn, and note its section.
static void countSet(void *sets, const char *section, const char *, const char *)
{
    SetsIn &in = *(SetsIn *)sets;
    char folded[foldedSize];
    in.count++;
    if (!meaningFoldedLookup(section, folded))
        folded[0] = '\0';
    for (int i = 0; i < in.sectionCount; i++)
        if (strcmp(in.sections[i], folded) == 0)
            return;
    if (in.sectionCount <= maxUnits)
        strcpy(in.sections[in.sectionCount++], folded);
}

// True if the update sets an entry in the section of the part that begins
// at p, end - p bytes: only such parts take the library's save; the others
// keep their bytes.
static bool partSet(const char *p, const char *end)
{
    char folded[foldedSize];
    size_t n;
    const char *eol = lineEndOf(p, end, &n);
    if (!meaningHeaderFolded(p, (eol ? eol : end) - p, folded))
        return true;
    for (int i = 0; i < up.sets.sectionCount; i++)
        if (strcmp(up.sets.sections[i], folded) == 0)
            return true;
    return false;
}

// Fail the run with the verdict's problem, if it has one, its line made the
// file's.
static bool passes(const CopyVerdict &v, bool lineOfParts)
{
    if (v.problem != problemCount)
        failRun(v.problem, lineOfParts ? fileLine(v.line) : v.line, "%s", v.detail);
    return v.problem == problemCount;
}

// Have the library load the parts from the work copy. Whatever it held
// unsaved goes first into the copy, which is then overwritten. False, the
// run failed, if that fails.
static bool loadParts()
{
    set_config_file(up.work.name);
    if (!writeWorkCopy(up.parts, up.partsLen))
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
            passes(checkResave(up.parts, up.partsLen, up.saved, up.savedLen), true);
    }
    passes(v, true);
}

// True if the saved update means what it should; else the run fails saying
// why.
static bool copyPasses()
{
    CopyVerdict v = checkCopy(up.saved, up.savedLen, up.listEnd);
    if (v.problem != problemCount)
        failCopy(v);
    return v.problem == problemCount;
}

// True if the last line of the n bytes at p is empty (or there is none), as
// the library ends lines; *ended says whether it has a line end.
static bool lastLineEmpty(const char *p, size_t n, bool *ended)
{
    const char *end = p + n, *eol;
    size_t len = 0, eolLen = 1;
    for (; p < end && (eol = lineEndOf(p, end, &eolLen)); p = eol + eolLen)
        len = eol - p;
    *ended = p == end;
    return *ended && len == 0;
}

// Append the n bytes at p to the result; false if they pass its room.
static bool addToResult(const char *p, size_t n)
{
    up.resultFull = up.resultFull || n > iniReadMaxBytes - up.resultLen;
    if (up.resultFull)
        return false;
    memcpy(up.result + up.resultLen, p, n);
    up.resultLen += n;
    return true;
}

// Append the saved lines [p, end) to the result, each ended with the n
// bytes at eol; false if they do not fit.
static bool addLines(const char *p, const char *end, const char *eol, size_t n)
{
    bool ok = true;
    while (ok && p < end) {
        const char *q = (const char *)memchr(p, '\n', end - p);
        const char *stop = q ? q : end;
        size_t len = stop - p - (stop > p && stop[-1] == '\r');
        ok = addToResult(p, len) && addToResult(eol, n);
        p = q ? q + 1 : end;
    }
    return ok;
}

// The start of the line after the mark that is at or after p, before end;
// null if there is none.
static const char *afterMark(const char *p, const char *end)
{
    for (size_t n; p < end; p += strcspn(p, "\n") + 1)
        if (strncmp(p, mark, sizeof mark - 1) == 0 && lineEndOf(p, end, &n) == p + sizeof mark - 1)
            return p + sizeof mark - 1 + n;
    return nullptr;
}

// Put together the updated file from the file and the saved parts: each
// part in place of the one it was, without the empty line that followed it
// and in its header's line end, the new sections at the end, after an
// empty line. False, the run failed, if the saved parts are not what was
// loaded, or the file would pass 16 MiB.
static bool assemble()
{
    const char *end = up.saved + up.savedLen, *at = afterMark(up.saved, end);
    const char *lib = strstr(up.saved, "\r\n") ? "\r\n" : "\n";
    size_t libLen = strlen(lib), n, fileEndLen;
    // The file's own line end: its first, else the library's.
    const char *fileEnd = lineEndOf(up.bytes, up.bytes + up.work.len, &fileEndLen);
    if (!fileEnd)
        fileEnd = lib, fileEndLen = libLen;
    up.resultLen = 0;
    up.resultFull = false;
    bool ok = at != nullptr;
    size_t from = 0;
    for (int i = 0; ok && i < up.partCount; i++) {
        const MeaningPart &p = up.part[i];
        const char *next = afterMark(at, end), *eol = lineEndOf(up.bytes + p.start, up.bytes + p.end, &n);
        // The part ends in the empty line that followed it, and a mark.
        const char *stop = next ? next - (sizeof mark - 1) - libLen - libLen : nullptr;
        ok = stop && stop > at && stop[-1] == '\n' && strncmp(stop, lib, libLen) == 0 &&
             addToResult(up.bytes + from, p.start - from) &&
             (partSet(up.bytes + p.start, up.bytes + p.end) ? addLines(at, stop, eol ? eol : fileEnd, eol ? n : fileEndLen)
                                                            : addToResult(up.bytes + p.start, p.end - p.start));
        from = p.end;
        at = next;
    }
    ok = ok && addToResult(up.bytes + from, up.work.len - from);
    // The new sections, after an empty line that the library wrote.
    if (ok && at < end) {
        bool ended, empty = lastLineEmpty(up.result, up.resultLen, &ended);
        ok = strncmp(at, lib, libLen) == 0 && (ended || addToResult(fileEnd, fileEndLen)) &&
             (empty || addToResult(fileEnd, fileEndLen)) && addLines(at + libLen, end, fileEnd, fileEndLen);
    }
    if (!ok && !up.resultFull)
        failRun(iniWouldChange, 0, "the library did not save the sections it sets as they were loaded");
    else if (!ok)
        failRun(iniResultTooLarge);
    return ok;
}

// True if the file's list holds no more units than the table: an update
// of part of the list would lose the rest. Else the run fails saying why.
static bool wholeList()
{
    return listWhole(up.listLength = meaningListEnd(0));
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
    int lines, brackets;
    size_t bytes;
    meaningSize(&lines, &brackets, &bytes);
    failRun(iniTooSlow, 0, "about %.0f seconds: each entry it sets makes it read the list's and the units' "
            "sections from the top, %d lines, and measure the names of %d lines that begin with '[' (%lu bytes)",
            ns / 1e9, lines, brackets, (unsigned long)bytes);
    return false;
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
    bool ok = up.work.existed && iniAdmitted(up.bytes, up.work.len) && takeParts();
    if (ok && takeMeaning(0, up.parts, up.partsLen) != meaningTaken) {
        failRun(iniWouldChange, 0, "the sections it sets hold more than csvtoini holds");
        ok = false;
    }
    if (ok) {
        takePlan();
        up.listEnd = meaningListEnd(unitNum);
        up.sets.count = up.sets.sectionCount = 0;
        eachSet(up.listEnd, countSet, &up.sets);
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
    // The file holds the sheet's units already.
    if (up.sets.count == 0) {
        discardWorkCopy();
        return;
    }
    bool ok = loadParts();
    if (ok)
        eachSet(up.listEnd, setOne, nullptr);
    ok = ok && saveWorkCopy() && copyPasses() && assemble() && writeWorkCopy(up.result, up.resultLen);
    if (!ok) {
        set_config_file(up.work.name);   // nothing unsaved is left for the shutdown
        discardWorkCopy();
    } else if (WorkResult r = commitWorkCopy(&up.work)) {
        failRun(r == workTargetChanged ? iniChanged : iniNoReplace, 0, "%s", up.work.why.text);
    }
}
