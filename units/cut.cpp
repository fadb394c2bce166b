// The spans of valdra.ini that csvtoini's update touches, cut out for the
// library and put back, line by line, from its saves. Every line that the
// update does not set stays as it was, its line end included.
#include "cut.h"

#include <stdlib.h>
#include <string.h>

// The line that stands between the spans in the library's copy: a comment,
// which the library keeps as it stands, that no file of text holds.
static const char mark[] = "#\x01 valdra-units part \x01";
const size_t markLen = sizeof mark - 1;
// What the text of the spans adds to each: a mark and its line end before
// it, a line end and an empty line after it.
const size_t spanAdds = markLen + 3;

// Append the n bytes at s to the spans' text.
static void addToCut(Cut *p, const char *s, size_t n)
{
    memcpy(p->text + p->len, s, n);
    p->len += n;
}

MeaningKeep touchedSpans(void *table, const char *section, const char *key)
{
    const TableFolded *t = (const TableFolded *)table;
    if (key)
        return keepValue;
    if (strcmp(section, t->list) == 0)
        return keepSpan;
    for (int u = 0; u < unitNum; u++)
        if (strcmp(section, t->unit[u]) == 0)
            return keepSpan;
    return keepValue;
}

// The name in table that is folded, which it holds: it outlasts the meaning.
static const char *tableName(const TableFolded *table, const char *folded)
{
    for (int u = 0; u < unitNum; u++)
        if (strcmp(folded, table->unit[u]) == 0)
            return table->unit[u];
    return table->list;
}

bool takeCut(Cut *p, const char *file, size_t len, Meaning mn, const TableFolded *table)
{
    const MeaningSpan *span;
    *p = {file, len, nullptr, 0, nullptr, 0, table->list};
    p->count = meaningSpans(mn, &span);
    p->span = (MeaningSpan *)malloc((p->count + 1) * sizeof *p->span);
    p->text = (char *)malloc(len + spanAdds * (p->count + 1) + 1);
    if (!p->span || !p->text) {
        failRun(iniNoRoom);
        return false;
    }
    for (int i = 0; i <= p->count; i++) {
        addToCut(p, mark, markLen);
        addToCut(p, "\n", 1);
        if (i == p->count)
            break;
        p->span[i] = span[i];
        p->span[i].folded = tableName(table, span[i].folded);
        const MeaningSpan &q = p->span[i];
        addToCut(p, file + q.start, q.end - q.start);
        char last = file[q.end - 1];
        if (last != '\r' && last != '\n')
            addToCut(p, "\n", 1);
        // The empty line, in a line end that cannot join the one before.
        addToCut(p, last == '\r' ? "\r" : "\n", 1);
    }
    p->text[p->len] = '\0';
    return true;
}

void dropCut(Cut *p)
{
    free(p->span);
    free(p->text);
    p->span = nullptr;
    p->text = nullptr;
}

// A save of the spans, walked line by line from the top: the text and
// length, where the current line begins and ends, and where the next begins.
struct Save {
    const char *text;
    size_t len, at, end, next;
};

// Make the save's current line the one that begins at at.
static void lineAt(Save &s, size_t at)
{
    s.at = at;
    s.next = at < s.len ? iniNextLine(s.text, at, s.len, &s.end) : (s.end = at);
}

// Go on to the save's next line.
static void advance(Save &s)
{
    lineAt(s, s.next);
}

// True if the save has a current line.
static bool inSave(const Save &s)
{
    return s.at < s.len;
}

// The text of the save's current line and its length; "" past the end.
static const char *current(const Save &s, size_t *n)
{
    *n = s.end - s.at;
    return s.text + s.at;
}

// True if the current lines of a and b hold the same text.
static bool sameLine(const Save &a, const Save &b)
{
    size_t an, bn;
    const char *at = current(a, &an), *bt = current(b, &bn);
    return inSave(a) && inSave(b) && an == bn && memcmp(at, bt, an) == 0;
}

// True if the current line of s is a mark.
static bool atMark(const Save &s)
{
    size_t n;
    const char *t = current(s, &n);
    return inSave(s) && n == markLen && memcmp(t, mark, n) == 0;
}

// The bytes of the key of the entry that the library saved as the n bytes
// at t ("key = value": a key holds no blank), 0 if they are no entry's.
static size_t keyBytes(const char *t, size_t n)
{
    size_t key = 0;
    while (key < n && t[key] != ' ')
        key++;
    return n && t[0] != '[' && key + 3 <= n && memcmp(t + key, " = ", 3) == 0 ? key : 0;
}

