// libFuzzer target for the INI meaning, which is taken one line at a time:
// whatever UTF-8 text valdra.ini holds, every value the meaning gives for a
// lookup of a section, by its name as listed or bare, is the one the library
// looks up in the whole text, and the same text taken as the copy means the
// same.
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

static bool same(const char *a, const char *b)
{
    return a == b || (a && b && strcmp(a, b) == 0);
}

// Abort unless the entry has the same value before and after, and a lookup
// of it in the meaning gives what the library's lookup in the whole text
// gives, its section named as listed and bare.
static bool checkItem(void *file, const char *section, const char *key, const char *was, const char *now)
{
    static char bare[4096];   // the section visited, without its brackets
    if (!same(was, now))
        abort();
    size_t n = strlen(section);
    // Keys that begin with '[' match any header, those that begin with '#'
    // live in another store; a name of 254 bytes or more overruns the
    // library's buffer.
    if (!key || key[0] == '[' || key[0] == '#' || n > (size_t)nameMaxBytes)
        return true;
    snprintf(bare, sizeof bare, "%.*s", n ? (int)n - 2 : 0, section + (n ? 1 : 0));
    const char *names[] = {section, bare};
    for (const char *name : names) {
        const char *mine = meaningValue(*(Meaning *)file, name, key);
        if (!same(mine, get_config_string(name, key, nullptr)))
            abort();
    }
    return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static char text[iniReadMaxBytes + 1];   // the text, and the NUL the meaning needs after it
    if (size > iniReadMaxBytes || validUtf8((const char *)data, size) != size)
        return 0;   // both programs refuse such a file before they take its meaning
    memcpy(text, data, size);
    text[size] = '\0';
    Meaning file;
    if (takeMeaning(&file, text, size) != meaningTaken || takeUpdated(file, text, size) != meaningTaken)
        return 0;
    set_config_data(text, (int)size);
    walkMeanings(file, checkItem, &file);
    return 0;
}
