// Where lines end, in INI text and in a sheet: see lines.h.
#include "lines.h"

// (In UTF-8, which the programs read alone, no character holds the bytes of
// a line end.)
size_t iniNextLine(const char *text, size_t at, size_t len, size_t *end)
{
    while (at < len && text[at] != '\r' && text[at] != '\n')
        at++;
    *end = at;
    if (at == len)
        return at;
    return at + (at + 1 < len && text[at + 1] != text[at] && (text[at + 1] == '\r' || text[at + 1] == '\n') ? 2 : 1);
}

int iniLineOf(const char *text, size_t len, size_t at)
{
    int line = 1;
    size_t end;
    for (size_t p = 0, next; p < len && (next = iniNextLine(text, p, len, &end)) <= at; p = next)
        line++;
    return line;
}

size_t sheetLineEnd(const char *p, const char *end)
{
    if (p == end || (*p != '\n' && *p != '\r'))
        return 0;
    return *p == '\r' && p + 1 < end && p[1] == '\n' ? 2 : 1;
}

int sheetLineOf(const char *text, size_t at)
{
    int line = 1;
    for (const char *p = text, *end = text + at; p < end;) {
        size_t n = sheetLineEnd(p, end + 1);
        line += n != 0;
        p += n ? n : 1;
    }
    return line;
}