// True if the current lines of kept and saved are one entry, its value set.
static bool sameKey(const Save &kept, const Save &saved)
{
    size_t kn, sn;
    const char *k = current(kept, &kn), *s = current(saved, &sn);
    size_t key = keyBytes(k, kn);
    return key && sn >= key + 3 && memcmp(k, s, key + 3) == 0;
}

// True if the current line of kept is an entry of the list that the update
// removes: its index is a row's or more.
static bool removed(const Save &kept)
{
    size_t n;
    const char *t = current(kept, &n);
    size_t key = keyBytes(t, n);
    char name[unitKeySize];
    if (!key || key >= sizeof name)
        return false;
    memcpy(name, t, key);
    name[key] = '\0';
    return listIndex(name, listCountMost) >= unitNum;
}

// The updated file as it is put together: its text, of at most
// iniReadMaxBytes, and the line end owed to its last line, written once the
// next line shows that it does not join that one.
struct Out {
    char *text;
    size_t len, cap;
    const char *owed;     // the last line's line end, not yet written
    size_t owedLen;
    bool owedOurs;        // that line end is one the update chose
    bool open;            // the last line has no line end, nor one owed
    bool lastEmpty;       // the last line is empty
    bool full, joined;    // it would pass iniReadMaxBytes; a line end of the file would join the next
};

// Append the n bytes at s to the result.
static void add(Out &o, const char *s, size_t n)
{
    o.full = o.full || n > o.cap - o.len;
    if (o.full)
        return;
    memcpy(o.text + o.len, s, n);
    o.len += n;
}

// Write the line end that the last line has, or takes (lineEnd), given the
// byte that follows, next (0: none, or not a line end's). The library takes
// a line end of one byte, CR or LF, and the other byte after it for one
// line end: a line end the update chose becomes the byte that follows, so
// that it does not join the empty line after it; one of the file's would.
static void settle(Out &o, const char *lineEnd, size_t lineEndLen, char next)
{
    const char *e = o.owedLen ? o.owed : o.open ? lineEnd : nullptr;
    size_t n = o.owedLen ? o.owedLen : lineEndLen;
    bool ours = o.owedLen ? o.owedOurs : true;
    if (!e)
        return;
    if (n == 1 && (next == '\r' || next == '\n') && next != e[0]) {
        o.joined = o.joined || !ours;
        e = next == '\r' ? "\r" : "\n";
    }
    add(o, e, n);
    o.owedLen = 0;
    o.open = false;
}

// Append a line: its text, the n bytes at s, and its line end, the eolLen
// bytes at eol (none: the file's last line without one), which is the
// update's own where ours says so; the line before takes the line end
// lineEnd if it has none. An empty line of the update's takes the line end
// before it where that is one byte, which it cannot join.
static void addLine(Out &o, const char *s, size_t n, const char *eol, size_t eolLen, bool ours,
                    const char *lineEnd, size_t lineEndLen)
{
    if (ours && n == 0 && o.owedLen == 1)
        eol = o.owed, eolLen = 1;
    settle(o, lineEnd, lineEndLen, n ? s[0] : eolLen ? eol[0] : 0);
    add(o, s, n);
    o.owed = eol;
    o.owedLen = eolLen;
    o.owedOurs = ours;
    o.open = eolLen == 0;
    o.lastEmpty = n == 0;
}

// Append the n bytes of the file at s, which begin a line, as they stand.
static void addBytes(Out &o, const char *s, size_t n, const char *lineEnd, size_t lineEndLen)
{
    size_t end = 0, last = 0, next = 0;
    if (n == 0)
        return;
    for (size_t at = 0; at < n; at = next) {
        last = at;
        next = iniNextLine(s, at, n, &end);
    }
    settle(o, lineEnd, lineEndLen, s[0]);
    add(o, s, end);
    o.owed = s + end;
    o.owedLen = next - end;
    o.owedOurs = false;
    o.open = next == end;
    o.lastEmpty = end == last;
}

// Append the saved line that s is at as a line of its own, in the line end
// lineEnd, and go on to the next.
static void addSaved(Out &o, Save &s, const char *lineEnd, size_t lineEndLen)
{
    size_t n;
    const char *t = current(s, &n);
    addLine(o, t, n, lineEnd, lineEndLen, true, lineEnd, lineEndLen);
    advance(s);
}

// Append the entries that the library added before the current line of
// kept: the saved lines that do not match it, up to the next mark.
static void addAdded(Out &o, Save &kept, Save &saved, bool list, const char *eol, size_t eolLen)
{
    while (inSave(saved) && !atMark(saved) && !sameLine(kept, saved) && !sameKey(kept, saved) &&
           !(list && removed(kept)))
        addSaved(o, saved, eol, eolLen);
}

