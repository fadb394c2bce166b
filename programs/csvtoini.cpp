// csvtoini: write the units of the sheet valdra.csv into valdra.ini, both in
// the working folder, keeping the meaning of everything else in the INI file.
// Arguments are ignored. A failed run prints one line saying why and exits
// non-zero, leaving valdra.ini as it was; a successful one prints nothing.
#include "../units/units.h"

#include <allegro.h>

int main(int, char **)
{
    return runConversion("csvtoini", iniFile, csvToMem, MemToIni);
}
END_OF_MAIN()
