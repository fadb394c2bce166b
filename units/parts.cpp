// The parts of valdra.ini that csvtoini's update touches, cut out for the
// library and put back from its save. Every byte outside a part whose
// section the update sets stays as it was.
#include "parts.h"

#include <string.h>

// The line that stands between the parts in the library's copy: a comment,
// which the library keeps as it stands, that no file of text holds.
static const char mark[] = "#\x01 valdra-units part \x01";
static_assert(sizeof mark == partMarkSize, "partMarkSize names the mark's bytes");

// Append the n bytes at s to the parts' text.
static void addToParts(Parts *p, const char *s, size_t n)
{
    memcpy(p->text + p->len, s, n);
    p->len += n;
}

// The sections the update touches, the list's and the rows', with every
// entry in them; table is their TableFolded.
static MeaningKeep keepTouched(void *table, const char *section, const char *)
{
    const TableFolded *t = (const TableFolded *)table;
    if (strcmp(section, t->list) == 0)
        return keepValue;
    for (int u = 0; u < unitNum; u++)
        if (strcmp(section, t->unit[u]) == 0)
            return keepValue;
    return keepNot;
}

// The name in table that is folded, which it holds: it outlasts the meaning.
static const char *tableName(const TableFolded *table, const char *folded)
{
    for (int u = 0; u < unitNum; u++)
        if (strcmp(folded, table->unit[u]) == 0)
            return table->unit[u];
    return table->list;
}

bool takeParts(Parts *p, const char *file, size_t len, const TableFolded *table)
{
    int line;
    Meaning touched;
    const MeaningPart *part;
    if (takeMeaning(&touched, file, len, keepTouched, (void *)table, &line) != meaningTaken) {
        failRun(iniWouldChange, line, "the sections it sets hold more than csvtoini holds");
        return false;
    }
    p->file = file;
    p->fileLen = len;
    p->count = meaningParts(touched, &part);
    if (p->count > meaningPartsMost) {
        failRun(iniWouldChange, 0, "[unitnames] and the units' sections stand in more than %d places", meaningPartsMost);
        return false;
    }
    p->len = 0;
    for (int i = 0, at = 1; i <= p->count; i++) {
        addToParts(p, mark, sizeof mark - 1);
        addToParts(p, "\n", 1);
        if (i == p->count)
            break;
        p->part[i] = part[i];
        p->part[i].folded = tableName(table, part[i].folded);
        const MeaningPart &q = p->part[i];
        p->line[i] = ++at;
        addToParts(p, file + q.start, q.end - q.start);
        at += lineOf(file + q.start, q.end - q.start) - 1;
        if (lineEndAt(file + q.end - 1, file + q.end) == 0) {
            addToParts(p, "\n", 1);
            at++;
        }
        addToParts(p, "\n", 1);
        at++;
    }
    p->text[p->len] = '\0';
    return true;
}

int partsFileLine(const Parts *p, int n)
{
    int i = 0;
    while (i + 1 < p->count && p->line[i + 1] <= n)
        i++;
    return p->count && n >= p->line[0] ? p->part[i].line + n - p->line[i] : 0;
}

// The line end of the line that begins at s, end - s bytes left; null if it
// has none.
static const char *lineEndOf(const char *s, const char *end, size_t *n)
{
    size_t stop, next = iniNextLine(s, 0, end - s, &stop);
    *n = next - stop;
    return *n ? s + stop : nullptr;
}

// True if the last line of the n bytes at s is empty (or there is none), as
// the library ends lines; *ended says whether it has a line end.
static bool lastLineEmpty(const char *s, size_t n, bool *ended)
{
    const char *end = s + n, *eol;
    size_t len = 0, eolLen = 1;
    for (; s < end && (eol = lineEndOf(s, end, &eolLen)); s = eol + eolLen)
        len = eol - s;
    *ended = s == end;
    return *ended && len == 0;
}

