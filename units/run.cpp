// The run of one conversion, and the one place where a run fails: it sets the
// exit status and tells the user why, in one line.
#include "units.h"
#include "platform.h"
#include "iniline.h"

#include <allegro.h>
#include <stdarg.h>

const char *programName = "";      // the running program, for its messages and work copies
static const char *output = "";    // the file its writer changes
static int exitStatus;             // 0 until the run fails
static char told[1024];            // what the user is told once the run has let go of the files

// Each problem's file (none for the library) and what is wrong, with %s for
// the detail where it has one; in the order of enum Problem.
static constexpr struct {
    Problem problem;
    const char *file;
    const char *text;
} problems[] = {
    {libraryStart, nullptr, "the Allegro library did not start: %s"},
    {noTurn, nullptr, "%s"},
    {sheetUnreadable, csvFile, "cannot be read: %s"},
    {sheetTooLarge, csvFile, "is larger than 4 MiB"},
    {sheetBadUtf16, csvFile, "begins as UTF-16 but is not valid UTF-16"},
    {sheetNotUtf8, csvFile, "a byte here is not UTF-8, though the sheet begins as UTF-8"},
    {sheetNotText, csvFile, "it is neither UTF-8 nor text in this system's code page; save it as \"CSV UTF-8\""},
    {sheetTooManyRows, csvFile, "a 101st unit: the game's list is converted whole, of 100 units at most"},
    {sheetNoHeader, csvFile, "not a header: it names none of the columns Name, Move, ... Tech"},
    {sheetNoColumn, csvFile, "the header has no column \"%s\""},
    {sheetTwoColumns, csvFile, "the header has the column \"%s\" twice"},
    {sheetOpenQuote, csvFile, "a quoted field begins here and is never closed"},
    {rowNul, csvFile, "the row holds a NUL byte"},
    {rowNoName, csvFile, "empty name, but the row holds values"},
    {rowNotWhole, csvFile, "%s, not a whole number"},
    {rowOutOfRange, csvFile, "%s, beyond -2147483648 to 2147483647"},
    {rowNotFlag, csvFile, "%s, not 0 or 1"},
    {rowSameSection, csvFile, "%s, but with other values"},
    {rowOneColumn, csvFile, "the row is one quoted field that holds the sheet's separator, %s: the sheet was saved "
                            "in one column; open it split at that separator, then save it again"},
    {rowNoSeparator, csvFile, "\"%s\" stands without a separator, so it is no row; give the unit its values, "
                              "or remove the line"},
    {nameBlankEnd, csvFile, "the name \"%s\" begins or ends with a blank"},
    {nameNoHeader, csvFile, "the name \"%s\" cannot be a section header: it holds a blank, "
                            "'=', '#' or ']', or begins with '['"},
    {nameTooLong, csvFile, "the name \"%s\" is longer than 253 bytes, which the library cannot look up"},
    {nameOverrun, csvFile, "the name \"%s\" would make its line in [unitnames] overrun the line buffer of the "
                           "library, and the game's; shorten it to at most 246 bytes"},
    {nameIsList, csvFile, "the name \"%s\" is that of the list of units, [unitnames]"},
    {nameGuessed, csvFile, "the name \"%s\" is no unit's in valdra.ini, and the sheet is not UTF-8, so its "
                           "letters may be misread; save the sheet as \"CSV UTF-8\""},
    {sheetCodePage, csvFile, "the name \"%s\" has no place in the code page the sheet is saved in; save it as "
                             "\"CSV UTF-8\", or remove it to begin a new one"},
    {iniNoCopy, iniFile, "cannot be updated: %s"},
    {iniTooSlow, iniFile, "updating it would take %s; csvtoini updates what takes at most 3 seconds: keep "
                          "fewer or shorter lines in the file, above all in the list's and the units' sections"},
    {iniEncoding, iniFile, "%s; save it as UTF-8 without a byte-order mark"},
    {iniNotUtf8, iniFile, "a byte here is not UTF-8 or is NUL, which the library would change"},
    {iniOverrun, iniFile, "the character at byte %s of this line reaches the end of the library's line buffer, "
                          "and the library, like the game, would write past it; lengthen or shorten the line before it "
                          "by a few bytes (blanks after \"=\" change no value)"},
    {iniSaveFailed, iniFile, "the library could not save the work copy: %s"},
    {iniLineEnds, iniFile, "its line ends mix CR and LF so that a line the update writes would join the empty line "
                           "after it; save it with one kind of line end"},
    {iniWouldChange, iniFile, "updated, it would mean something else: %s"},
    {iniResultTooLarge, iniFile, "the updated file would have more than 16 MiB, the most the programs read; remove "
                                 "sections the game no longer reads, such as those of renamed units"},
    {iniChanged, iniFile, "was moved or changed by another program while csvtoini ran"},
    {iniNoReplace, iniFile, "cannot be replaced by the work copy: %s"},
    {iniNotFound, iniFile, "not found; to begin a new one, create an empty valdra.ini"},
    {iniUnreadable, iniFile, "cannot be read: %s"},
    {iniMissing, iniFile, "not found in this folder; run initocsv where valdra.ini is"},
    {iniTooLargeToRead, iniFile, "it has more than 16 MiB, the most the programs read"},
    {iniNoRoom, iniFile, "the system has too little memory to read it"},
    {iniListTooLong, iniFile, "[unitnames] lists %s units, more than the 100 that the programs convert whole"},
    {iniNameTooLong, iniFile, "the name of %s is longer than 253 bytes, which the library cannot look up"},
    {iniNoUnits, iniFile, "it lists no units, but valdra.csv holds unit rows, which a sheet of none would "
                          "replace; to begin the sheet anew, remove valdra.csv"},
    {sheetNotWritten, csvFile, "cannot be written: %s"},
    {sheetChanged, csvFile, "was moved or changed by another program while initocsv ran"},
};

