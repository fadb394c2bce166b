// The unit table that every conversion passes through, the column table that
// names its values, the helpers that readers and writers share, the four
// conversion routines and the one way a run fails.
#ifndef UNITS_H
#define UNITS_H

#include <stddef.h>

const int maxUnits = 100;              // rows of the unit table
const int statCount = 17;              // values per unit, one per column
// The longest name the library can look a section up by: it builds
// "[name]" in 256 bytes, its NUL included.
const int nameMaxBytes = 253;
const int nameSize = nameMaxBytes + 1; // bytes per name, its NUL included
const int iniKeyCount = 15;            // keys per unit section in the INI file
const int unitKeySize = 16;            // "unit" and a decimal int, NUL included
const int listCountMost = 25000;       // the longest list the programs count

extern const char iniFile[];           // "valdra.ini", in the working folder
extern const char csvFile[];           // "valdra.csv", in the working folder
extern const char listSection[];       // "unitnames": the INI list of units

// One column of a unit's row: its caption in the sheet, the INI key that
// holds it, the value a unit takes when its section lacks that key, its
// weight where several columns pack into one key (0: the key holds the
// value alone), and whether it says yes (1) or no (0). A packed key holds
// the sum of weight times value, each value 0 or 1; it is read by
// comparisons, highest weight first, as the game reads it, so that a sum
// past the weights sets every column.
struct Column {
    const char *caption;
    const char *key;
    int fallback;
    int weight;
    bool yesNo;
};

// The column table, in row order: the sheet's captions, the INI keys in the
// order they are read and written, and the defaults for keys a section lacks.
inline constexpr Column statName[] = {
    {"Move", "move", 0, 0, false},        {"Cost", "price", 0, 0, false},
    {"R Min", "rangemin", 0, 0, false},   {"R Max", "rangemax", 0, 0, false},
    {"H Land", "canhit", 0, 1, true},     {"H Air", "canhit", 0, 2, true},
    {"H Sea", "canhit", 0, 4, true},      {"A Gun", "attack0", 0, 0, false},
    {"A Fire", "attack1", 0, 0, false},   {"A Bomb", "attack2", 0, 0, false},
    {"D Gun", "resist0", 0, 0, false},    {"D Fire", "resist1", 0, 0, false},
    {"D Bomb", "resist2", 0, 0, false},   {"Crimson", "isarmy1", 1, 0, true},
    {"Cobalt", "isarmy2", 1, 0, true},    {"Pine", "isarmy3", 1, 0, true},
    {"Tech", "techlevel", 2, 0, false},
};

// True if columns a and b are stored under the same INI key.
constexpr bool sameKey(int a, int b)
{
    const char *p = statName[a].key, *q = statName[b].key;
    while (*p && *p == *q)
        p++, q++;
    return *p == *q;
}

// True if col is the first column stored under its key: the one through
// which the key is read and written.
constexpr bool firstOfKey(int col)
{
    for (int c = 0; c < col; c++)
        if (sameKey(c, col))
            return false;
    return true;
}

// True if the table is sound: the keys are 15; a key holds one column
// alone, or packs columns that say yes or no, whose weights are distinct
// powers of two listed lowest first, so that reading from the last to the
// first unpacks them.
constexpr bool columnsSound()
{
    int keys = 0;
    for (int col = 0; col < statCount; col++) {
        keys += firstOfKey(col);
        int w = statName[col].weight;
        if (w && !statName[col].yesNo)
            return false;
        for (int c = 0; c < col; c++)
            if (sameKey(c, col) && (w == 0 || statName[c].weight == 0 || statName[c].weight >= w))
                return false;
        if (w & (w - 1))
            return false;
    }
    return keys == iniKeyCount;
}

static_assert(sizeof statName / sizeof statName[0] == statCount, "one column table entry per value");
static_assert(columnsSound(), "fifteen INI keys, packed columns in rising weights");

extern int unitNum;                         // valid rows: 0 .. unitNum - 1
extern char unitName[maxUnits][nameSize];   // row i's name, NUL-terminated
extern int uStat[maxUnits][statCount];      // row i's values, by column
extern int unitLine[maxUnits];              // the sheet's line of row i, for messages; 0: none
extern bool unitGuessed[maxUnits];          // row i's name was decoded from a code page guessed
extern const char *programName;             // "initocsv" or "csvtoini"

// The value that the INI key of col holds for row: the column's value, or
// for a packed key the sum of its columns' weighted values, clamped to int.
int keyValue(const int *row, int col);

