// The INI reader: the units listed in section "unitnames", each with the
// values of the section that bears its name. The file is read once, and its
// meaning taken line by line through the library, in time that grows with
// its length; the values are those the library's lookups give.
#include "meaning.h"
#include "platform.h"

#include <allegro.h>
#include <stdlib.h>
#include <string.h>

static char iniBytes[iniReadMaxBytes + 2];  // the file, a byte more to tell it is larger, and a NUL

// The list's entries, as far as list indexes go; beyond the table only
// whether they are there. table is the TableFolded of the list.
static MeaningKeep keepList(void *table, const char *section, const char *key)
{
    if (!key)
        return strcmp(section, ((TableFolded *)table)->list) == 0 ? keepValue : keepNot;
    int n = listIndex(key, listCountMost);
    return n < 0 ? keepNot : n <= maxUnits ? keepValue : keepPresence;
}

// The sections of the listed units, and in them the units' keys. table is
// the TableFolded of the units.
static MeaningKeep keepUnits(void *table, const char *section, const char *key)
{
    for (int u = 0; !key && u < unitNum; u++)
        if (strcmp(section, ((TableFolded *)table)->unit[u]) == 0)
            return keepValue;
    for (int col = 0; key && col < statCount; col++)
        if (firstOfKey(col) && ustricmp(key, statName[col].key) == 0)
            return keepValue;
    return keepNot;
}

// True if the meaning was taken whole; else the run fails naming the line
// where the memory ran out: a part of the file is never taken for the
// whole.
static bool taken(MeaningTaken t, int line)
{
    if (t == meaningTaken)
        return true;
    failRun(iniNoRoom, line);
    return false;
}

// True if the sheet is there: without an INI file it would be replaced by
// a sheet of no units.
static bool sheetThere()
{
    char byte;
    size_t n;
    Why why;
    return readWholeFile(csvFile, &byte, sizeof byte, &n, &why, true) != fileMissing;
}

// Read the list of units from the file's len bytes into unitName; false,
// the run failed, if it holds more units than the table or a name that the
// library cannot look up.
static bool readList(size_t len, TableFolded *table)
{
    unitNum = 0;
    foldTable(table);
    int line;
    Meaning file;
    if (!taken(takeMeaning(&file, iniBytes, len, keepList, table, &line), line))
        return false;
    // The list ends at the first entry that is missing or empty; a sheet of
    // part of it would lose the rest.
    int length = meaningListEnd(file, 0);
    if (!listWhole(length))
        return false;
    for (unitNum = 0; unitNum < length; unitNum++) {
        char key[unitKeySize];
        unitKey(key, unitNum);
        const char *name = meaningValue(file, listSection, key);
        size_t n = strlen(name);
        // The library finds no section by a longer name: the game reads
        // such a unit as all defaults, and the sheet would rename it.
        if (n > (size_t)nameMaxBytes) {
            Shown part = shown(name, n, nameShown);
            failRun(iniNameTooLong, 0, "%s, \"%.*s%s\",", key, part.bytes, name, part.more);
            unitNum = 0;
            return false;
        }
        storeName(unitNum, name, n);
    }
    return true;
}

// Read each listed unit's values from its section, defaults for the keys
// it lacks.
static bool readValues(size_t len, TableFolded *table)
{
    foldTable(table);
    int line;
    Meaning file;
    if (!taken(takeMeaning(&file, iniBytes, len, keepUnits, table, &line), line))
        return false;
    for (int u = 0; u < unitNum; u++)
        for (int col = 0; col < statCount; col++)
            if (firstOfKey(col)) {
                const char *text = meaningValue(file, unitName[u], statName[col].key);
                setFromKey(uStat[u], col, text ? gameInt(text) : statName[col].fallback);
            }
    return true;
}

bool iniToMem()
{
    size_t len;
    Why why;
    FileRead r = readWholeFile(iniFile, iniBytes, iniReadMaxBytes + 1, &len, &why);
    // Missing, the file is an empty list; but a sheet is not replaced by a
    // sheet of no units, so that a run in the wrong folder, or while another
    // program has moved the file away for a moment, loses nothing.
    if (r == fileMissing && !sheetThere())
        return true;
    if (r == fileMissing)
        failRun(iniMissing);
    else if (r == fileFailed || r == fileBusy)
        failRun(iniUnreadable, 0, "%s", why.text);
    if (r != fileRead && r != fileTooLarge)
        return false;
    iniBytes[len] = '\0';
    static TableFolded table;   // the headers the reader keeps, for its filters
    return iniAdmitted(iniBytes, len) && readList(len, &table) && readValues(len, &table);
}
