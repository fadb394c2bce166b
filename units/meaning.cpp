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
    MeaningSpan *spans;           // the spans of the file before under the headers its caller names
    size_t spanCap;               // room for so many
    int spanCount;                // spans in use
    unsigned taking;              // the takings so far: the last is the meaning held
} store;

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

static const char *textAt(unsigned at) { return at == none ? nullptr : store.text + at; }

// Put the n bytes at s, NUL added, into store.text; their offset, none if no room.
// Make room for n more bytes of text: the updated copy's text grows as it
// is taken; the file before's is taken whole at first, since its spans
// point into it.
static bool room(size_t n)
{
    return store.used + n <= store.textCap ||
           (store.countBefore > 0 && grow(&store.text, &store.textCap, store.used + n));
}

static unsigned putText(const char *s, size_t n)
{
    if (!room(n + 1))
        return none;
    memcpy(store.text + store.used, s, n);
    store.text[store.used + n] = '\0';
    store.used += n + 1;
    return (unsigned)(store.used - n - 1);
}

// Put s into store.text folded as the library folds names when it compares
// them (utolower of each character); its offset, none if no room.
static unsigned putFolded(const char *s)
{
    // A folded name has at most one and a half times the bytes of its name.
    if (!room(strlen(s) * 3 / 2 + 16))
        return none;
    size_t n = foldName(s, store.text + store.used, store.textCap - store.used);
    if (n == foldNoRoom)
        return none;
    store.used += n + 1;
    return (unsigned)(store.used - n - 1);
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
    int s = (int)(hashOf(section, folded) & (store.slotsUsed - 1));
    for (; store.slot[s]; s = (s + 1) & (store.slotsUsed - 1)) {
        const Item &it = store.items[store.slot[s] - 1];
        if (it.section == section && strcmp(store.text + it.folded, folded) == 0)
            break;
    }
    return s;
}

// Use twice the slots, and put every item in its slot there: the slots in
// use stay no more than half full, and as few as the items need. False if
// there is no memory for them.
static bool moreSlots()
{
    if (!grow(&store.slot, &store.slotCap, 2 * (size_t)store.slotsUsed))
        return false;
    for (int i = 0; i < store.count; i++)
        store.slot[store.items[i].slot] = 0;
    store.slotsUsed *= 2;
    for (int i = 0; i < store.count; i++) {
        Item &it = store.items[i];
        it.slot = slotOf(it.section, store.text + it.folded);
        store.slot[it.slot] = i + 1;
    }
    return true;
}

// The item for name in section (-1: name is a section), made if new; -1 if
// there is no room.
static int itemFor(int section, const char *name)
{
    size_t mark = store.used;
    unsigned folded = putFolded(name);
    if (folded == none)
        return -1;
    int s = slotOf(section, store.text + folded);
    if (store.slot[s]) {
        store.used = mark;   // known already: the folded copy is not needed
        return store.slot[s] - 1;
    }
    unsigned named = putText(name, strlen(name));
    if (named == none || !grow(&store.items, &store.itemCap, store.count + 1))
        return -1;
    if (2 * (store.count + 1) > store.slotsUsed) {
        if (!moreSlots())
            return -1;
        s = slotOf(section, store.text + folded);
    }
    store.items[store.count] = {section, named, folded, {none, none}, {false, false}, 0, 0, 0, s};
    store.slot[s] = ++store.count;
    return store.count - 1;
}

// The state of one file's reading: which file, its current section (or
// skipped), the lines so far, what is kept, and whether spans are noted;
// the lines that a walk of the library's over the text passes so far, and
// those of them whose names begin with '[': all of them, or where spans are
// noted those of the spans, as the library walks them between marks.
struct Reading {
    int file, section;
    int line;
    MeaningFilter keep;
    void *user;          // the caller's, for keep
    bool spans, inSpan;  // spans are noted; the current section is one
    int walkLines, walkBrackets;
    int named, walkNamed;   // the lines that are headers or entries, and those a walk passes
    size_t nameBytes;       // the bytes of their names
    bool overrun;        // it stopped at a line that the library would overrun
};

// True if a walk of the library's passes the current line.
static bool walked(const Reading &r)
{
    return !r.spans || r.inSpan;
}