// Set the columns of row that col's key holds from the key's value v.
void setFromKey(int *row, int col, int v);

// The value that the text of an entry has for the game, as the library's
// get_config_int converts it on the game's 32-bit long: the text as ASCII
// cut to 63 characters, which is what the library hands strtol, converted
// saturating at the limits of 32 bits.
int gameInt(const char *text);

// True if name holds a byte beyond ASCII.
bool beyondAscii(const char *name);

// Store name, len bytes and at most nameMaxBytes, into unitName[unit].
void storeName(int unit, const char *name, size_t len);

// How much of the len bytes at text a message shows: at most most bytes,
// cut between characters, and "..." after a text that was cut.
struct Shown {
    int bytes;
    const char *more;
};
Shown shown(const char *text, size_t len, size_t most);
const size_t nameShown = 40;   // the bytes of a long name that a message shows

// Write the n bytes at p into the file name, in place of what it holds: 0
// if they are written whole, else the error that stopped it (-1: none
// said), which writeFailure puts in words.
int writeWhole(const char *name, const char *p, size_t n);
const char *writeFailure(int e);

// The byte-order mark that the n bytes at p begin with, if any.
enum ByteOrder { noMark, markUtf8, markUtf16Le, markUtf16Be };
ByteOrder byteOrderMark(const char *p, size_t n);
const size_t markUtf8Bytes = 3, markUtf16Bytes = 2;

// True if the n bytes of an INI file at p are text that the library keeps
// as it stands, and no more than the programs read: no byte-order mark,
// not UTF-16, UTF-8 without NUL bytes, no line that overruns the library's
// line buffer. Else the run fails saying why.
const size_t iniReadMaxBytes = 16u << 20;   // the largest INI file either program reads
bool iniAdmitted(const char *p, size_t n);

// True if a list in the INI file of length units is one the programs
// convert whole; else the run fails saying so: part of the list would lose
// the rest.
bool listWhole(int length);

// Write the unit key of row unit ("unit" and the row in decimal) into key.
void unitKey(char key[unitKeySize], int unit);

// The list index that key names as the library compares keys: "unit" and
// a number as unitKey writes it, in any case; -1 if none, or past most.
int listIndex(const char *key, int most);

// True if the library keeps name, as it stands, as a section header and as
// the value of a list entry: no blank (as the library counts blanks) anywhere,
// no '=', '#' or ']', no '[' in front. Name must be valid UTF-8.
bool keepableName(const char *name);

// Length of the longest start of [p, p + n) that is valid UTF-8 without a
// NUL byte; n if all of it is.
size_t validUtf8(const char *p, size_t n);

// The ways a run can fail; each has its message in one table.
enum Problem {
    libraryStart, noTurn,
    sheetUnreadable, sheetTooLarge, sheetBadUtf16, sheetNotUtf8, sheetNotText, sheetTooManyRows, sheetNoHeader,
    sheetNoColumn, sheetTwoColumns, sheetOpenQuote, rowNul, rowNoName,
    rowNotWhole, rowOutOfRange, rowNotFlag, rowSameSection, rowOneColumn, rowNoSeparator,
    nameBlankEnd, nameNoHeader, nameTooLong, nameOverrun, nameIsList, nameGuessed, sheetCodePage,
    iniNoCopy, iniTooSlow, iniEncoding, iniNotUtf8, iniOverrun, iniSaveFailed, iniLineEnds,
    iniWouldChange, iniResultTooLarge,
    iniChanged, iniNoReplace, iniNotFound,
    iniUnreadable, iniMissing, iniTooLargeToRead, iniNoRoom, iniListTooLong, iniNameTooLong, iniNoUnits,
    sheetNotWritten, sheetChanged,
    problemCount
};

// Fail the run with problem p and, for its first failure only, tell the
// user what went wrong, where (line 0: no line) and that the program's
// output file was not changed. The format and its arguments, if given, make
// the detail that fills the message's %s.
void failRun(Problem p, int line = 0);
void failRun(Problem p, int line, const char *format, ...) __attribute__((format(printf, 3, 4)));

// Start the library without a display, run reader and, if it succeeded,
// writer, shut the library down; the result is the process exit status.
// program and output (the file the writer changes) name the run in its
// messages.
int runConversion(const char *program, const char *output, bool (*reader)(), void (*writer)());

// The readers fill the unit table and say whether they succeeded; a reader
// that fails has said why. The writers write the table.
bool iniToMem();
bool csvToMem();
void MemToIni();
void memToCsv();

#endif
