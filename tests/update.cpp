// In-process checks of csvtoini's update. The check of the whole updated
// file, the promise that csvtoini rests on: handed an updated text, it must
// pass exactly the text that means the file's meaning with the sheet's
// entries set and the list's tail removed, and refuse any other. And the
// estimate of an update's time, on generated shapes, within its band of
// the time measured on the benchmark's machine. With the argument "write
// DIR", it writes each shape's valdra.ini and valdra.csv into a folder of
// DIR of the shape's name instead, to measure the programs on.
#include "meaning.h"
#include "cut.h"
#include "update.h"
#include "check.h"

#include <allegro.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// The whole-file check: the file before, and each updated text, in which a
// "*" stands for Tank's section as the update writes it.
static const char before[] = "top = 1\n[unitnames]\nunit0 = Tank\nunit1 = Old\n\n[Tank]\nmove = 5\n\n[Other]\nkey = 1\n[Bare]\n";

static const struct {
    const char *what, *updated;
    Problem want;
} cases[] = {
    {"the update as it should be", "top = 1\n[unitnames]\nunit0 = Tank\n\n*\n[Other]\nkey = 1\n[Bare]\n", problemCount},
    {"a list entry kept past the table", "top = 1\n[unitnames]\nunit0 = Tank\nunit1 = Old\n\n*\n[Other]\nkey = 1\n[Bare]\n",
     iniWouldChange},
    {"an entry of another section lost", "top = 1\n[unitnames]\nunit0 = Tank\n\n*\n[Other]\n[Bare]\n", iniWouldChange},
    {"an entry of another section changed", "top = 1\n[unitnames]\nunit0 = Tank\n\n*\n[Other]\nkey = 2\n[Bare]\n",
     iniWouldChange},
    {"an entry before the first header lost", "[unitnames]\nunit0 = Tank\n\n*\n[Other]\nkey = 1\n[Bare]\n", iniWouldChange},
    {"another section lost", "top = 1\n[unitnames]\nunit0 = Tank\n\n*\n[Bare]\n", iniWouldChange},
    {"a new section", "top = 1\n[unitnames]\nunit0 = Tank\n\n*\n[Other]\nkey = 1\n[Bare]\n[New]\n", iniWouldChange},
    {"a unit's entry filed in the next section", "top = 1\n[unitnames]\nunit0 = Tank\n\n*\n[Other]\nkey = 1\nprice = 0\n[Bare]\n",
     iniWouldChange},
    {"the list entry in another section", "top = 1\n[unitnames]\n\n*\n[Other]\nkey = 1\nunit0 = Tank\n[Bare]\n",
     iniWouldChange},
    {"a list entry with another case", "top = 1\n[unitnames]\nUNIT0 = Tank\n\n*\n[Other]\nkey = 1\n[Bare]\n", problemCount},
    {"a header that is no header any more", "top = 1\n[unitnames]\nunit0 = Tank\n\n*\n[Other]x\nkey = 1\n[Bare]\n",
     iniWouldChange},
    {"a section without entries lost", "top = 1\n[unitnames]\nunit0 = Tank\n\n*\n[Other]\nkey = 1\n", iniWouldChange},
};

// Tank as the table holds it: moving 6, at its defaults otherwise.
static const char tank[] = "[Tank]\nmove = 6\nprice = 0\nrangemin = 0\nrangemax = 0\ncanhit = 0\nattack0 = 0\n"
                           "attack1 = 0\nattack2 = 0\nresist0 = 0\nresist1 = 0\nresist2 = 0\nisarmy1 = 1\n"
                           "isarmy2 = 1\nisarmy3 = 1\ntechlevel = 2\n";

static void wholeFileChecks()
{
    static char text[4096];
    static Plan plan;
    for (const auto &c : cases) {
        unitNum = 1;
        strcpy(unitName[0], "Tank");
        for (int col = 0; col < statCount; col++)
            uStat[0][col] = statName[col].fallback;
        uStat[0][0] = 6;
        Meaning file;
        takeMeaning(&file, before, sizeof before - 1);
        takePlan(&plan, file);
        size_t n = 0;
        for (const char *p = c.updated; *p && n + sizeof tank < sizeof text; p++)
            n += *p == '*' ? snprintf(text + n, sizeof text - n, "%s", tank) : (text[n] = *p, 1);
        text[n] = '\0';
        CopyVerdict v = checkWhole(&plan, text, n);
        check(v.problem == c.want, "%s: problem %d, want %d (%s)", c.what, v.problem, c.want, v.detail);
    }
}

// Text made a piece at a time, in a buffer of the run's.
struct Text {
    char *text;
    size_t len, cap;
};

