// The unit table, the helpers both readers share, and the run of one
// conversion.
#include "units.h"

#include <allegro.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>

const char iniFile[] = "valdra.ini";
const char csvFile[] = "valdra.csv";
const char listSection[] = "unitnames";

int unitNum;
char unitName[maxUnits][nameSize];
int uStat[maxUnits][statCount];
bool runFailed;

static_assert(unitKeySize >= sizeof "unit-2147483648", "room for any row");

void storeName(int unit, const char *name, size_t len)
{
    if (len > nameSize - 1) {
        len = nameSize - 1;
        // A byte 10xxxxxx continues a character that began at most three
        // bytes before it; a longer run is not UTF-8 and is cut anywhere.
        for (int back = 0; back < 3 && ((unsigned char)name[len] & 0xC0) == 0x80; back++)
            len--;
    }
    memcpy(unitName[unit], name, len);
    unitName[unit][len] = '\0';
}

int clampInt(long long v)
{
    return v < INT_MIN ? INT_MIN : v > INT_MAX ? INT_MAX : (int)v;
}

void unitKey(char key[unitKeySize], int unit)
{
    snprintf(key, unitKeySize, "unit%d", unit);
}

int runConversion(void (*reader)(), void (*writer)())
{
    // The display-less driver: a full start needs a display, and without one
    // the library would not even load the INI file, so that a save would
    // replace it with only what was set.
    if (install_allegro(SYSTEM_NONE, &errno, atexit) != 0)
        return 2;
    reader();
    writer();
    allegro_exit();
    return runFailed ? 1 : 0;
}
