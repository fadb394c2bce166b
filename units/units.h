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
const size_t sheetMaxBytes = 4u << 20; // the largest sheet csvtoini reads
// The sheet as UTF-8: a byte of Windows-1252 or two of UTF-16 may become
// three bytes of UTF-8.
const size_t sheetTextSize = 3 * sheetMaxBytes;

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
extern bool runFailed;                      // the run failed and said why

// Store name into unitName[unit], cut to fit without splitting a UTF-8
// character; len is the name's length in bytes.
void storeName(int unit, const char *name, size_t len);

// v clamped to the range of int.
int clampInt(long long v);

// Write the unit key of row unit ("unit" and the row in decimal) into key.
void unitKey(char key[unitKeySize], int unit);

// True if the library keeps name, as it stands, as a section header and as
// the value of a list entry: no blank (as the library counts blanks) anywhere,
// no '=', '#' or ']', no '[' in front. Name must be valid UTF-8.
bool keepableName(const char *name);

// Length of the longest start of [p, p + n) that is valid UTF-8 without a
// NUL byte; n if all of it is.
size_t validUtf8(const char *p, size_t n);

// The ways a run can fail; each has its message in one table.
enum Problem {
    libraryStart,
    sheetUnreadable, sheetTooLarge, sheetBadUtf16, sheetNoHeader,
    sheetNoColumn, sheetTwoColumns, sheetOpenQuote, rowNul, rowNoName,
    nameBlankEnd, nameNoHeader,
    iniNoCopy, iniNotUtf8, iniSaveFailed, iniWouldChange, iniCannotPlace,
    iniChanged, iniNoReplace,
    iniUnreadable, sheetNotWritten,
    problemCount
};

// Mark the run failed and, for its first failure only, say on standard
// error what went wrong, where (line 0: no line) and that the program's
// output file was not changed. detail fills the message's %s, if it has one.
void failRun(Problem p, int line = 0, const char *detail = "");

// Show msg, one line ending in a newline, where the user will see it.
void tellUser(const char *msg);

// Start the library without a display, run reader then writer, shut the
// library down; the result is the process exit status. program and output
// (the file the writer changes) name the run in its messages.
int runConversion(const char *program, const char *output, void (*reader)(), void (*writer)());

// How reading a whole input file ended.
enum FileRead { fileRead, fileMissing, fileFailed, fileTooLarge };

// Read the file path, or the file it links to, whole into buf, at most cap
// bytes, and set *len. Only a regular file is read: anything else, or an
// error, gives fileFailed with *why saying what. A FIFO never blocks it.
FileRead readWholeFile(const char *path, char *buf, size_t cap, size_t *len, const char **why);

// The work copy through which a writer replaces its output file whole.
// openWorkCopy finds the file (or the file it links to), which must be a
// regular file or absent, locks it against other runs for the whole update,
// reads its bytes into bytes (cap bytes at most, *len set) unless bytes is
// null, and makes an empty work file beside it with its mode, group and,
// where allowed, owner; it returns the work file's name, or null with *why.
// commitWorkCopy puts the work file in place of the file unless the file
// changed meanwhile; discardWorkCopy removes it. Either ends the update and
// leaves no work file.
enum WorkResult { workDone, workFailed, workTargetChanged };
const char *openWorkCopy(const char *file, char *bytes, size_t cap, size_t *len, const char **why);
WorkResult commitWorkCopy(const char **why);
void discardWorkCopy();

void iniToMem();
void MemToIni();
void csvToMem();
void memToCsv();

#endif