constexpr bool inProblemOrder()
{
    for (int i = 0; i < problemCount; i++)
        if (problems[i].problem != i)
            return false;
    return sizeof problems / sizeof problems[0] == problemCount;
}
static_assert(inProblemOrder(), "one message per problem, in enum order");
static_assert(nameMaxBytes == 253, "the messages of nameTooLong and iniNameTooLong say 253");
static_assert(iniLineHeld - sizeof "unit99 = " + 1 == 246, "the message of nameOverrun says 246");
static_assert(iniReadMaxBytes == 16u << 20, "the messages of iniTooLargeToRead and iniResultTooLarge say 16 MiB");

// Copy text into out, size bytes, with control characters written as C
// escapes, so that a message stays one line.
static void escape(char *out, size_t size, const char *text)
{
    size_t n = 0;
    for (const unsigned char *p = (const unsigned char *)text; *p && n + 5 < size; p++)
        if (*p == '\n' || *p == '\r' || *p == '\t')
            n += snprintf(out + n, size - n, "\\%c", *p == '\n' ? 'n' : *p == '\r' ? 'r' : 't');
        else if (*p < 0x20 || *p == 0x7F)
            n += snprintf(out + n, size - n, "\\x%02X", *p);
        else
            out[n++] = (char)*p;
    out[n] = '\0';
}

// Fail the run with problem p at line, detail filling the message's %s.
static void failWith(Problem p, int line, const char *detail)
{
    if (exitStatus != 0)
        return;
    exitStatus = p == libraryStart ? 2 : 1;
    char where[64] = "", shown[400], what[768];
    escape(shown, sizeof shown, detail);
    if (problems[p].file && line > 0)
        snprintf(where, sizeof where, " %s line %d:", problems[p].file, line);
    else if (problems[p].file)
        snprintf(where, sizeof where, " %s:", problems[p].file);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    snprintf(what, sizeof what, problems[p].text, shown);
#pragma GCC diagnostic pop
    // initocsv reads the sheet it refreshes as csvtoini does, and stops where
    // csvtoini would: removing the sheet begins a new one.
    bool sheetRead = output == csvFile && p >= sheetUnreadable && p <= nameGuessed;
    snprintf(told, sizeof told, "%s:%s %s%s; %s not changed\n", programName, where, what,
             sheetRead ? "; to begin the sheet anew, remove valdra.csv" : "", output);
}

void failRun(Problem p, int line)
{
    failWith(p, line, "");
}

void failRun(Problem p, int line, const char *format, ...)
{
    char detail[512];
    va_list args;
    va_start(args, format);
    vsnprintf(detail, sizeof detail, format, args);
    va_end(args);
    failWith(p, line, detail);
}

int runConversion(const char *name, const char *file, bool (*reader)(), void (*writer)())
{
    programName = name;
    output = file;
    // The display-less driver: a full start needs a display, and without one
    // the library would not even load the INI file, so that a save would
    // replace it with only what was set.
    if (install_allegro(SYSTEM_NONE, &errno, atexit) != 0) {
        failRun(libraryStart, 0, "%s", allegro_error);
    } else {
        Why why;
        if (!takeTurns(iniFile, csvFile, &why))
            failRun(noTurn, 0, "%s", why.text);
        else if (reader())
            writer();
        allegro_exit();
        endTurns();
    }
    // A message box waits for the user: the next run must not wait for it.
    if (exitStatus != 0)
        tellUser(told);
    return exitStatus;
}
