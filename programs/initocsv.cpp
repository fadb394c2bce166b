// initocsv: turn valdra.ini into the sheet valdra.csv, both in the working
// folder. Arguments are ignored and nothing is printed; the exit status is 0
// after a conversion and non-zero when the library or the sheet failed.
#include "../units/units.h"

#include <allegro.h>

int main(int, char **)
{
    return runConversion("initocsv", csvFile, iniToMem, memToCsv);
}
END_OF_MAIN()
