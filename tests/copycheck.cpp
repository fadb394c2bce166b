// In-process checks of the check of the whole updated file, the promise that
// csvtoini rests on: handed an updated text, it must pass exactly the text
// that means the file's meaning with the sheet's entries set and the list's
// tail removed, and refuse any other. Each case is the updated text, in
// which a "*" stands for the table's unit section as the update writes it.
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

// Tank as the table holds it: moving 6, at its defaults otherwise.
static const char tank[] = "[Tank]\nmove = 6\nprice = 0\nrangemin = 0\nrangemax = 0\ncanhit = 0\nattack0 = 0\n"
                           "attack1 = 0\nattack2 = 0\nresist0 = 0\nresist1 = 0\nresist2 = 0\nisarmy1 = 1\n"
                           "isarmy2 = 1\nisarmy3 = 1\ntechlevel = 2\n";

// Write into out the updated text of c, its "*" replaced by Tank's section.
static size_t updatedText(const char *updated, char *out, size_t size)
{
    size_t n = 0;
    for (const char *p = updated; *p && n + sizeof tank < size; p++)
        n += *p == '*' ? snprintf(out + n, size - n, "%s", tank) : (out[n] = *p, 1);
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
        size_t n = updatedText(c.saved, text, sizeof text);
        CopyVerdict v = checkWhole(&plan, before, sizeof before - 1, text, n);
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
