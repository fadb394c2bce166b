// Preloaded into csvtoini: the first fsync, which comes just before the work
// copy replaces valdra.ini, first appends a line to valdra.ini, as an editor
// saving the file at that moment would.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

extern "C" int fsync(int fd)
{
    static bool edited;
    if (!edited) {
        edited = true;
        int f = open("valdra.ini", O_WRONLY | O_APPEND);
        if (f >= 0) {
            (void)!write(f, "# edited meanwhile\n", 19);
            close(f);
        }
    }
    auto real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    return real(fd);
}
