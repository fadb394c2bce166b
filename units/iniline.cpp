// One line of INI text as the library reads it alone, and names folded as
// the library folds them to compare.
#include "iniline.h"

#include <allegro.h>
#include <stdio.h>
#include <string.h>

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

LineKind iniReadLine(const char *line, size_t len, const char ***names)
{
    set_config_data(line, (int)len);
    *names = nullptr;
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
        n = snprintf(out, size, "-");
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
