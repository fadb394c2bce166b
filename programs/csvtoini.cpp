// csvtoini: write the units of the sheet valdra.csv into valdra.ini, both in
// the working folder, keeping everything else in the INI file. Arguments are
// ignored and nothing is printed; the exit status is 0 after a conversion and
// non-zero when it failed.
#include "../units/units.h"

#include <allegro.h>

int main(int, char **)
{
    return runConversion("csvtoini", iniFile, csvToMem, MemToIni);
}
END_OF_MAIN()
