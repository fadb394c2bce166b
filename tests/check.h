// The in-process tests' one harness: check counts each check and names
// each that fails; checked reports the counts and gives the exit status.
#ifndef CHECK_H
#define CHECK_H

#include <stdarg.h>
#include <stdio.h>

static int passed, failed;

static void check(bool ok, const char *format, ...) __attribute__((format(printf, 2, 3)));
static void check(bool ok, const char *format, ...)
{
    if (ok) {
        passed++;
        return;
    }
    failed++;
    va_list args;
    va_start(args, format);
    printf("FAIL: ");
    vprintf(format, args);
    printf("\n");
    va_end(args);
}

static int checked()
{
    printf("%d passed, %d failed\n", passed, failed);
    return failed != 0;
}

#endif
