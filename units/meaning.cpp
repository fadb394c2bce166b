// The meaning of an INI file's text as the library reads it: every section it
// has, and for every section and key the value a lookup gives. The library is
// handed one line at a time and says what the line is (a header, an entry or
// neither), so the whole file is taken in time that grows with its length;
// lookups then match names folded as the library folds them when it compares.
#include "meaning.h"

#include <allegro.h>
#include <stdio.h>
#include <string.h>

// Each line holds at most one section or entry. The copy may add the units'
// entries and sections; anything more than that is a change of meaning
// already.
const int meaningItems = iniMaxLines + 1;
const int meaningAfterItems = 4 * maxUnits * (statCount + 1);
const size_t meaningTextSize = 4 * iniMaxBytes;   // names, folded names and values of both files

const unsigned none = ~0u;          // no text: an absent value, or no key
const unsigned present = 0;         // a value kept as present only: the first text kept, ""
const int skipped = -2;             // the section being read is not kept
const int slotCount = 1 << 17;      // hash slots, over twice all items
static_assert(slotCount >= 2 * (meaningItems + meaningAfterItems), "the hash table stays at most half full");

// A section (section -1) or an entry of section `section`, with offsets of its
// name as the library lists it, its folded name, its value in the file before
// and after the update (none: absent or empty, which a lookup takes as its
// default) and, for a section, the key of the last entry of its first part.
struct Item {
    int section;
    unsigned name, folded, value[2], endKey;
    bool in[2];   // seen in that file; for a section, its header
    bool ended;   // a section: an empty line ends its first part in the file before
};

// All the state of the meanings, in one place.
static struct {
    char text[meaningTextSize];   // NUL-terminated names and values
    size_t used, usedBefore;      // bytes of text in use, and by the file before
    Item items[meaningItems + meaningAfterItems];
    int count, countBefore;       // items in use, and by the file before
    int slot[slotCount];          // item index + 1 by hash of (section, folded name); 0 free
} m;

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

// Keep s folded as the library folds names when it compares them (utolower
// of each character); its offset, none if no room.
static unsigned keepFolded(const char *s)
{
    size_t start = m.used;
    for (const char *p = s; *p;) {
        if (m.used + 8 > sizeof m.text)
            return none;
        m.used += usetc(m.text + m.used, utolower(ugetxc(&p)));
    }
    if (m.used + 1 > sizeof m.text)
        return none;
    m.text[m.used++] = '\0';
    return (unsigned)start;
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
    int s = (int)(hashOf(section, folded) & (slotCount - 1));
    for (; m.slot[s]; s = (s + 1) & (slotCount - 1)) {
        const Item &it = m.items[m.slot[s] - 1];
        if (it.section == section && strcmp(m.text + it.folded, folded) == 0)
            break;
    }
    return s;
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
    unsigned kept = keep(name, strlen(name));
    if (m.count == cap || kept == none)
        return -1;
    m.items[m.count] = {section, kept, folded, {none, none}, none, {false, false}, false};
    m.slot[s] = ++m.count;
    return m.count - 1;
}

// The state of one file's reading: which file, its current section (or
// skipped), whether that header is the section's first in the file, the
// headers so far, and what is kept.
struct Reading {
    int file, section;
    bool firstPart;
    int headers;
    MeaningFilter keep;
};

// Whether the reading keeps the header listed as name, or the entry key of
// its current section, and how.
static MeaningKeep kept(const Reading &r, const char *name, const char *key)
{
    if (!r.keep)
        return keepValue;
    if (!key)
        return r.keep(name, nullptr);
    return r.section == skipped ? keepNot : r.keep(m.text + m.items[r.section].name, key);
}

