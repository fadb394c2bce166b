// libFuzzer target for the INI meaning, which is taken one line at a time:
// whatever UTF-8 text valdra.ini holds, every value the meaning gives is
// the one the library looks up in the whole text, and the same text taken
// as the copy means the same.
#include "meaning.h"

#include <allegro.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (install_allegro(SYSTEM_NONE, &errno, atexit) != 0)
        abort();
    return 0;
}

static char bare[4096];   // the section visited, without its brackets

// Abort unless the entry has the same value before and after, and that is
// the value the library looks up.
static bool checkItem(const char *section, const char *key, const char *was, const char *now)
{
    if (!(was == now || (was && now && strcmp(was, now) == 0)))
        abort();
    size_t n = strlen(section);
    // Lookups that the library sends elsewhere: keys that begin with '[' match
    // any header, sections that begin with '#' live in another store, a name
    // with brackets of its own (or none: "[]") is bracketed otherwise, and names of 254 bytes
    // or more are cut by the library's buffer.
    if (!key || key[0] == '[' || n > 255 || n == 2 || (n && (section[1] == '#' || section[1] == '[' || section[n - 2] == ']')))
        return true;
    snprintf(bare, sizeof bare, "%.*s", n ? (int)n - 2 : 0, section + (n ? 1 : 0));
    const char *got = get_config_string(n ? bare : nullptr, key, nullptr);
    if (!(got == was || (got && was && strcmp(got, was) == 0)))
        abort();
    return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static char text[iniMaxBytes + 1];   // the text, and the NUL the meaning needs after it
    if (size > iniMaxBytes || validUtf8((const char *)data, size) != size)
        return 0;   // csvtoini refuses such a file before it takes the meaning
    memcpy(text, data, size);
    text[size] = '\0';
    if (takeMeaning(0, text, size) != meaningTaken || takeMeaning(1, text, size) != meaningTaken)
        return 0;
    set_config_data(text, (int)size);
    walkMeanings(checkItem);
    return 0;
}
