// The meaning of an INI file's text as the library reads it: every section it
// has, and for every section and key the value a lookup gives. The library is
// handed one line at a time and says what the line is (a header, an entry or
// neither), so the whole file is taken in time that grows with its length;
// lookups then match names folded as the library folds them when it compares.
#include "meaning.h"

#include <allegro.h>
#include <stdio.h>
#include <string.h>

// Each line holds at most one section or entry: a meaning holds the
// distinct ones of this many lines. The copy may add the units' entries and
// sections; anything more than that is a change of meaning already.
const int meaningItems = 1 << 19;
const int meaningAfterItems = 4 * maxUnits * (statCount + 1);
// The names, folded names and values of both files: a folded name has at
// most one and a half times the bytes of its name, and a line holds at least
// a byte and its end for the three NULs, so four times the bytes of a file
// that initocsv reads are room for all of them.
const size_t meaningTextSize = 4 * iniReadMaxBytes;
const char meaningHeld[] = "64 MiB";
static_assert(meaningTextSize == 64u << 20, "meaningHeld names the size");

const unsigned none = ~0u;          // no text: an absent value, or no key
const unsigned present = 0;         // a value kept as present only: the first text kept, ""
const int skipped = -2;             // the section being read is not kept
const int slotCount = 1 << 21;      // hash slots, over twice all items
const int firstSlots = 1 << 10;     // the slots in use at first
static_assert(slotCount >= 2 * (meaningItems + meaningAfterItems), "the hash table stays at most half full");

// A section (section -1) or an entry of section `section`, with offsets of its
// name as the library lists it, its folded name, and its value in the file
// before and after the update (none: absent or empty, which a lookup takes as
// its default).
struct Item {
    int section;
    unsigned name, folded, value[2];
    bool in[2];          // seen in that file; for a section, its header
    int line;            // the line of its first header or entry in the file before
    int headersBefore;   // the lines before that line whose names begin with '['
    int slot;            // its hash slot
};

// All the state of the meanings, in one place.
static struct {
    char text[meaningTextSize];   // NUL-terminated names and values
    size_t used, usedBefore;      // bytes of text in use, and by the file before
    Item items[meaningItems + meaningAfterItems];
    int count, countBefore;       // items in use, and by the file before
    int slot[slotCount];          // item index + 1 by hash of (section, folded name); 0 free
    int slotsUsed;                // the slots in use, a power of two: those that the items touch
    int brackets[meaningItems];   // the item of each line of the file before whose name begins with '[', kept whole
    int bracketCount, lineCount;  // those lines, and all lines, of the file before, kept whole
    MeaningPart parts[meaningPartsMost];   // the parts of the file before under its kept headers
    int partCount;                // parts in use; past meaningPartsMost, the first ones
} m;

// About how long the library's walks over the file before take, in
// nanoseconds on the benchmark's machine. A walk that looks for a key passes
// each line and, at each line whose name begins with '[', measures the name
// twice and, at a header, compares it with the section's name until they
// differ; one that looks for a section's header compares each line's name
// with the header's.
const double keyLineNs = 6, keyHeaderNs = 40, keyHeaderByteNs = 5.5, sameByteNs = 10;
const double headerLineNs = 14;

// The walks that look for one section: the folded header they compare
// with, and the part of a walk through the first k lines whose names begin
// with '[', by k, of a walk for a key and of one for the header.
static struct {
    char want[foldedSize];
    double forKey[meaningItems + 2], forHeader[meaningItems + 2];
} walks;

static const char *textAt(unsigned at) { return at == none ? nullptr : m.text + at; }

// Keep the n bytes at s, NUL added, in m.text; their offset, none if no room.
static unsigned keep(const char *s, size_t n)
{
    if (m.used + n + 1 > sizeof m.text)
        return none;
    memcpy(m.text + m.used, s, n);
    m.text[m.used + n] = '\0';
    m.used += n + 1;
    return (unsigned)(m.used - n - 1);
}

