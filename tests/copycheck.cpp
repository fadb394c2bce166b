// In-process checks of the copy check, the promise that csvtoini rests on:
// handed the library's saved text of an update, it must pass exactly the
// text that means the file's meaning with the sheet's entries set and the
// list's tail removed, and refuse any other. Each case is the file as it
// was and the saved text, in which a "*" stands for the table's unit
// section as the update writes it.
#include "update.h"

#include <allegro.h>
#include <stdio.h>
#include <string.h>

static const char before[] = "top = 1\n[unitnames]\nunit0 = Tank\nunit1 = Old\n\n[Tank]\nmove = 5\n\n[Other]\nkey = 1\n";

static const struct {
    const char *what, *saved;
    Problem want;
} cases[] = {
    {"the update as it should be", "top = 1\n[unitnames]\nunit0 = Tank\n\n*\n[Other]\nkey = 1\n", problemCount},
    {"a list entry kept past the table", "top = 1\n[unitnames]\nunit0 = Tank\nunit1 = Old\n\n*\n[Other]\nkey = 1\n",
     iniWouldChange},
    {"an entry of another section lost", "top = 1\n[unitnames]\nunit0 = Tank\n\n*\n[Other]\n", iniWouldChange},
    {"an entry of another section changed", "top = 1\n[unitnames]\nunit0 = Tank\n\n*\n[Other]\nkey = 2\n",
     iniWouldChange},
    {"an entry before the first header lost", "[unitnames]\nunit0 = Tank\n\n*\n[Other]\nkey = 1\n", iniWouldChange},
    {"another section lost", "top = 1\n[unitnames]\nunit0 = Tank\n\n*\n", iniWouldChange},
    {"a new section", "top = 1\n[unitnames]\nunit0 = Tank\n\n*\n[Other]\nkey = 1\n[New]\n", iniWouldChange},
    {"a unit's entry filed in the next section", "top = 1\n[unitnames]\nunit0 = Tank\n\n*\n[Other]\nkey = 1\nprice = 0\n",
     iniWouldChange},
    {"the list entry in another section", "top = 1\n[unitnames]\n\n*\n[Other]\nkey = 1\nunit0 = Tank\n",
     iniWouldChange},
    {"a list entry with another case", "top = 1\n[unitnames]\nUNIT0 = Tank\n\n*\n[Other]\nkey = 1\n", problemCount},
};

// Write into out the saved text of c, its "*" replaced by the unit's section.
static size_t savedText(const char *saved, char *out, size_t size)
{
    size_t n = 0;
    for (const char *p = saved; *p && n + 64 < size; p++) {
        if (*p != '*') {
            out[n++] = *p;
            continue;
        }
        n += snprintf(out + n, size - n, "[Tank]\n");
        for (int col = 0; col < statCount; col++)
            if (firstOfKey(col))
                n += snprintf(out + n, size - n, "%s = %d\n", statName[col].key, keyValue(uStat[0], col));
    }
    out[n] = '\0';
    return n;
}

int main(int, char **)
{
    if (install_allegro(SYSTEM_NONE, &errno, atexit) != 0)
        return 2;
    int failed = 0, passed = 0;
    for (const auto &c : cases) {
        // The table: Tank alone, moving 6, at its defaults otherwise.
        unitNum = 1;
        strcpy(unitName[0], "Tank");
        for (int col = 0; col < statCount; col++)
            uStat[0][col] = statName[col].fallback;
        uStat[0][0] = 6;
        Meaning file;
        static Plan plan;
        takeMeaning(&file, before, sizeof before - 1);
        takePlan(&plan, file);
        static char text[4096];
        size_t n = savedText(c.saved, text, sizeof text);
        CopyVerdict v = checkCopy(&plan, text, n);
        if (v.problem == c.want) {
            passed++;
        } else {
            failed++;
            printf("FAIL: %s: problem %d, want %d (%s)\n", c.what, v.problem, c.want, v.detail);
        }
    }
    printf("%d passed, %d failed\n", passed, failed);
    return failed != 0;
}
END_OF_MAIN()
