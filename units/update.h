// The update of valdra.ini that csvtoini makes: its plan (plan.cpp), what
// the plan costs (cost.cpp), and the check of the updated file against the
// file's meaning (copycheck.cpp). All work on the plan.
#ifndef UPDATE_H
#define UPDATE_H

#include "meaning.h"

// The plan of an update of the file whose meaning, taken whole with its
// spans, is file: where its list
// ends, from the table's last row on, and which keys of each row's section
// it holds as the row has them.
struct Plan {
    Meaning file;
    int listEnd;
    bool readAsRow[maxUnits][statCount];   // by the key's first column
};

// Make *plan the plan of the unit table's update of the file whose meaning
// is file.
void takePlan(Plan *plan, Meaning file);

// The value that the update sets for the key of column col (the first of
// its key) in the section of row unit, made in number; null where the value
// that the game reads from the file, as initocsv would write it, is the
// row's already (010 reads 8, 5 # five tiles reads 5, a canhit of 9 gives
// the three columns 1).
const char *plannedValue(const Plan *plan, int unit, int col, char number[16]);

// Call each, with user, for every entry the update sets, in the order it
// sets them:
// each row's list entry where the file holds another name, and each key
// that plannedValue sets, then each list entry it removes (value null):
// those after the table's last row, up to where the list in the file ends.
typedef void (*SetVisit)(void *user, const char *section, const char *key, const char *value);
void eachSet(const Plan *plan, SetVisit each, void *user);

// What an update of the file, fileLen bytes, whose spans are cutLen
// bytes, costs: whether there is the memory to weigh it; about how long it
// takes, in nanoseconds on the benchmark's machine, and how much of that
// the library's walks take; and the most bytes the updated file can have.
struct UpdateCost {
    bool room;
    double ns, walksNs;
    size_t bytes;
};
UpdateCost weighUpdate(const Plan *plan, size_t cutLen, size_t fileLen);

// True if the update stays within what the programs read, and takes no
// longer than a user waits: the file read whole twice, the library's load
// and saves of the spans, and the sets, each of which walks the loaded spans
// from the top. Else the run fails, at once, saying why.
bool withinLimits(const Plan *plan, size_t cutLen, size_t fileLen);

// The verdict on an updated file: problemCount if it means what it should,
// or the problem, with the line (0: none) and the detail for its message.
struct CopyVerdict {
    Problem problem;
    int line;
    char detail[320];
};

// Take the meaning of the update of the plan's file, [updated, updated +
// updatedLen), read whole as the library reads it and with a NUL after it,
// and compare it with the file's: it must mean the same but for what the
// writer set, the unit table's list entries and keys, and removed, the list
// entries from unitNum up to the list's end.
CopyVerdict checkWhole(const Plan *plan, const char *updated, size_t updatedLen);

#endif