// Take what the library makes of one line. False if there is no room.
static bool takeLine(Reading &r, const char *line, size_t len)
{
    set_config_data(line, (int)len);
    const char **names = nullptr;
    bool ok = true;
    if (list_config_sections(&names) == 1) {
        r.headers++;
        int s = kept(r, names[0], nullptr) == keepNot ? skipped : itemFor(-1, names[0]);
        ok = s != -1;
        r.section = s;
        if (s >= 0) {
            r.firstPart = !m.items[s].in[r.file];
            m.items[s].in[r.file] = true;
        }
    } else if (free_config_entries(&names); list_config_entries(nullptr, &names) == 1) {
        MeaningKeep how = kept(r, nullptr, names[0]);
        int e = how == keepNot ? -1 : itemFor(r.section, names[0]);
        ok = how == keepNot || e >= 0;
        Item *it = e >= 0 ? &m.items[e] : nullptr;
        if (it && r.file == 0 && r.firstPart)
            m.items[r.section].endKey = it->name;
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

// Forget what an earlier file after was taken: its items, its text, its
// marks on the items of the file before.
static void forgetAfter()
{
    for (int &s : m.slot)
        if (s > m.countBefore)
            s = 0;
    m.count = m.countBefore;
    m.used = m.usedBefore;
    for (int i = 0; i < m.count; i++) {
        m.items[i].value[1] = none;
        m.items[i].in[1] = false;
    }
}

// The character at p, and its width in bytes, as the library reads it: in
// valid UTF-8 the character there, but a byte that is not may stand for a
// line end or take following bytes with it.
static int charAt(const char *p, int *width)
{
    if ((unsigned char)*p < 0x80) {   // what the library's reading gives, faster
        *width = 1;
        return *p;
    }
    *width = uwidth(p);
    return ugetc(p);
}

// The start of the line after the one at text[at], len bytes in all and a
// NUL after them; *end is where that line's text ends. Lines end as the
// library ends them: at a character CR or LF, either of which may be
// followed by the other as part of the end.
static size_t nextLine(const char *text, size_t at, size_t len, size_t *end)
{
    int c = 0, width = 1;
    while (at < len && (c = charAt(text + at, &width)) != '\r' && c != '\n')
        at += width;
    *end = at < len ? at : len;
    if (at >= len)
        return len;
    at += width;
    int next = at < len ? charAt(text + at, &width) : 0;
    return at + ((c == '\r' && next == '\n') || (c == '\n' && next == '\r') ? width : 0);
}

MeaningTaken takeMeaning(int file, const char *text, size_t len, MeaningFilter keep)
{
    size_t end;
    if (file == 0) {
        int lines = 0;
        for (size_t at = 0; !keep && at < len && lines <= iniMaxLines; lines++)
            at = nextLine(text, at, len, &end);
        if (lines > iniMaxLines)
            return meaningTooManyLines;
        memset(m.slot, 0, sizeof m.slot);
        m.count = m.countBefore = 0;
        m.used = m.usedBefore = 0;
        keepFolded("");   // the text that a value kept as present points to
    } else {
        forgetAfter();
    }
    Reading r = {file, itemFor(-1, ""), true, 0, keep};   // the entries before the first header
    bool ok = r.section >= 0;
    m.items[0].in[file] = true;
    for (size_t at = 0, next; ok && at < len; at = next) {
        next = nextLine(text, at, len, &end);
        if (end > at)
            ok = takeLine(r, text + at, end - at);
        else if (file == 0 && r.firstPart && r.section >= 0)
            m.items[r.section].ended = true;
        if (file == 0 && !keep && r.headers > iniMaxSections)
            return meaningTooManySections;
    }
    if (file == 0) {
        m.countBefore = m.count;
        m.usedBefore = m.used;
    }
    return ok ? meaningTaken : meaningNoRoom;
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

bool meaningSameSection(const char *listed, const char *section)
{
    char name[nameSize + 2];
    return lookupName(section, name) && ustricmp(name, listed) == 0;
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

const char *meaningEndKey(const char *section)
{
    int s = findSection(section);
    return s >= 0 ? textAt(m.items[s].endKey) : nullptr;
}

bool meaningPartEnded(const char *section)
{
    int s = findSection(section);
    return s >= 0 && m.items[s].ended;
}

bool walkMeanings(MeaningVisit visit)
{
    for (int i = 1; i < m.count; i++) {
        const Item &it = m.items[i];
        const char *section = m.text + m.items[it.section < 0 ? i : it.section].name;
        bool ok = it.section < 0 ? visit(section, nullptr, it.in[0] ? "" : nullptr, it.in[1] ? "" : nullptr)
                                 : visit(section, m.text + it.name, textAt(it.value[0]), textAt(it.value[1]));
        if (!ok)
            return false;
    }
    return true;
}
