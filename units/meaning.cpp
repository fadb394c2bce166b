// The meaning of an INI file's text as the library reads it: every section it
// has, and for every section and key the value a lookup gives. The library is
// handed one line at a time and says what the line is (a header, an entry or
// neither), so the whole file is taken in time that grows with its length;
// lookups then match names folded as the library folds them when it compares.
#include "meaning.h"

#include <allegro.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// The names, folded names and values of a text: a folded name has at most
// one and a half times the bytes of its name, and a line holds at least a
// byte and its end for the three NULs, so four times the text's bytes are
// room for all of them.
const size_t textPerByte = 4;

const unsigned none = ~0u;          // no text: an absent value, or no key
const unsigned present = 0;         // a value kept as present only: the first text kept, ""
const int skipped = -2;             // the section being read is not kept
const int firstSlots = 1 << 10;     // the slots in use at first

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
    int named;           // a section's entries; an entry's: those of its section before it; both in walks
    int slot;            // its hash slot
};

// All the state of the meanings, in one place. Its tables grow with the
// texts taken, and are kept for the next taking; only offsets and indexes
// into them are kept, so they may move as they grow.
static struct {
    char *text;                   // NUL-terminated names and values
    size_t textCap;               // its bytes
    size_t used, usedBefore;      // bytes of text in use, and by the file before
    Item *items;                  // the sections and entries
    size_t itemCap;               // room for so many
    int count, countBefore;       // items in use, and by the file before
    int *slot;                    // item index + 1 by hash of (section, folded name); 0 free
    size_t slotCap;               // room for so many
    int slotsUsed;                // the slots in use, a power of two: those that the items touch
    int *brackets;                // the item of each line of the file before whose name begins with '[', kept whole
    size_t bracketCap;            // room for so many
    int bracketCount;             // those lines
    MeaningCounts counts;         // of the file before
    MeaningPart *parts;           // the parts of the file before under its kept headers
    size_t partCap;               // room for so many
    int partCount;                // parts in use
    unsigned taking;              // the takings so far: the last is the meaning held
} m;

// Make *table hold at least need elements, *cap of them now, keeping those
// it holds; the elements added are zero. False if the system has not the
// memory.
template <typename T>
static bool grow(T **table, size_t *cap, size_t need)
{
    if (need <= *cap)
        return true;
    size_t n = *cap ? *cap : 64;
    while (n < need)
        n *= 2;
    T *p = (T *)realloc(*table, n * sizeof(T));
    if (!p)
        return false;
    memset(p + *cap, 0, (n - *cap) * sizeof(T));
    *table = p;
    *cap = n;
    return true;
}

static const char *textAt(unsigned at) { return at == none ? nullptr : m.text + at; }

// Keep the n bytes at s, NUL added, in m.text; their offset, none if no room.
static unsigned keep(const char *s, size_t n)
{
    if (m.used + n + 1 > m.textCap)
        return none;
    memcpy(m.text + m.used, s, n);
    m.text[m.used + n] = '\0';
    m.used += n + 1;
    return (unsigned)(m.used - n - 1);
}

// Keep s folded as the library folds names when it compares them (utolower
// of each character); its offset, none if no room.
static unsigned keepFolded(const char *s)
{
    size_t n = foldName(s, m.text + m.used, m.textCap - m.used);
    if (n == foldNoRoom)
        return none;
    m.used += n + 1;
    return (unsigned)(m.used - n - 1);
}