// The updated file as it is put together: its text, of at most
// iniReadMaxBytes, its length, and whether more would have passed that.
struct Result {
    char *text;
    size_t len;
    bool full;
};

// Append the n bytes at s to the result; false if they pass its room.
static bool add(Result &r, const char *s, size_t n)
{
    r.full = r.full || n > iniReadMaxBytes - r.len;
    if (r.full)
        return false;
    memcpy(r.text + r.len, s, n);
    r.len += n;
    return true;
}

// Append the saved lines [s, end) to the result, each ended with the n
// bytes at eol; false if they do not fit.
static bool addLines(Result &r, const char *s, const char *end, const char *eol, size_t n)
{
    bool ok = true;
    while (ok && s < end) {
        const char *q = (const char *)memchr(s, '\n', end - s);
        const char *stop = q ? q : end;
        size_t len = stop - s - (stop > s && stop[-1] == '\r');
        ok = add(r, s, len) && add(r, eol, n);
        s = q ? q + 1 : end;
    }
    return ok;
}

// The start of the line after the mark that is at or after s, before end;
// null if there is none.
static const char *afterMark(const char *s, const char *end)
{
    for (size_t n; s < end; s += strcspn(s, "\n") + 1)
        if (strncmp(s, mark, sizeof mark - 1) == 0 && lineEndOf(s, end, &n) == s + sizeof mark - 1)
            return s + sizeof mark - 1 + n;
    return nullptr;
}

// True if the update sets an entry in the section of part q: only such
// parts take the library's save; the others keep their bytes.
static bool partSet(const MeaningPart &q, const SetsIn *sets)
{
    for (int i = 0; i < sets->sectionCount; i++)
        if (strcmp(sets->sections[i], q.folded) == 0)
            return true;
    return false;
}

bool putBack(const Parts *p, const char *saved, size_t savedLen, const SetsIn *sets, char *out, size_t *outLen)
{
    const char *end = saved + savedLen, *at = afterMark(saved, end);
    const char *lib = strstr(saved, "\r\n") ? "\r\n" : "\n";
    size_t libLen = strlen(lib), n, fileEndLen;
    // The file's own line end: its first, else the library's.
    const char *fileEnd = lineEndOf(p->file, p->file + p->fileLen, &fileEndLen);
    if (!fileEnd)
        fileEnd = lib, fileEndLen = libLen;
    Result r = {out, 0, false};
    bool ok = at != nullptr;
    size_t from = 0;
    for (int i = 0; ok && i < p->count; i++) {
        const MeaningPart &q = p->part[i];
        const char *next = afterMark(at, end), *eol = lineEndOf(p->file + q.start, p->file + q.end, &n);
        // The part ends in the empty line that followed it, and a mark.
        const char *stop = next ? next - (sizeof mark - 1) - libLen - libLen : nullptr;
        ok = stop && stop > at && stop[-1] == '\n' && strncmp(stop, lib, libLen) == 0 &&
             add(r, p->file + from, q.start - from) &&
             (partSet(q, sets) ? addLines(r, at, stop, eol ? eol : fileEnd, eol ? n : fileEndLen)
                               : add(r, p->file + q.start, q.end - q.start));
        from = q.end;
        at = next;
    }
    ok = ok && add(r, p->file + from, p->fileLen - from);
    // The new sections, after an empty line that the library wrote.
    if (ok && at < end) {
        bool ended, empty = lastLineEmpty(r.text, r.len, &ended);
        ok = strncmp(at, lib, libLen) == 0 && (ended || add(r, fileEnd, fileEndLen)) &&
             (empty || add(r, fileEnd, fileEndLen)) && addLines(r, at + libLen, end, fileEnd, fileEndLen);
    }
    if (!ok && !r.full)
        failRun(iniWouldChange, 0, "the library did not save the sections it sets as they were loaded");
    else if (!ok)
        failRun(iniResultTooLarge);
    *outLen = r.len;
    return ok;
}