// Note where the item it of the file before first stands.
static void place(const Reading &r, Item *it)
{
    if (r.file == 0 && !it->in[0]) {
        it->line = r.walkLines;
        it->headersBefore = r.walkBrackets;
        if (it->section >= 0)
            it->named = store.items[it->section].named;
    }
}

// Note, for the costs of walks, that item it (-1: one not kept) stands on a
// line whose name begins with '['. False if there is no memory for that.
static bool noteBracket(Reading &r, int it)
{
    if (!walked(r))
        return true;
    r.walkBrackets++;
    if (r.file != 0 || (r.keep && !r.spans) || it < 0)
        return true;
    if (!grow(&store.brackets, &store.bracketCap, store.bracketCount + 1))
        return false;
    store.brackets[store.bracketCount++] = it;
    return true;
}

// Note, where spans are noted, that a header begins at byte at: it ends the
// span open before it, and the empty line after that span, and begins a
// span after its mark if span says so. False if there is no memory for that.
static bool noteSpan(Reading &r, size_t at, bool span)
{
    if (r.file != 0 || !r.spans)
        return true;
    if (r.inSpan) {
        store.spans[store.spanCount - 1].end = at;
        r.walkLines++;
    }
    r.inSpan = span;
    if (!span)
        return true;
    if (!grow(&store.spans, &store.spanCap, store.spanCount + 1))
        return false;
    r.walkLines++;
    store.spans[store.spanCount++] = {at, 0, r.line, store.text + store.items[r.section].folded};
    return true;
}

// Whether the reading keeps the header listed as name, or the entry key of
// its current section, and how.
static MeaningKeep verdict(const Reading &r, const char *name, const char *key)
{
    if (!r.keep)
        return keepValue;
    if (key)
        return r.section == skipped ? keepNot : r.keep(r.user, store.text + store.items[r.section].folded, key);
    size_t mark = store.used;
    unsigned folded = putFolded(name);
    MeaningKeep how = folded == none ? keepValue : r.keep(r.user, store.text + folded, nullptr);
    store.used = mark;
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
        MeaningKeep how = verdict(r, names[0], nullptr);
        int s = how == keepNot ? skipped : itemFor(-1, names[0]);
        r.section = s;
        ok = s != -1 && noteSpan(r, at, how == keepSpan);
        r.walkLines += walked(r);
        if (s >= 0) {
            place(r, &store.items[s]);
            store.items[s].in[r.file] = true;
        }
        ok = ok && noteBracket(r, s);
    } else if (kind == entryLine) {
        MeaningKeep how = verdict(r, nullptr, names[0]);
        int e = how == keepNot ? -1 : itemFor(r.section, names[0]);
        ok = how == keepNot || e >= 0;
        Item *it = e >= 0 ? &store.items[e] : nullptr;
        r.walkLines += walked(r);
        if (it)
            place(r, it);
        // A walk for a key compares the name of each entry of its section.
        if (r.file == 0 && r.section >= 0 && walked(r))
            store.items[r.section].named++;
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
            else if (value && (it->value[r.file] = putText(value, strlen(value))) == none)
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
    for (int i = first; i < store.count; i++)
        store.slot[store.items[i].slot] = 0;
    store.count = first;
}

