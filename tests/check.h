// The in-process tests' one harness: check counts each check and names
// each that fails; checked reports the counts and gives the exit status.
#ifndef CHECK_H
#define CHECK_H

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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

// The longest line of a table, and the most fields a row has.
const int tableLineSize = 4096, tableFieldsMost = 8;

// A row of a table: its fields, each with a NUL after it, their lengths and
// their count.
struct Row {
    char *field[tableFieldsMost];
    size_t len[tableFieldsMost];
    int count;
};

// Hand each row of the table file named path to row, with user: a row a
// line, its fields split at '|', in which \n, \r, \t, \\, \| and \xHH stand
// for those bytes. A file that cannot be read is a failed check.
static void eachRow(const char *path, void (*row)(const Row &r, void *user), void *user)
{
    static char line[tableLineSize];
    FILE *f = fopen(path, "rb");
    check(f != nullptr, "the table %s cannot be read", path);
    while (f && fgets(line, sizeof line, f)) {
        Row r = {{line}, {}, 0};
        char *out = line;
        for (const char *p = line; *p && *p != '\n'; p++) {
            char c = *p;
            if (c == '|' && r.count + 1 < tableFieldsMost) {
                r.len[r.count] = out - r.field[r.count];
                *out++ = '\0';
                r.field[++r.count] = out;
                continue;
            }
            if (c == '\\' && p[1] == 'x' && p[2] && p[3]) {
                char hex[3] = {p[2], p[3], 0};
                c = (char)strtol(hex, nullptr, 16);
                p += 3;
            } else if (c == '\\' && p[1]) {
                c = *++p == 'n' ? '\n' : *p == 'r' ? '\r' : *p == 't' ? '\t' : *p;
            }
            *out++ = c;
        }
        r.len[r.count] = out - r.field[r.count];
        *out = '\0';
        r.count++;
        row(r, user);
    }
    if (f)
        fclose(f);
}

#endif
