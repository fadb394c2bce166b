// The fuzz targets' one file: written in a scratch folder of their own,
// removed at exit, and dated an hour back, as a file saved long ago: the
// programs take a file changed a moment ago only once it has kept still.
#ifndef SCRATCHFILE_H
#define SCRATCHFILE_H

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static char scratchDir[] = "/tmp/valdra-fuzz.XXXXXX";
static const char *scratchName;   // the file in it

static void removeScratch()
{
    unlink(scratchName);
    rmdir(scratchDir);
}

// Go into a new scratch folder, in which the file name will be written.
static void enterScratch(const char *name)
{
    scratchName = name;
    if (!mkdtemp(scratchDir) || chdir(scratchDir) != 0)
        abort();
    atexit(removeScratch);
}

// Date the file an hour back.
static void dateBack()
{
    struct timespec times[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
    if (utimensat(AT_FDCWD, scratchName, times, 0) != 0)
        abort();
}

// Write the n bytes at data as the file, dated back.
static void writeScratch(const void *data, size_t n)
{
    FILE *f = fopen(scratchName, "wb");
    if (!f || fwrite(data, 1, n, f) != n || fclose(f) != 0)
        abort();
    dateBack();
}

#endif