// Put s into out, size bytes, folded as the library folds names when it
// compares them (utolower of each character), NUL added; its length, none if
// there is no room.
static size_t fold(const char *s, char *out, size_t size)
{
    size_t n = 0;
    for (const char *p = s; *p; n += usetc(out + n, utolower(ugetxc(&p))))
        if (n + 8 > size)
            return none;
    if (n + 1 > size)
        return none;
    out[n] = '\0';
    return n;
}

// Keep s folded as the library folds names when it compares them (utolower
// of each character); its offset, none if no room.
static unsigned keepFolded(const char *s)
{
    size_t n = fold(s, m.text + m.used, sizeof m.text - m.used);
    if (n == none)
        return none;
    m.used += n + 1;
    return (unsigned)(m.used - n - 1);
}

static unsigned hashOf(int section, const char *folded)
{
    unsigned h = 2166136261u ^ (unsigned)section;
    for (const char *p = folded; *p; p++)
        h = (h ^ (unsigned char)*p) * 16777619u;
    return h;
}

// The slot of (section, folded): the one holding it, or the free one where
// it would go.
static int slotOf(int section, const char *folded)
{
    int s = (int)(hashOf(section, folded) & (m.slotsUsed - 1));
    for (; m.slot[s]; s = (s + 1) & (m.slotsUsed - 1)) {
        const Item &it = m.items[m.slot[s] - 1];
        if (it.section == section && strcmp(m.text + it.folded, folded) == 0)
            break;
    }
    return s;
}

// Use twice the slots, and put every item in its slot there: the slots in
// use stay no more than half full, and as few as the items need, so that a
// small file touches few pages of the table.
static void moreSlots()
{
    for (int i = 0; i < m.count; i++)
        m.slot[m.items[i].slot] = 0;
    m.slotsUsed *= 2;
    for (int i = 0; i < m.count; i++) {
        Item &it = m.items[i];
        it.slot = slotOf(it.section, m.text + it.folded);
        m.slot[it.slot] = i + 1;
    }
}

// The item for name in section (-1: name is a section), made if new; -1 if
// there is no room.
static int itemFor(int section, const char *name)
{
    size_t mark = m.used;
    unsigned folded = keepFolded(name);
    if (folded == none)
        return -1;
    int s = slotOf(section, m.text + folded);
    if (m.slot[s]) {
        m.used = mark;   // known already: the folded copy is not needed
        return m.slot[s] - 1;
    }
    int cap = m.countBefore ? meaningItems + meaningAfterItems : meaningItems;
    unsigned named = keep(name, strlen(name));
    if (m.count == cap || named == none)
        return -1;
    if (2 * (m.count + 1) > m.slotsUsed) {
        moreSlots();
        s = slotOf(section, m.text + folded);
    }
    m.items[m.count] = {section, named, folded, {none, none}, {false, false}, 0, 0, s};
    m.slot[s] = ++m.count;
    return m.count - 1;
}

// The state of one file's reading: which file, its current section (or
// skipped), the lines whose names begin with '[' and all lines so far, and
// what is kept.
struct Reading {
    int file, section;
    int brackets, line;
    MeaningFilter keep;
    void *user;   // the caller's, for keep
};

// Note where the item it of the file before first stands.
static void place(const Reading &r, Item *it)
{
    if (r.file == 0 && !it->in[0]) {
        it->line = r.line;
        it->headersBefore = r.brackets;
    }
}

// Note, for the costs of walks, that item it of the file before stands on a
// line whose name begins with '['.
static void noteBracket(Reading &r, int it)
{
    if (r.file == 0 && !r.keep && it >= 0)
        m.brackets[m.bracketCount++] = it;
    r.brackets++;
}

