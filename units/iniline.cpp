// One line of INI text as the library reads it alone, and names folded as
// the library folds them to compare.
#include "iniline.h"

#include <allegro.h>
#include <stdio.h>
#include <string.h>

// The line buffer the library starts each line in.
const size_t libraryLineBuffer = 256;
static_assert(iniLineHeld == libraryLineBuffer - 1, "a line and its NUL fit the first buffer");

size_t iniLineOverrun(const char *line, size_t len)
{
    if (len <= iniLineHeld)
        return noOverrun;
    size_t size = libraryLineBuffer, at = 0, width = 1;
    for (; at < len; at += width) {
        unsigned char lead = (unsigned char)line[at];
        width = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        // It grows only when a character begins on its last byte.
        if (at >= size - 1)
            size *= 2;
        if (at + width > size)
            return at;
    }
    // The NUL after the line.
    return at >= size ? at - width : noOverrun;
}

LineKind iniReadLine(const char *line, size_t len, const char ***names)
{
    *names = nullptr;
    if (iniLineOverrun(line, len) != noOverrun)
        return overrunLine;
    set_config_data(line, (int)len);
    if (list_config_sections(names) == 1)
        return headerLine;
    free_config_entries(names);
    return list_config_entries(nullptr, names) == 1 ? entryLine : plainLine;
}

size_t iniLineMeaning(const char *line, size_t len, char *out, size_t size)
{
    const char **names;
    int n;
    LineKind kind = iniReadLine(line, len, &names);
    if (kind == headerLine)
        n = snprintf(out, size, "h%s", names[0]);
    else if (kind == entryLine)
        n = snprintf(out, size, "e%s%c%s", names[0], '\0', get_config_string(nullptr, names[0], ""));
    else
        n = snprintf(out, size, kind == overrunLine ? "!" : "-");
    free_config_entries(&names);
    return n < 0 ? 0 : (size_t)n < size ? (size_t)n : size - 1;
}

size_t foldName(const char *s, char *out, size_t size)
{
    size_t n = 0;
    for (const char *p = s; *p; n += usetc(out + n, utolower(ugetxc(&p))))
        if (n + 8 > size)
            return foldNoRoom;
    if (n + 1 > size)
        return foldNoRoom;
    out[n] = '\0';
    return n;
}

bool iniLookupName(const char *section, char listed[listedSize])
{
    size_t n = strlen(section);
    if (n > (size_t)nameMaxBytes)
        return false;
    snprintf(listed, listedSize, "%s%s%s", n && section[0] != '[' ? "[" : "", section,
             n && section[n - 1] != ']' ? "]" : "");
    return !(listed[0] == '[' && listed[1] == '#');
}

bool iniFoldedLookup(const char *section, char out[foldedSize])
{
    char listed[listedSize];
    return iniLookupName(section, listed) && foldName(listed, out, foldedSize) != foldNoRoom;
}

void foldTable(TableFolded *t)
{
    if (!iniFoldedLookup(listSection, t->list))
        t->list[0] = '\0';
    for (int u = 0; u < unitNum; u++)
        if (!iniFoldedLookup(unitName[u], t->unit[u]))
            t->unit[u][0] = '\0';
}
