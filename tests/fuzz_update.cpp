// libFuzzer target for csvtoini's update, checked against the library's own
// reading of whole files. The input is the text of valdra.ini, then a NUL
// and edits of the table that initocsv reads from it, three bytes each: a
// value set, a unit added or renamed, the last unit dropped. An update that
// is accepted must mean, to the library, what the file meant but for the
// table's list entries and keys, and the list's end; every line of the file
// that holds no such entry must stand in it as it stood, line end included,
// and a file without a final line end must still have none. A refused one
// must leave the file as it was.
#include "units.h"
#include "iniline.h"
#include "scratchfile.h"

#include <allegro.h>
#include <stdint.h>
#include <string.h>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    enterScratch(iniFile);
    if (install_allegro(SYSTEM_NONE, &errno, atexit) != 0)
        abort();
    return 0;
}

// The file's bytes now, into buf; their count.
static size_t readFile(char *buf, size_t cap)
{
    FILE *f = fopen(iniFile, "rb");
    size_t n = f ? fread(buf, 1, cap, f) : 0;
    if (f)
        fclose(f);
    return n;
}

// Names that the edits give units: new ones, and ones a file may hold.
static const char *const pool[] = {"New", "Tank", "tank", "Jeep", "Rules", "U0", "U1", "x", "\xc3\x84rger"};

// Apply the edits at p, n bytes, to the unit table; false if the table is
// not one that the sheet reader would hand on.
static bool edit(const uint8_t *p, size_t n)
{
    for (; n >= 3; p += 3, n -= 3) {
        int u = unitNum ? p[1] % unitNum : 0;
        switch (p[0] % 4) {
        case 0:
            if (unitNum)
                uStat[u][p[1] / 16 % statCount] = statName[p[1] / 16 % statCount].yesNo ? p[2] % 2 : p[2] % 8 - 1;
            break;
        case 1:
            if (unitNum == maxUnits)
                return false;
            u = unitNum++;
            for (int col = 0; col < statCount; col++)
                uStat[u][col] = statName[col].fallback;
            [[fallthrough]];   // and name it
        case 2:
            if (unitNum)
                storeName(u, pool[p[2] % 9], strlen(pool[p[2] % 9]));
            break;
        default:
            unitNum -= unitNum > 0;
        }
    }
    for (int u = 0; u < unitNum; u++) {
        char key[unitKeySize], entry[unitKeySize + nameSize + 3];
        unitKey(key, u);
        int len = snprintf(entry, sizeof entry, "%s = %s", key, unitName[u]);
        if (!*unitName[u] || !keepableName(unitName[u]) || ustricmp(unitName[u], listSection) == 0 ||
            strlen(unitName[u]) > (size_t)nameMaxBytes || iniLineOverrun(entry, len) != noOverrun ||
            uisspace(ugetc(unitName[u])) || uisspace(ugetat(unitName[u], -1)))
            return false;
        for (int v = 0; v < u; v++)
            if (ustricmp(unitName[u], unitName[v]) == 0 && memcmp(uStat[u], uStat[v], sizeof uStat[u]) != 0)
                return false;
    }
    return true;
}

// Every section and entry of a text as the library lists them, with the
// value that a lookup of each gives.
struct Listing {
    int count;
    char section[512][260], key[512][260];
    const char *value[512];   // null: absent or empty
    char values[512][3100];
};

// Fill l from the text, n bytes, loaded whole into the library; false if it
// has more entries than l holds.
static bool list(const char *text, size_t n, Listing *l)
{
    const char **sections = nullptr, **keys = nullptr;
    set_config_data(text, (int)n);
    int sectionCount = list_config_sections(&sections);
    l->count = 0;
    bool ok = true;
    for (int s = -1; ok && s < sectionCount; s++) {
        const char *section = s < 0 ? "" : sections[s];
        int keyCount = list_config_entries(s < 0 ? nullptr : section, &keys);
        for (int k = -1; ok && k < keyCount; k++) {
            ok = l->count < 512 && strlen(section) < 260 && (k < 0 || strlen(keys[k]) < 260);
            if (!ok)
                break;
            int i = l->count++;
            snprintf(l->section[i], 260, "%s", section);
            snprintf(l->key[i], 260, "%s", k < 0 ? "" : keys[k]);
            const char *v = k < 0 ? nullptr : get_config_string(s < 0 ? nullptr : section, keys[k], nullptr);
            l->value[i] = v ? l->values[i] : nullptr;
            snprintf(l->values[i], sizeof l->values[i], "%s", v ? v : "");
        }
        free_config_entries(&keys);
    }
    free_config_entries(&sections);
    return ok;
}

// The value of key in section in l, as a lookup finds it (names compared
// without case); *found says whether l lists it.
static const char *valueIn(const Listing *l, const char *section, const char *key, bool *found)
{
    for (int i = 0; i < l->count; i++)
        if (ustricmp(l->section[i], section) == 0 && ustricmp(l->key[i], key) == 0) {
            *found = true;
            return l->value[i];
        }
    *found = false;
    return nullptr;
}

// The last row named as section ("[name]"), -1 if none.
static int rowOf(const char *section)
{
    char listed[listedSize];
    for (int u = unitNum - 1; u >= 0; u--)
        if (iniLookupName(unitName[u], listed) && ustricmp(listed, section) == 0)
            return u;
    return -1;
}

