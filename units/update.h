// The update of valdra.ini that csvtoini makes: its plan (plan.cpp) and the
// check of the library's saved copies against the file's meaning
// (copycheck.cpp). Both work on the meaning of the file as it was, taken as
// file 0.
#ifndef UPDATE_H
#define UPDATE_H

#include "meaning.h"

// Compare the unit table with file 0, for plannedValue.
void takePlan();

// The value that the update sets for the key of column col (the first of
// its key) in the section of row unit, made in number; null where the value
// that the game reads from the file, as initocsv would write it, is the
// row's already (010 reads 8, 5 # five tiles reads 5, a canhit of 9 gives
// the three columns 1).
const char *plannedValue(int unit, int col, char number[16]);

// Call each, with user, for every entry the update sets, in the order it
// sets them:
// each row's list entry where the file holds another name, and each key
// that plannedValue sets, then each list entry it removes (value null):
// those after the table's last row, up to listEnd, where the list in the
// file ends.
typedef void (*SetVisit)(void *user, const char *section, const char *key, const char *value);
void eachSet(int listEnd, SetVisit each, void *user);

// About how long, in nanoseconds, the library takes for those sets, each of
// which walks the loaded sections from the top.
double plannedNs(int listEnd);

// The verdict on a saved copy: problemCount if it means what it should, or
// the problem, with the line (0: none) and the detail for its message.
struct CopyVerdict {
    Problem problem;
    int line;
    char detail[320];
};

// Compare the library's save of the file as it was loaded, [saved, saved +
// savedLen), with the file's text, [text, text + len), both with a NUL after
// them, line by line as the library reads each line alone: every line must
// mean what it meant.
CopyVerdict checkResave(const char *text, size_t len, const char *saved, size_t savedLen);

// Take the meaning of the saved copy of the update [text, text + len) as
// file 1 and compare it with file 0's. It must be within the limits of the
// files csvtoini updates, and mean the same but for what the writer set, the
// unit table's list entries and keys, and removed, the list entries from
// unitNum up to listEnd.
CopyVerdict checkCopy(const char *text, size_t len, int listEnd);

#endif
