// initocsv: turn valdra.ini into the sheet valdra.csv, both in the working
// folder. Arguments are ignored. A failed run prints one line saying why and
// exits non-zero, leaving valdra.csv as it was; a successful one prints
// nothing.
#include "../units/units.h"

#include <allegro.h>

int main(int, char **)
{
    return runConversion("initocsv", csvFile, iniToMem, memToCsv);
}
END_OF_MAIN()
