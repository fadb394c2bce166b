// Preloaded into a program to make the library's start fail, as it does on a
// version mismatch.
#include <allegro.h>

extern "C" int _install_allegro_version_check(int, int *, int (*)(void (*)()), int)
{
    return -1;
}
