// The unit table that every conversion passes through, the column table that
// names its values, and the four conversion routines.
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
const size_t sheetMaxBytes = 4u << 20; // the largest sheet csvtoini reads
// The largest INI file csvtoini updates. Each entry it sets makes the
// library walk the file from the top, so the time grows with the lines, and
// most with the section headers, at which the walk compares names: at these
// limits an update of 100 units takes a few seconds.
const size_t iniMaxBytes = 1u << 20;
const int iniMaxLines = 50000;
const int iniMaxSections = 5000;
// The saved copy of the INI file: the library writes "key = value" for a
// line as short as "k" and an end of line, CR LF on Windows: at most three
// times the bytes, and the units' entries besides.
const size_t iniSavedMaxBytes = 3 * iniMaxBytes + (64u << 10);
// An INI file's meaning: each line holds at most one section or entry. The
// copy may add the units' entries and sections; anything more than that is
// a change of meaning already.
const int meaningItems = iniMaxLines + 1;
const int meaningAfterItems = 4 * maxUnits * (statCount + 1);
const size_t meaningTextSize = 4 * iniMaxBytes;
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
extern const char *programName;             // "initocsv" or "csvtoini"

// Store name, len bytes and at most nameMaxBytes, into unitName[unit].
void storeName(int unit, const char *name, size_t len);

// name as a message shows it: its first 40 bytes or so and "...", if longer.
const char *shortName(const char *name);

// The line that byte offset at of text is on, lines ending in LF, CR LF or CR.
int lineOf(const char *text, size_t at);

// What is wrong with the encoding of an INI file that begins with the n
// bytes at p (a byte-order mark, or UTF-16), for a message; null if nothing.
const char *iniEncodingProblem(const char *p, size_t n);

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
    libraryStart, noTurn,
    sheetUnreadable, sheetTooLarge, sheetBadUtf16, sheetNotUtf8, sheetNoHeader,
    sheetNoColumn, sheetTwoColumns, sheetOpenQuote, rowNul, rowNoName,
    rowNotWhole, rowOutOfRange, rowNotFlag, rowSameSection,
    nameBlankEnd, nameNoHeader, nameTooLong, nameIsList,
    iniNoCopy, iniTooLarge, iniEncoding, iniNotUtf8, iniSaveFailed, iniWouldChange, iniCannotPlace,
    iniChanged, iniNoReplace,
    iniUnreadable, iniNameTooLong, sheetNotWritten,
    problemCount
};

// Mark the run failed and, for its first failure only, say on standard
// error what went wrong, where (line 0: no line) and that the program's
// output file was not changed. detail fills the message's %s, if it has one.
void failRun(Problem p, int line = 0, const char *detail = "");

// What went wrong with a write that left errno e, in words for the user.
const char *ioError(int e);

// Show msg, one line ending in a newline, where the user will see it.
void tellUser(const char *msg);

// Start the library without a display, run reader then writer, shut the
// library down; the result is the process exit status. program and output
// (the file the writer changes) name the run in its messages.
int runConversion(const char *program, const char *output, void (*reader)(), void (*writer)());

// Wait for this run's turns at valdra.ini and valdra.csv, which other runs
// on the same files, however they spell their paths, hold until they end;
// false with *why if that fails. endTurns lets the next run have them.
bool takeTurns(const char **why);
void endTurns();

// How reading a whole input file ended.
enum FileRead { fileRead, fileMissing, fileFailed, fileTooLarge };

// Read the file path, or the file it links to, whole into buf, at most cap
// bytes, and set *len. Only a regular file is read: anything else, or an
// error, gives fileFailed with *why saying what. A FIFO never blocks it.
FileRead readWholeFile(const char *path, char *buf, size_t cap, size_t *len, const char **why);

// The work copy through which a writer replaces its output file whole.
// openWorkCopy finds the file (or the file it links to), which must be a
// regular file or absent, locks it against other runs for the whole update,
// reads its bytes into bytes (cap bytes at most, *len set: a larger file
// fills them) unless bytes is null, and makes an empty work file beside it with its mode, group and,
// where allowed, owner; it returns the work file's name, or null with *why.
// commitWorkCopy puts the work file in place of the file unless the file
// changed meanwhile; discardWorkCopy removes it. Either ends the update and
// leaves no work file.
// A work copy of the file named base (its name, without a folder) is
// named base, a dot, the program, "-", six letters or digits and ".part".
// Each run that holds the file removes what earlier runs left behind.
const char workCopyEnd[] = ".part";
const int workCopyTag = 6;   // the letters or digits that make the name unique
bool isWorkCopyOf(const char *name, const char *base);

enum WorkResult { workDone, workFailed, workTargetChanged };
const char *openWorkCopy(const char *file, char *bytes, size_t cap, size_t *len, const char **why);
WorkResult commitWorkCopy(const char **why);
void discardWorkCopy();

// The meaning of INI text as the library reads it, for the file as it was
// (file 0) and its updated copy (file 1): its sections, and for each section
// and key the value that a lookup gives. Taking file 0 starts afresh; taking
// file 1 replaces an earlier file 1. Each line is handed to the library on
// its own, so the library's current configuration is replaced. The result
// says whether file 0 passes a limit; for file 1, meaningNoRoom means it has
// more new sections and entries than an update makes.
enum MeaningTaken { meaningTaken, meaningTooManyLines, meaningTooManySections, meaningNoRoom };
MeaningTaken takeMeaning(int file, const char *text, size_t len);

// In file 0: whether it has a header of section (a bare name, compared as
// the library compares names); the value a lookup of key in section gives
// (null: absent or empty); the key of the last entry in the part of section
// under its first header (null: there is none); whether an empty line ends
// that part before the next header, as the library needs to file a new
// entry of the section in it.
bool meaningHasSection(const char *section);
const char *meaningValue(const char *section, const char *key);
const char *meaningEndKey(const char *section);
bool meaningPartEnded(const char *section);

// Visit every section and entry of either file, those of file 0 first, each
// once, in the order of the file: visit(section, null, was, now) for a
// section, was and now non-null where it has a header; then
// visit(section, key, was, now) for an entry, with the values a lookup gives
// (null: absent or empty). section is as the library lists it, "[name]", or
// "" for the entries before the first header. False if a visit said false.
typedef bool (*MeaningVisit)(const char *section, const char *key, const char *was, const char *now);
bool walkMeanings(MeaningVisit visit);

void iniToMem();
void MemToIni();
void csvToMem();
void memToCsv();

#endif
