// In-process checks of csvtoini's update. The check of the whole updated
// file, the promise that csvtoini rests on: handed an updated text, it must
// pass exactly the text that means the file's meaning with the sheet's
// entries set and the list's tail removed, and refuse any other. And the
// estimate of an update's time, on generated shapes, within its band of
// the time measured on the benchmark's machine. With the arguments "write
// SHAPE", it writes that shape's valdra.ini and valdra.csv into the current
// folder instead, to measure the programs on.
#include "meaning.h"
#include "cut.h"
#include "update.h"
#include "check.h"

#include <allegro.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// The whole-file check: the file before, and each updated text of the table
// whole-file, in which a "*" stands for Tank's section as the update writes
// it: what it is, the text, and whether the check passes or refuses it.
static const char before[] = "top = 1\n[unitnames]\nunit0 = Tank\nunit1 = Old\n\n[Tank]\nmove = 5\n\n[Other]\nkey = 1\n[Bare]\n";

// Tank as the table holds it: moving 6, at its defaults otherwise.
static const char tank[] = "[Tank]\nmove = 6\nprice = 0\nrangemin = 0\nrangemax = 0\ncanhit = 0\nattack0 = 0\n"
                           "attack1 = 0\nattack2 = 0\nresist0 = 0\nresist1 = 0\nresist2 = 0\nisarmy1 = 1\n"
                           "isarmy2 = 1\nisarmy3 = 1\ntechlevel = 2\n";

static void wholeFileCheck(const Row &r, void *plan)
{
    static char text[4096];
    unitNum = 1;
    strcpy(unitName[0], "Tank");
    for (int col = 0; col < statCount; col++)
        uStat[0][col] = statName[col].fallback;
    uStat[0][0] = 6;
    Meaning file;
    takeMeaning(&file, before, sizeof before - 1);
    takePlan((Plan *)plan, file);
    size_t n = 0;
    for (const char *p = r.field[1]; *p && n + sizeof tank < sizeof text; p++)
        n += *p == '*' ? snprintf(text + n, sizeof text - n, "%s", tank) : (text[n] = *p, 1);
    text[n] = '\0';
    CopyVerdict v = checkWhole((Plan *)plan, text, n);
    Problem want = strcmp(r.field[2], "passes") == 0 ? problemCount : iniWouldChange;
    check(r.count == 3 && v.problem == want, "%s: problem %d, want %d (%s)", r.field[0], v.problem, want, v.detail);
}

// The text of a shape, made a piece at a time.
static char shapeText[4 << 20];
static size_t shapeLen;

static void add(const char *format, ...) __attribute__((format(printf, 1, 2)));
static void add(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    shapeLen += vsnprintf(shapeText + shapeLen, sizeof shapeText - shapeLen, format, args);
    va_end(args);
}

// A shape of update: a file and the table that the sheet holds. The file
// holds units U0 to U99 where it lists them; the table holds units named so,
// or padded to nameBytes, with unit*100 + column + 1 in every value column
// and 1 in the can-hit ones.
struct Shape {
    const char *name, *what;
    void (*make)();          // writes the file's text
    int nameBytes;
    double seconds;          // what csvtoini takes, measured
};

// Each unit's section, its header after before, with every key value.
static void unitSections(const char *before, int value)
{
    for (int u = 0; u < maxUnits; u++) {
        add("%s[U%d]\n", before, u);
        for (int col = 0; col < statCount; col++)
            if (firstOfKey(col))
                add("%s=%d\n", statName[col].key, value);
    }
}

// The list of the hundred units, and their sections with every key 0.
static void listAndUnits()
{
    add("[unitnames]\n");
    for (int u = 0; u < maxUnits; u++)
        add("unit%d=U%d\n", u, u);
    unitSections("\n", 0);
}

// The units' sections first, then 20,000 lines whose names begin with '['
// in the last one, then each unit's section again with every key: the sets
// find each entry in its section's first place.
static void firstPlaces()
{
    listAndUnits();
    for (int i = 0; i < 20000; i++)
        add("[Rule %d of the skirmish\n", i);
    unitSections("", 9);
}

// An empty list: every unit is new, its section made at the end, where
// the walks for the later units pass its long name.
static void newSections()
{
    add("[unitnames]\n");
}

// The units behind 30,000 other sections of five entries each.
static void manySections()
{
    for (int i = 0; i < 30000; i++) {
        add("[Rules%d]\n", i);
        for (int j = 0; j < 5; j++)
            add("rule%d = %d\n", j, i);
        add("\n");
    }
    listAndUnits();
}

static const Shape shapes[] = {
    {"first-places", "sets found in their sections' first places", firstPlaces, 0, 0.080},
    {"new-sections", "new sections of long names", newSections, 240, 0.123},
    {"many-sections", "a file of many sections read whole", manySections, 0, 0.280},
};

// Fill the unit table as the sheet of shape s holds it.
static void shapeTable(const Shape &s)
{
    unitNum = maxUnits;
    for (int u = 0; u < maxUnits; u++) {
        int n = snprintf(unitName[u], nameSize, "U%d", u);
        for (; n < s.nameBytes; n++)
            unitName[u][n] = 'x';
        unitName[u][n] = '\0';
        for (int col = 0; col < statCount; col++)
            uStat[u][col] = statName[col].yesNo ? 1 : u * 100 + col + 1;
    }
}

// The estimate of each shape lies between the time measured and 1.6 times
// it, as the README promises.
static void estimatePins()
{
    static Plan plan;
    static Cut cut;
    static TableFolded table;
    for (const Shape &s : shapes) {
        shapeTable(s);
        shapeLen = 0;
        s.make();
        Meaning file;
        foldTable(&table);
        bool taken = takeMeaningWithSpans(&file, shapeText, shapeLen, touchedSpans, &table) == meaningTaken &&
                     takeCut(&cut, shapeText, shapeLen, file, &table);
        takePlan(&plan, file);
        UpdateCost c = weighUpdate(&plan, cut.len, shapeLen);
        double est = c.ns / 1e9;
        check(taken && est >= s.seconds && est <= 1.6 * s.seconds, "%s: the estimate %.3f s, measured %.3f s",
              s.what, est, s.seconds);
        if (getenv("ESTIMATES"))
            printf("%s: the estimate %.3f s, measured %.3f s\n", s.name, est, s.seconds);
        dropCut(&cut);
    }
}

// Write the shape named name into the current folder, as valdra.ini and
// valdra.csv; false if there is none of that name, or a write fails.
static bool writeShape(const char *name)
{
    for (const Shape &s : shapes) {
        if (strcmp(s.name, name) != 0)
            continue;
        shapeLen = 0;
        s.make();
        FILE *f = fopen(iniFile, "wb");
        if (!f || fwrite(shapeText, 1, shapeLen, f) != shapeLen || fclose(f) != 0)
            return false;
        shapeTable(s);
        memToCsv();
        return true;
    }
    return false;
}

int main(int argc, char **argv)
{
    if (install_allegro(SYSTEM_NONE, &errno, atexit) != 0)
        return 2;
    if (argc == 3 && strcmp(argv[1], "write") == 0)
        return !writeShape(argv[2]);
    static Plan plan;
    eachRow(TABLES "whole-file", wholeFileCheck, &plan);
    estimatePins();
    return checked();
}
END_OF_MAIN()
