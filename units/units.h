// The unit table that every conversion passes through, the column table that
// names its values, and the four conversion routines.
#ifndef UNITS_H
#define UNITS_H

#include <stddef.h>

const int maxUnits = 100;              // rows of the unit table
const int statCount = 17;              // values per unit, one per column
const int nameSize = 60;               // bytes per name, its NUL included
const int iniKeyCount = 15;            // keys per unit section in the INI file
const int unitKeySize = 16;            // "unit" and a decimal int, NUL included

extern const char iniFile[];           // "valdra.ini", in the working folder
extern const char csvFile[];           // "valdra.csv", in the working folder
extern const char listSection[];       // "unitnames": the INI list of units

// One column of a unit's row: its caption in the sheet, its key in the INI
// file (0 where the value is packed into another column's key) and the value
// a unit takes when its section lacks that key.
struct Column {
    const char *caption;
    const char *key;
    int fallback;
};

// The three can-hit columns share the INI key "canhit", which sits on the
// first of them and packs them as land 1, air 2, sea 4.
const int colHitLand = 4;
const int colHitAir = 5;
const int colHitSea = 6;

// The column table, in row order: the sheet's captions, the INI keys in the
// order they are read and written, and the defaults for keys a section lacks.
inline constexpr Column statName[] = {
    {"Move", "move", 0},        {"Cost", "price", 0},
    {"R Min", "rangemin", 0},   {"R Max", "rangemax", 0},
    {"H Land", "canhit", 0},    {"H Air", nullptr, 0},
    {"H Sea", nullptr, 0},      {"A Gun", "attack0", 0},
    {"A Fire", "attack1", 0},   {"A Bomb", "attack2", 0},
    {"D Gun", "resist0", 0},    {"D Fire", "resist1", 0},
    {"D Bomb", "resist2", 0},   {"Crimson", "isarmy1", 1},
    {"Cobalt", "isarmy2", 1},   {"Pine", "isarmy3", 1},
    {"Tech", "techlevel", 2},
};

constexpr int keyedColumns()
{
    int n = 0;
    for (const Column &c : statName)
        n += c.key != nullptr;
    return n;
}

static_assert(sizeof statName / sizeof statName[0] == statCount,
              "one column table entry per value");
static_assert(keyedColumns() == iniKeyCount, "fifteen INI keys per unit");

extern int unitNum;                         // valid rows: 0 .. unitNum - 1
extern char unitName[maxUnits][nameSize];   // row i's name, NUL-terminated
extern int uStat[maxUnits][statCount];      // row i's values, by column
extern bool runFailed;                      // a writer could not do its job

// Store name into unitName[unit], cut to fit without splitting a UTF-8
// character; len is the name's length in bytes.
void storeName(int unit, const char *name, size_t len);

// v clamped to the range of int.
int clampInt(long long v);

// Write the unit key of row unit ("unit" and the row in decimal) into key.
void unitKey(char key[unitKeySize], int unit);

// Start the library without a display, run reader then writer, shut the
// library down; the result is the process exit status.
int runConversion(void (*reader)(), void (*writer)());

// The INI writer's work copy of the INI file, beside the file it replaces.
// openWorkCopy makes the copy and points the library at it; saveWorkCopy has
// the library save it and load it again; commitWorkCopy puts it in place of
// the INI file; discardWorkCopy removes it. The first three report failure
// by false; after a failed openWorkCopy or commitWorkCopy no copy is left.
bool openWorkCopy();
bool saveWorkCopy();
bool commitWorkCopy();
void discardWorkCopy();

void iniToMem();
void MemToIni();
void csvToMem();
void memToCsv();

#endif