// Note, in the file before read with a filter, that a header begins at
// byte at: it ends the part open before it, and begins one if kept.
static void notePart(const Reading &r, size_t at, bool kept)
{
    if (r.file != 0 || !r.keep)
        return;
    if (m.partCount > 0 && m.partCount <= meaningPartsMost && m.parts[m.partCount - 1].end == 0)
        m.parts[m.partCount - 1].end = at;
    if (kept && m.partCount++ < meaningPartsMost)
        m.parts[m.partCount - 1] = {at, 0, r.line};
}

// Whether the reading keeps the header listed as name, or the entry key of
// its current section, and how.
static MeaningKeep kept(const Reading &r, const char *name, const char *key)
{
    if (!r.keep)
        return keepValue;
    if (key)
        return r.section == skipped ? keepNot : r.keep(r.user, m.text + m.items[r.section].folded, key);
    size_t mark = m.used;
    unsigned folded = keepFolded(name);
    MeaningKeep how = folded == none ? keepValue : r.keep(r.user, m.text + folded, nullptr);
    m.used = mark;
    return how;
}

// What the library makes of the line [line, len) alone: a header, an entry
// or neither, its name in (*names)[0], which free_config_entries frees.
enum LineKind { plainLine, headerLine, entryLine };
static LineKind readLine(const char *line, size_t len, const char ***names)
{
    set_config_data(line, (int)len);
    *names = nullptr;
    if (list_config_sections(names) == 1)
        return headerLine;
    free_config_entries(names);
    return list_config_entries(nullptr, names) == 1 ? entryLine : plainLine;
}

// Take what the library makes of one line. False if there is no room.
static bool takeLine(Reading &r, const char *text, size_t at, size_t len)
{
    const char *line = text + at, **names;
    bool ok = true;
    LineKind kind = readLine(line, len, &names);
    if (kind == headerLine) {
        int s = kept(r, names[0], nullptr) == keepNot ? skipped : itemFor(-1, names[0]);
        ok = s != -1;
        r.section = s;
        notePart(r, at, s >= 0);
        if (s >= 0) {
            place(r, &m.items[s]);
            m.items[s].in[r.file] = true;
        }
        noteBracket(r, s);
    } else if (kind == entryLine) {
        MeaningKeep how = kept(r, nullptr, names[0]);
        int e = how == keepNot ? -1 : itemFor(r.section, names[0]);
        ok = how == keepNot || e >= 0;
        Item *it = e >= 0 ? &m.items[e] : nullptr;
        if (it)
            place(r, it);
        if (names[0][0] == '[')
            noteBracket(r, e);
        // The first entry of a key is the one a lookup finds.
        if (it && !it->in[r.file]) {
            it->in[r.file] = true;
            const char *value = get_config_string(nullptr, names[0], nullptr);
            const char *was = textAt(it->value[0]);
            if (value && how == keepPresence)
                it->value[r.file] = present;
            else if (value && r.file == 1 && was && strcmp(was, value) == 0)
                it->value[1] = it->value[0];
            else if (value && (it->value[r.file] = keep(value, strlen(value))) == none)
                ok = false;
        }
    }
    free_config_entries(&names);
    return ok;
}

// Forget the items from first on, and free their hash slots; the earlier
// items' probes never pass a later one's slot.
static void forgetItems(int first)
{
    for (int i = first; i < m.count; i++)
        m.slot[m.items[i].slot] = 0;
    m.count = first;
}

// Forget what an earlier file after was taken: its items, its text, its
// marks on the items of the file before.
static void forgetAfter()
{
    forgetItems(m.countBefore);
    m.used = m.usedBefore;
    for (int i = 0; i < m.count; i++) {
        m.items[i].value[1] = none;
        m.items[i].in[1] = false;
    }
}

// (In UTF-8, which the programs read alone, no character holds the bytes of
// a line end.)
size_t meaningNextLine(const char *text, size_t at, size_t len, size_t *end)
{
    while (at < len && text[at] != '\r' && text[at] != '\n')
        at++;
    *end = at;
    if (at == len)
        return at;
    return at + (at + 1 < len && text[at + 1] != text[at] && (text[at + 1] == '\r' || text[at + 1] == '\n') ? 2 : 1);
}