// Forget what an earlier file after was taken: its items, its text, its
// marks on the items of the file before.
static void forgetAfter()
{
    forgetItems(store.countBefore);
    store.used = store.usedBefore;
    for (int i = 0; i < store.count; i++) {
        store.items[i].value[1] = none;
        store.items[i].in[1] = false;
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
    ok = ok && noteSpan(r, len, false);
    r.walkLines += r.spans;   // the mark after the last span
    pop_config_state();
    return ok;
}

// Stop the program if mn is not the meaning in force: a lookup in it would
// answer from another file.
static void inForce(Meaning mn)
{
    if (mn.taking != store.taking || mn.taking == 0) {
        fputs("internal error: a meaning was looked up after another was taken\n", stderr);
        abort();
    }
}

// Take the text's meaning as file 0, the file before, or file 1, its
// updated copy.
static MeaningTaken take(int file, const char *text, size_t len, MeaningFilter keep, void *user, bool spans,
                         int *stopLine)
{
    if (file == 0) {
        forgetItems(0);
        store.countBefore = 0;
        store.slotsUsed = firstSlots;
        store.used = store.usedBefore = 0;
        store.bracketCount = store.spanCount = 0;
    } else {
        forgetAfter();
    }
    // The text is taken whole where it moves no more, since the spans point
    // into it.
    bool ok = grow(&store.slot, &store.slotCap, firstSlots) &&
              grow(&store.text, &store.textCap, store.used + (file == 0 ? textPerByte : 1) * len + 64);
    if (ok && file == 0)
        putFolded("");   // the text that a value kept as present points to
    // The entries before the first header are a section of their own.
    Reading r = {file, ok ? itemFor(-1, "") : -1, 0, keep, user, spans, false, 0, 0, 0, 0, 0, false};
    if (r.section >= 0)
        store.items[0].in[file] = true;
    ok = readLines(r, text, len);
    if (stopLine)
        *stopLine = r.line;
    if (file == 0) {
        store.countBefore = store.count;
        store.usedBefore = store.used;
        store.counts = {r.line, r.named, r.walkLines, r.walkNamed, store.count, r.nameBytes};
    }
    return ok ? meaningTaken : r.overrun ? meaningOverrun : meaningNoRoom;
}

MeaningTaken takeMeaning(Meaning *mn, const char *text, size_t len, MeaningFilter keep, void *user, int *stopLine)
{
    mn->taking = ++store.taking;
    return take(0, text, len, keep, user, false, stopLine);
}

MeaningTaken takeMeaningWithSpans(Meaning *mn, const char *text, size_t len, MeaningFilter spans, void *user,
                                int *stopLine)
{
    mn->taking = ++store.taking;
    return take(0, text, len, spans, user, true, stopLine);
}

MeaningTaken takeUpdated(Meaning mn, const char *text, size_t len, int *stopLine)
{
    inForce(mn);
    return take(1, text, len, nullptr, nullptr, false, stopLine);
}

int meaningSpans(Meaning mn, const MeaningSpan **spans)
{
    inForce(mn);
    *spans = store.spans;
    return store.spanCount;
}

// The item of name in section (-1: a section) in the meaning taken, or -1.
static int findItem(int section, const char *name)
{
    size_t mark = store.used;
    unsigned folded = putFolded(name);
    int s = folded == none ? -1 : slotOf(section, store.text + folded);
    store.used = mark;
    return s >= 0 && store.slot[s] ? store.slot[s] - 1 : -1;
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
    inForce(mn);
    int s = findSection(section);
    return s >= 0 && store.items[s].in[0];
}

const char *meaningValue(Meaning mn, const char *section, const char *key)
{
    inForce(mn);
    int s = findSection(section);
    int e = s >= 0 ? findItem(s, key) : -1;
    return e >= 0 ? textAt(store.items[e].value[0]) : nullptr;
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
    inForce(mn);
    return store.counts;
}

int meaningBrackets(Meaning mn)
{
    inForce(mn);
    return store.bracketCount;
}

size_t meaningBracket(Meaning mn, int k, const char **folded, bool *header)
{
    inForce(mn);
    const Item &it = store.items[store.brackets[k]];
    *folded = store.text + it.folded;
    *header = it.section < 0;
    return strlen(store.text + it.name);
}

bool meaningPlace(Meaning mn, const char *section, const char *key, MeaningPlace *place)
{
    inForce(mn);
    int s = findSection(section);
    int e = s >= 0 && key ? findItem(s, key) : s;
    if (e < 0 || !store.items[e].in[0])
        return false;
    *place = {store.items[e].line, store.items[e].headersBefore, store.items[e].named};
    return true;
}

bool walkMeanings(Meaning mn, MeaningVisit visit, void *user)
{
    inForce(mn);
    for (int i = 1; i < store.count; i++) {
        const Item &it = store.items[i];
        const char *section = store.text + store.items[it.section < 0 ? i : it.section].name;
        bool ok = it.section < 0 ? visit(user, section, nullptr, it.in[0] ? "" : nullptr, it.in[1] ? "" : nullptr)
                                 : visit(user, section, store.text + it.name, textAt(it.value[0]), textAt(it.value[1]));
        if (!ok)
            return false;
    }
    return true;
}