// The first list index from unitNum on that the file before does not hold.
static int listEnd(const Listing *before)
{
    char key[unitKeySize];
    bool found;
    int n = unitNum;
    while (n < listCountMost && (unitKey(key, n), valueIn(before, "[unitnames]", key, &found)))
        n++;
    return n;
}

// True if the value v (null: the default) reads as column col of row u.
static bool readsAsRow(const char *v, int u, int col)
{
    int row[statCount];
    memcpy(row, uStat[u], sizeof row);
    setFromKey(row, col, v ? gameInt(v) : statName[col].fallback);
    return memcmp(row, uStat[u], sizeof row) == 0;
}

// Abort unless each section and entry of after reads as it should, given
// before and the table.
static void checkMeaning(const Listing *before, const Listing *after)
{
    int end = listEnd(before);
    const Listing *both[] = {before, after};
    for (const Listing *l : both)
        for (int i = 0; i < l->count; i++) {
            const char *section = l->section[i], *key = l->key[i];
            // Keys that begin with '[' match any header, those that begin
            // with '#' live in another store; a long name overruns.
            if (key[0] == '[' || key[0] == '#' || (section[0] == '[' && section[1] == '#') ||
                strlen(section) > (size_t)nameMaxBytes)
                continue;
            bool was, is;
            const char *old = valueIn(before, section, key, &was), *now = valueIn(after, section, key, &is);
            int u = rowOf(section), n = listIndex(key, listCountMost), col = -1;
            for (int c = 0; c < statCount; c++)
                if (firstOfKey(c) && ustricmp(key, statName[c].key) == 0)
                    col = c;
            if (!*key && !is)
                abort();   // a section lost
            if (!*key && !was && u < 0 && ustricmp(section, "[unitnames]") != 0)
                abort();   // a new section that is neither a unit's nor the list
            if (!*key)
                continue;
            if (ustricmp(section, "[unitnames]") == 0 && n >= 0 && n < unitNum) {
                if (!now || strcmp(now, unitName[n]) != 0)
                    abort();
            } else if (ustricmp(section, "[unitnames]") == 0 && n >= unitNum && n < end) {
                if (now)
                    abort();
            } else if (u >= 0 && col >= 0) {
                if (!readsAsRow(now, u, col))
                    abort();
            } else if (was != is || (old != now && (!old || !now || strcmp(old, now) != 0))) {
                abort();
            }
        }
}

// True if the line [s, s + n) of the file before is an entry that the update
// may set or remove: a unit key, or a list key.
static bool settable(const char *s, size_t n)
{
    static char meaning[4096];
    if (n + 8 > sizeof meaning)
        return true;
    iniLineMeaning(s, n, meaning, sizeof meaning);
    if (meaning[0] != 'e')
        return false;
    for (int c = 0; c < statCount; c++)
        if (ustricmp(meaning + 1, statName[c].key) == 0)
            return true;
    return listIndex(meaning + 1, listCountMost) >= 0;
}

// Abort unless every line of before [b, b + bn) that holds no settable
// entry stands in after [a, a + an), in order, with its line end (the last,
// if it has none, may take one).
static void checkLines(const char *b, size_t bn, const char *a, size_t an)
{
    size_t bt = 0, at = 0, bend, aend;
    push_config_state();
    while (bt < bn) {
        size_t bnext = iniNextLine(b, bt, bn, &bend), anext = at < an ? iniNextLine(a, at, an, &aend) : at;
        // The last line, without a line end, takes one where lines follow.
        size_t compared = bend == bnext ? bend - bt : bnext - bt;
        if (at < an && (anext - at == compared || bend == bnext) && memcmp(a + at, b + bt, compared) == 0 &&
            (bend != bnext || aend - at == compared)) {
            bt = bnext;
            at = anext;
        } else if (settable(b + bt, bend - bt)) {
            bt = bnext;
        } else if (at < an) {
            at = anext;   // a line the update added
        } else {
            abort();
        }
    }
    pop_config_state();
    bool ended = bn && (b[bn - 1] == '\r' || b[bn - 1] == '\n'), ends = an && (a[an - 1] == '\r' || a[an - 1] == '\n');
    if (bn && !ended && ends)
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static char before[4096], after[4096 * 4];
    static Listing was, now;
    const uint8_t *nul = (const uint8_t *)memchr(data, 0, size);
    size_t n = nul ? nul - data : size;
    if (n >= sizeof before || validUtf8((const char *)data, n) != n)
        return 0;
    memcpy(before, data, n);
    before[n] = '\0';
    writeScratch(before, n);
    if (!iniToMem() || !edit(nul ? nul + 1 : data + n, nul ? size - n - 1 : 0) || !list(before, n, &was))
        return 0;
    MemToIni();
    size_t an = readFile(after, sizeof after - 1);
    after[an] = '\0';
    if (an == n && memcmp(before, after, n) == 0)
        return 0;   // refused, or nothing to set
    if (validUtf8(after, an) != an || !list(after, an, &now))
        abort();
    checkMeaning(&was, &now);
    checkLines(before, n, after, an);
    return 0;
}