static void add(Text *t, const char *format, ...) __attribute__((format(printf, 2, 3)));
static void add(Text *t, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int n = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (t->len + n + 1 > t->cap) {
        t->cap = 2 * (t->len + n + 1);
        t->text = (char *)realloc(t->text, t->cap);
    }
    va_start(args, format);
    vsnprintf(t->text + t->len, t->cap - t->len, format, args);
    va_end(args);
    t->len += n;
}

// A shape of update: a file and the table that the sheet holds. The file
// holds units U0 to U99 where it lists them; the table holds units named so,
// or padded to nameBytes, with unit*100 + column + 1 in every value column
// and 1 in the can-hit ones.
struct Shape {
    const char *name, *what;
    void (*make)(Text *t);   // writes the file
    int nameBytes;
    double seconds;          // what csvtoini takes, measured
};

// The list of the hundred units, and their sections with every key 0.
static void listAndUnits(Text *t)
{
    add(t, "[unitnames]\n");
    for (int u = 0; u < maxUnits; u++)
        add(t, "unit%d=U%d\n", u, u);
    for (int u = 0; u < maxUnits; u++) {
        add(t, "\n[U%d]\n", u);
        for (int col = 0; col < statCount; col++)
            if (firstOfKey(col))
                add(t, "%s=0\n", statName[col].key);
    }
}

// The units' sections first, then 20,000 lines whose names begin with '['
// in the last one, then each unit's section again with every key: the sets
// find each entry in its section's first place.
static void firstPlaces(Text *t)
{
    listAndUnits(t);
    for (int i = 0; i < 20000; i++)
        add(t, "[Rule %d of the skirmish\n", i);
    for (int u = 0; u < maxUnits; u++) {
        add(t, "[U%d]\n", u);
        for (int col = 0; col < statCount; col++)
            if (firstOfKey(col))
                add(t, "%s=9\n", statName[col].key);
    }
}

// An empty list: every unit is new, its section made at the end, where
// the walks for the later units pass its long name.
static void newSections(Text *t)
{
    add(t, "[unitnames]\n");
}

// The units behind 30,000 other sections of five entries each.
static void manySections(Text *t)
{
    for (int i = 0; i < 30000; i++) {
        add(t, "[Rules%d]\n", i);
        for (int j = 0; j < 5; j++)
            add(t, "rule%d = %d\n", j, i);
        add(t, "\n");
    }
    listAndUnits(t);
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
        Text t = {};
        s.make(&t);
        Meaning file;
        foldTable(&table);
        bool taken = takeMeaningWithSpans(&file, t.text, t.len, touchedSpans, &table) == meaningTaken &&
                     takeCut(&cut, t.text, t.len, file, &table);
        takePlan(&plan, file);
        UpdateCost c = weighUpdate(&plan, cut.len, t.len);
        double est = c.ns / 1e9;
        check(taken && est >= s.seconds && est <= 1.6 * s.seconds, "%s: the estimate %.3f s, measured %.3f s",
              s.what, est, s.seconds);
        if (getenv("ESTIMATES"))
            printf("%s: the estimate %.3f s, measured %.3f s\n", s.name, est, s.seconds);
        dropCut(&cut);
        free(t.text);
    }
}

// Write each shape's files into DIR, as name.ini and name.csv.
static int writeShapes(const char *dir)
{
    char path[4096];
    for (const Shape &s : shapes) {
        Text t = {};
        s.make(&t);
        snprintf(path, sizeof path, "%s/%s.ini", dir, s.name);
        FILE *f = fopen(path, "wb");
        if (!f || fwrite(t.text, 1, t.len, f) != t.len || fclose(f) != 0)
            return 1;
        free(t.text);
        shapeTable(s);
        snprintf(path, sizeof path, "%s/%s.csv", dir, s.name);
        f = fopen(path, "w");
        if (!f)
            return 1;
        fprintf(f, "Name");
        for (int col = 0; col < statCount; col++)
            fprintf(f, ",%s", statName[col].caption);
        for (int u = 0; u < unitNum; u++) {
            fprintf(f, "\n%s", unitName[u]);
            for (int col = 0; col < statCount; col++)
                fprintf(f, ",%d", uStat[u][col]);
        }
        fprintf(f, "\n");
        fclose(f);
    }
    return 0;
}

int main(int argc, char **argv)
{
    if (install_allegro(SYSTEM_NONE, &errno, atexit) != 0)
        return 2;
    if (argc == 3 && strcmp(argv[1], "write") == 0)
        return writeShapes(argv[2]);
    wholeFileChecks();
    estimatePins();
    return checked();
}
END_OF_MAIN()
