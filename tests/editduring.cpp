// Preloaded into csvtoini: the first fsync, which comes just before the work
// copy replaces valdra.ini, first appends a line to valdra.ini, as an editor
// saving the file at that moment would; with VALDRA_EDIT=relink it replaces
// valdra.ini, a link, with a file of the same bytes, as sed -i does.
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

extern "C" int fsync(int fd)
{
    static bool edited;
    const char *how = getenv("VALDRA_EDIT");
    if (!edited && how && strcmp(how, "relink") == 0) {
        char bytes[1 << 16];
        int from = open("valdra.ini", O_RDONLY), to = open("valdra.ini.sed", O_WRONLY | O_CREAT, 0644);
        ssize_t n = from >= 0 ? read(from, bytes, sizeof bytes) : -1;
        if (n > 0 && to >= 0 && write(to, bytes, n) == n)
            rename("valdra.ini.sed", "valdra.ini");
        close(from);
        close(to);
    } else if (!edited) {
        int f = open("valdra.ini", O_WRONLY | O_APPEND);
        if (f >= 0) {
            (void)!write(f, "# edited meanwhile\n", 19);
            close(f);
        }
    }
    edited = true;
    auto real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    return real(fd);
}
