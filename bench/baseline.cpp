// The benchmark's baseline: start the library as the programs do, load
// valdra.ini, and exit, so that a program's time beyond it is its own work.
#include <allegro.h>
#include <errno.h>

int main(int, char **)
{
    if (install_allegro(SYSTEM_NONE, &errno, atexit) != 0)
        return 2;
    set_config_file("valdra.ini");
    allegro_exit();
    return 0;
}
END_OF_MAIN()