// Take each line of text into the meaning through a configuration of the
// library's of its own; false if there is no room.
static bool readLines(Reading &r, const char *text, size_t len)
{
    push_config_state();
    bool ok = r.section >= 0;
    size_t end;
    for (size_t at = 0, next; ok && at < len; at = next) {
        next = meaningNextLine(text, at, len, &end);
        r.line++;
        if (end > at)
            ok = takeLine(r, text, at, end - at);
    }
    notePart(r, len, false);
    pop_config_state();
    return ok;
}

MeaningTaken takeMeaning(int file, const char *text, size_t len, MeaningFilter keep, void *user, int *stopLine)
{
    if (file == 0) {
        forgetItems(0);
        m.countBefore = 0;
        m.slotsUsed = firstSlots;
        m.used = m.usedBefore = 0;
        m.bracketCount = m.partCount = 0;
        keepFolded("");   // the text that a value kept as present points to
    } else {
        forgetAfter();
    }
    Reading r = {file, itemFor(-1, ""), 0, 0, keep, user};   // the entries before the first header
    m.items[0].in[file] = true;
    bool ok = readLines(r, text, len);
    if (stopLine)
        *stopLine = r.line;
    if (file == 0) {
        m.countBefore = m.count;
        m.usedBefore = m.used;
        m.lineCount = r.line;
        walks.want[0] = '\x01';   // no folded name begins so: the walks are to be costed anew
    }
    return ok ? meaningTaken : meaningNoRoom;
}

int meaningParts(const MeaningPart **parts)
{
    *parts = m.parts;
    return m.partCount;
}

// The item of name in section (-1: a section) in the meaning taken, or -1.
static int findItem(int section, const char *name)
{
    size_t mark = m.used;
    unsigned folded = keepFolded(name);
    int s = folded == none ? -1 : slotOf(section, m.text + folded);
    m.used = mark;
    return s >= 0 && m.slot[s] ? m.slot[s] - 1 : -1;
}

// Put the name by which a lookup of section finds its header into listed:
// in brackets, unless it begins with '[' or ends with ']' already, and ""
// for the entries before the first header. False if it is too long to be
// found.
static bool lookupName(const char *section, char listed[nameSize + 2])
{
    size_t n = strlen(section);
    if (n > (size_t)nameMaxBytes)
        return false;
    snprintf(listed, nameSize + 2, "%s%s%s", n && section[0] != '[' ? "[" : "", section,
             n && section[n - 1] != ']' ? "]" : "");
    return true;
}

// The item of the section named section, as a lookup names it, or -1. The
// library looks up a section whose name begins with '#' in another store,
// where this program keeps nothing.
static int findSection(const char *section)
{
    char listed[nameSize + 2];
    if (!lookupName(section, listed) || (listed[0] == '[' && listed[1] == '#'))
        return -1;
    return findItem(-1, listed);
}

bool meaningFoldedLookup(const char *section, char *out, size_t size)
{
    char listed[nameSize + 2];
    if (!lookupName(section, listed) || (listed[0] == '[' && listed[1] == '#'))
        return false;
    return fold(listed, out, size) != none;
}

void foldTable(TableFolded *t)
{
    if (!meaningFoldedLookup(listSection, t->list))
        t->list[0] = '\0';
    for (int u = 0; u < unitNum; u++)
        if (!meaningFoldedLookup(unitName[u], t->unit[u]))
            t->unit[u][0] = '\0';
}

bool meaningHasSection(const char *section)
{
    int s = findSection(section);
    return s >= 0 && m.items[s].in[0];
}

const char *meaningValue(const char *section, const char *key)
{
    int s = findSection(section);
    int e = s >= 0 ? findItem(s, key) : -1;
    return e >= 0 ? textAt(m.items[e].value[0]) : nullptr;
}