// Put span q of the file back from the saves, at the line of each after
// the mark before the span: each line of it as the saves hold it, the
// entries the library added, and the empty line after it. False if the
// saves do not match.
static bool putSpan(Out &o, const Cut *p, const MeaningSpan &q, Save &kept, Save &saved, const char *fileEnd,
                    size_t fileEndLen)
{
    const char *f = p->file;
    size_t end, next = iniNextLine(f, q.start, p->fileLen, &end);
    // New lines take the header's line end.
    const char *eol = next > end ? f + end : fileEnd;
    size_t eolLen = next > end ? next - end : fileEndLen;
    bool list = q.folded == p->list;
    for (size_t at = q.start; at < q.end; at = next) {
        next = iniNextLine(f, at, q.end, &end);
        addAdded(o, kept, saved, list, eol, eolLen);
        if (sameLine(kept, saved)) {
            addLine(o, f + at, end - at, f + end, next - end, false, eol, eolLen);
            advance(saved);
        } else if (sameKey(kept, saved)) {
            size_t n;
            const char *t = current(saved, &n);
            addLine(o, t, n, f + end, next - end, false, eol, eolLen);
            advance(saved);
        } else if (!(list && removed(kept))) {
            return false;
        }
        advance(kept);
    }
    // The empty line after the span.
    addAdded(o, kept, saved, list, eol, eolLen);
    bool ok = sameLine(kept, saved) && current(kept, &end) && end == 0;
    advance(kept);
    advance(saved);
    return ok;
}

bool putBack(const Cut *p, const char *kept, size_t keptLen, const char *saved, size_t savedLen, char **out,
             size_t *outLen)
{
    Save k = {kept, keptLen, 0, 0, 0}, s = {saved, savedLen, 0, 0, 0};
    lineAt(k, 0);
    lineAt(s, 0);
    // Every line taken from the file once, every saved line with a line end
    // of at most two bytes, and the empty line before new sections.
    size_t room = p->fileLen + 3 * savedLen + 8;
    room = room < iniReadMaxBytes ? room : iniReadMaxBytes;
    Out o = {(char *)malloc(room), 0, room, nullptr, 0, false, false, true, false, false};   // no line yet: none to add
    bool ok = o.text != nullptr;
    if (!ok) {
        failRun(iniNoRoom);
        *out = nullptr;
        return false;
    }
    // The file's own line end: its first, else the library's.
    size_t end, next = iniNextLine(p->file, 0, p->fileLen, &end);
    const char *fileEnd = next > end ? p->file + end : strstr(saved, "\r\n") ? "\r\n" : "\n";
    size_t fileEndLen = next > end ? next - end : strlen(fileEnd), from = 0;
    for (int i = 0; ok && i < p->count; i++) {
        const MeaningSpan &q = p->span[i];
        ok = atMark(k) && atMark(s);
        advance(k);
        advance(s);
        addBytes(o, p->file + from, q.start - from, fileEnd, fileEndLen);
        ok = ok && putSpan(o, p, q, k, s, fileEnd, fileEndLen);
        from = q.end;
    }
    ok = ok && atMark(k) && atMark(s);
    advance(k);
    advance(s);
    ok = ok && !inSave(k);
    addBytes(o, p->file + from, p->fileLen - from, fileEnd, fileEndLen);
    // The new sections, after an empty line, which the library wrote too.
    size_t n;
    if (ok && inSave(s)) {
        ok = (current(s, &n), n == 0);
        advance(s);
        if (ok && !o.lastEmpty)
            addLine(o, "", 0, fileEnd, fileEndLen, true, fileEnd, fileEndLen);
        while (ok && inSave(s))
            addSaved(o, s, fileEnd, fileEndLen);
    }
    // The last line keeps the line end it had, or has none.
    char last = p->fileLen ? p->file[p->fileLen - 1] : '\n';
    if (last == '\r' || last == '\n')
        settle(o, fileEnd, fileEndLen, 0);
    if (!ok)
        failRun(iniWouldChange, 0, "the library did not save the sections it sets as they were loaded");
    else if (o.full)
        failRun(iniResultTooLarge);
    else if (o.joined)
        failRun(iniLineEnds);
    ok = ok && !o.full && !o.joined;
    if (!ok)
        free(o.text);
    *out = ok ? o.text : nullptr;
    *outLen = o.len;
    return ok;
}