// FNV-1a of the name after the section, its bits mixed at the end: the low
// bits that pick a slot would otherwise follow the section's low bits alone,
// and the same names in many sections would crowd together.
static unsigned hashOf(int section, const char *folded)
{
    unsigned h = 2166136261u;
    for (int i = 0; i < 4; i++)
        h = (h ^ (((unsigned)section >> (8 * i)) & 0xFF)) * 16777619u;
    for (const char *p = folded; *p; p++)
        h = (h ^ (unsigned char)*p) * 16777619u;
    h ^= h >> 16;
    h *= 0x85EBCA6Bu;
    h ^= h >> 13;
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
// use stay no more than half full, and as few as the items need. False if
// there is no memory for them.
static bool moreSlots()
{
    if (!grow(&m.slot, &m.slotCap, 2 * (size_t)m.slotsUsed))
        return false;
    for (int i = 0; i < m.count; i++)
        m.slot[m.items[i].slot] = 0;
    m.slotsUsed *= 2;
    for (int i = 0; i < m.count; i++) {
        Item &it = m.items[i];
        it.slot = slotOf(it.section, m.text + it.folded);
        m.slot[it.slot] = i + 1;
    }
    return true;
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
    unsigned named = keep(name, strlen(name));
    if (named == none || !grow(&m.items, &m.itemCap, m.count + 1))
        return -1;
    if (2 * (m.count + 1) > m.slotsUsed) {
        if (!moreSlots())
            return -1;
        s = slotOf(section, m.text + folded);
    }
    m.items[m.count] = {section, named, folded, {none, none}, {false, false}, 0, 0, 0, s};
    m.slot[s] = ++m.count;
    return m.count - 1;
}

// The state of one file's reading: which file, its current section (or
// skipped), the lines so far, what is kept, and whether parts are noted;
// the lines that a walk of the library's over the text passes so far, and
// those of them whose names begin with '[': all of them, or where parts are
// noted those of the parts, as the library walks them between marks.
struct Reading {
    int file, section;
    int line;
    MeaningFilter keep;
    void *user;          // the caller's, for keep
    bool parts, inPart;  // parts are noted; the current section is one
    int walkLines, walkBrackets;
    int named, walkNamed;   // the lines that are headers or entries, and those a walk passes
    size_t nameBytes;       // the bytes of their names
    bool overrun;        // it stopped at a line that the library would overrun
};

// True if a walk of the library's passes the current line.
static bool walked(const Reading &r)
{
    return !r.parts || r.inPart;
}

// Note where the item it of the file before first stands.
static void place(const Reading &r, Item *it)
{
    if (r.file == 0 && !it->in[0]) {
        it->line = r.walkLines;
        it->headersBefore = r.walkBrackets;
        if (it->section >= 0)
            it->named = m.items[it->section].named;
    }
}

// Note, for the costs of walks, that item it (-1: one not kept) stands on a
// line whose name begins with '['. False if there is no memory for that.
static bool noteBracket(Reading &r, int it)
{
    if (!walked(r))
        return true;
    r.walkBrackets++;
    if (r.file != 0 || (r.keep && !r.parts) || it < 0)
        return true;
    if (!grow(&m.brackets, &m.bracketCap, m.bracketCount + 1))
        return false;
    m.brackets[m.bracketCount++] = it;
    return true;
}

// Note, where parts are noted, that a header begins at byte at: it ends the
// part open before it, and the empty line after that part, and begins a
// part after its mark if part says so. False if there is no memory for that.
static bool notePart(Reading &r, size_t at, bool part)
{
    if (r.file != 0 || !r.parts)
        return true;
    if (r.inPart) {
        m.parts[m.partCount - 1].end = at;
        r.walkLines++;
    }
    r.inPart = part;
    if (!part)
        return true;
    if (!grow(&m.parts, &m.partCap, m.partCount + 1))
        return false;
    r.walkLines++;
    m.parts[m.partCount++] = {at, 0, r.line, m.text + m.items[r.section].folded};
    return true;
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

// Take what the library makes of one line. False if there is no room, or
// the library would overrun the line.
static bool takeLine(Reading &r, const char *text, size_t at, size_t len)
{
    const char *line = text + at, **names;
    bool ok = true;
    LineKind kind = iniReadLine(line, len, &names);
    if (kind == overrunLine) {
        r.overrun = true;
        ok = false;
    } else if (kind == headerLine) {
        MeaningKeep how = kept(r, names[0], nullptr);
        int s = how == keepNot ? skipped : itemFor(-1, names[0]);
        r.section = s;
        ok = s != -1 && notePart(r, at, how == keepPart);
        r.walkLines += walked(r);
        if (s >= 0) {
            place(r, &m.items[s]);
            m.items[s].in[r.file] = true;
        }
        ok = ok && noteBracket(r, s);
    } else if (kind == entryLine) {
        MeaningKeep how = kept(r, nullptr, names[0]);
        int e = how == keepNot ? -1 : itemFor(r.section, names[0]);
        ok = how == keepNot || e >= 0;
        Item *it = e >= 0 ? &m.items[e] : nullptr;
        r.walkLines += walked(r);
        if (it)
            place(r, it);
        // A walk for a key compares the name of each entry of its section.
        if (r.file == 0 && r.section >= 0 && walked(r))
            m.items[r.section].named++;
        if (names[0][0] == '[')
            ok = ok && noteBracket(r, e);
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
    if (kind == plainLine)
        r.walkLines += walked(r);
    if (kind == headerLine || kind == entryLine) {
        r.named++;
        r.nameBytes += strlen(names[0]);
        r.walkNamed += walked(r);
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

// Take each line of text into the meaning through a configuration of the
// library's of its own; false if there is no room.
static bool readLines(Reading &r, const char *text, size_t len)
{
    push_config_state();
    bool ok = r.section >= 0;
    size_t end;
    for (size_t at = 0, next; ok && at < len; at = next) {
        next = iniNextLine(text, at, len, &end);
        r.line++;
        if (end > at)
            ok = takeLine(r, text, at, end - at);
        else
            r.walkLines += walked(r);
    }
    ok = ok && notePart(r, len, false);
    r.walkLines += r.parts;   // the mark after the last part
    pop_config_state();
    return ok;
}

// Stop the program if mn is not the meaning held: a lookup in it would
// answer from another file.
static void held(Meaning mn)
{
    if (mn.taking != m.taking || mn.taking == 0) {
        fputs("internal error: a meaning was looked up after another was taken\n", stderr);
        abort();
    }
}

// Take the text's meaning as file 0, the file before, or file 1, its
// updated copy.
static MeaningTaken take(int file, const char *text, size_t len, MeaningFilter keep, void *user, bool parts,
                         int *stopLine)
{
    if (file == 0) {
        forgetItems(0);
        m.countBefore = 0;
        m.slotsUsed = firstSlots;
        m.used = m.usedBefore = 0;
        m.bracketCount = m.partCount = 0;
    } else {
        forgetAfter();
    }
    // The text is taken whole where it moves no more, since the parts point
    // into it.
    bool ok = grow(&m.slot, &m.slotCap, firstSlots) && grow(&m.text, &m.textCap, m.used + textPerByte * len + 64);
    if (ok && file == 0)
        keepFolded("");   // the text that a value kept as present points to
    // The entries before the first header are a section of their own.
    Reading r = {file, ok ? itemFor(-1, "") : -1, 0, keep, user, parts, false, 0, 0, 0, 0, 0, false};
    if (r.section >= 0)
        m.items[0].in[file] = true;
    ok = readLines(r, text, len);
    if (stopLine)
        *stopLine = r.line;
    if (file == 0) {
        m.countBefore = m.count;
        m.usedBefore = m.used;
        m.counts = {r.line, r.named, r.walkLines, r.walkNamed, m.count, r.nameBytes};
    }
    return ok ? meaningTaken : r.overrun ? meaningOverrun : meaningNoRoom;
}

MeaningTaken takeMeaning(Meaning *mn, const char *text, size_t len, MeaningFilter keep, void *user, int *stopLine)
{
    mn->taking = ++m.taking;
    return take(0, text, len, keep, user, false, stopLine);
}

MeaningTaken takeMeaningOfParts(Meaning *mn, const char *text, size_t len, MeaningFilter parts, void *user,
                                int *stopLine)
{
    mn->taking = ++m.taking;
    return take(0, text, len, parts, user, true, stopLine);
}

MeaningTaken takeUpdated(Meaning mn, const char *text, size_t len, int *stopLine)
{
    held(mn);
    return take(1, text, len, nullptr, nullptr, false, stopLine);
}

int meaningParts(Meaning mn, const MeaningPart **parts)
{
    held(mn);
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

// The item of the section named section, as a lookup names it, or -1.
static int findSection(const char *section)
{
    char listed[listedSize];
    if (!iniLookupName(section, listed))
        return -1;
    return findItem(-1, listed);
}

bool meaningHasSection(Meaning mn, const char *section)
{
    held(mn);
    int s = findSection(section);
    return s >= 0 && m.items[s].in[0];
}

const char *meaningValue(Meaning mn, const char *section, const char *key)
{
    held(mn);
    int s = findSection(section);
    int e = s >= 0 ? findItem(s, key) : -1;
    return e >= 0 ? textAt(m.items[e].value[0]) : nullptr;
}

int meaningListEnd(Meaning mn, int from)
{
    char key[unitKeySize];
    int n = from;
    while (n < listCountMost && (unitKey(key, n), meaningValue(mn, listSection, key)))
        n++;
    return n;
}

MeaningCounts meaningCounts(Meaning mn)
{
    held(mn);
    return m.counts;
}

int meaningBrackets(Meaning mn)
{
    held(mn);
    return m.bracketCount;
}

size_t meaningBracket(Meaning mn, int k, const char **folded, bool *header)
{
    held(mn);
    const Item &it = m.items[m.brackets[k]];
    *folded = m.text + it.folded;
    *header = it.section < 0;
    return strlen(m.text + it.name);
}

bool meaningPlace(Meaning mn, const char *section, const char *key, MeaningPlace *place)
{
    held(mn);
    int s = findSection(section);
    int e = s >= 0 && key ? findItem(s, key) : s;
    if (e < 0 || !m.items[e].in[0])
        return false;
    *place = {m.items[e].line, m.items[e].headersBefore, m.items[e].named};
    return true;
}

bool walkMeanings(Meaning mn, MeaningVisit visit, void *user)
{
    held(mn);
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