int meaningListEnd(int from)
{
    char key[unitKeySize];
    int n = from;
    while (n < listCountMost && (unitKey(key, n), meaningValue(listSection, key)))
        n++;
    return n;
}

// Make walks hold the walks that look for the header whose folded name is
// want.
static void costWalks(const char *want)
{
    snprintf(walks.want, sizeof walks.want, "%s", want);
    walks.forKey[0] = walks.forHeader[0] = 0;
    for (int k = 0; k < m.bracketCount; k++) {
        const Item &h = m.items[m.brackets[k]];
        const char *f = m.text + h.folded;
        size_t same = 0;
        while (f[same] && f[same] == want[same])
            same++;
        // Only a header's name is compared with the section's in a walk for
        // a key; every line's is in a walk for the header.
        double compare = sameByteNs * (double)(same + 1);
        walks.forKey[k + 1] = walks.forKey[k] + keyHeaderNs + keyHeaderByteNs * (double)strlen(m.text + h.name) +
                              (h.section < 0 ? compare : 0);
        walks.forHeader[k + 1] = walks.forHeader[k] + compare;
    }
}

double meaningWalk(const char *section, const char *key, bool *found)
{
    char want[foldedSize];
    if (!meaningFoldedLookup(section, want, sizeof want))
        want[0] = '\0';
    if (strcmp(want, walks.want) != 0)
        costWalks(want);
    int s = findSection(section);
    int e = s >= 0 && key ? findItem(s, key) : s;
    *found = e >= 0 && m.items[e].in[0];
    const double *headers = key ? walks.forKey : walks.forHeader;
    double line = key ? keyLineNs : headerLineNs;
    if (!*found)
        return line * m.lineCount + headers[m.bracketCount];
    const Item &it = m.items[e];
    return line * it.line + headers[it.headersBefore + (key ? 0 : 1)];
}

double meaningWalkAdded(size_t headerBytes)
{
    return keyLineNs + headerLineNs +
           (headerBytes ? keyHeaderNs + (keyHeaderByteNs + 2 * sameByteNs) * (double)headerBytes : 0);
}

void meaningSize(int *lines, int *brackets, size_t *bytes)
{
    *lines = m.lineCount;
    *brackets = m.bracketCount;
    *bytes = 0;
    for (int k = 0; k < m.bracketCount; k++)
        *bytes += strlen(m.text + m.items[m.brackets[k]].name);
}

size_t meaningOfLine(const char *line, size_t len, char *out, size_t size)
{
    const char **names;
    int n;
    LineKind kind = readLine(line, len, &names);
    if (kind == headerLine)
        n = snprintf(out, size, "h%s", names[0]);
    else if (kind == entryLine)
        n = snprintf(out, size, "e%s%c%s", names[0], '\0', get_config_string(nullptr, names[0], ""));
    else
        n = snprintf(out, size, "-");
    free_config_entries(&names);
    return n < 0 ? 0 : (size_t)n < size ? (size_t)n : size - 1;
}

bool meaningHeaderFolded(const char *line, size_t len, char out[foldedSize])
{
    const char **names;
    push_config_state();
    bool header = readLine(line, len, &names) == headerLine && fold(names[0], out, foldedSize) != none;
    free_config_entries(&names);
    pop_config_state();
    return header;
}

bool walkMeanings(MeaningVisit visit, void *user)
{
    for (int i = 1; i < m.count; i++) {
        const Item &it = m.items[i];
        const char *section = m.text + m.items[it.section < 0 ? i : it.section].name;
        bool ok = it.section < 0 ? visit(user, section, nullptr, it.in[0] ? "" : nullptr, it.in[1] ? "" : nullptr)
                                 : visit(user, section, m.text + it.name, textAt(it.value[0]), textAt(it.value[1]));
        if (!ok)
            return false;
    }
    return true;
}
