// Pins the behaviour of the library's configuration routines that the
// programs rely on. Each check runs in a scratch folder on files it writes.
#include "iniline.h"
#include "check.h"

#include <allegro.h>
#include <errno.h>
#include <initializer_list>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#ifdef _WIN32
#include <direct.h>
#include <io.h>
const char lineEnd[] = "\r\n";   // what the library's save ends a line with
#else
const char lineEnd[] = "\n";
#endif

// Write text to the file name and load it as the configuration.
static void load(const char *name, const char *text)
{
    FILE *f = fopen(name, "w");
    fputs(text, f);
    fclose(f);
    set_config_file(name);
}

// True if the file name, read in text mode or in the mode given, holds
// exactly text.
static bool fileIs(const char *name, const char *text, const char *mode = "r")
{
    static char buf[4096];
    FILE *f = fopen(name, mode);
    size_t n = f ? fread(buf, 1, sizeof buf - 1, f) : 0;
    if (f)
        fclose(f);
    buf[n] = '\0';
    return f && strcmp(buf, text) == 0;
}

// Save the current configuration and load it again from its file; false if
// the save failed.
static bool saveAndReload(const char *name)
{
    errno = 0;
    flush_config_file();
    bool ok = errno == 0;
    set_config_file(name);
    return ok;
}

static void readingPins()
{
    set_config_file("absent.ini");
    check(get_config_string("unitnames", "unit0", nullptr) == nullptr,
          "a missing file loads as an empty configuration");
    load("a.ini", "[unitnames]\nunit0=\nunit1=Tank\n[Tank]\nmove=3\n");
    check(get_config_string("unitnames", "unit0", nullptr) == nullptr,
          "an empty value reads as absent");
    const char **names = nullptr;
    int n = list_config_sections(&names);
    check(n == 2 && strcmp(names[1], "[Tank]") == 0, "sections are listed in brackets");
    free_config_entries(&names);
    check(get_config_int("TANK", "MOVE", 0) == 3, "names compare without case");
    allegro_exit();
    install_allegro(SYSTEM_NONE, &errno, atexit);
    check(fileIs("a.ini", "[unitnames]\nunit0=\nunit1=Tank\n[Tank]\nmove=3\n"),
          "reading alone never rewrites the file");
}

// How the library saves a set: each row of the table library-sets, a file
// loaded, an entry set, the file saved, and what it then holds and what a
// lookup of the entry reads: what it is|the file|the section (none: the
// top)|the key|the value|the file saved|what a lookup reads. The update
// hands the library the sections it sets, each with an empty line after it
// and a comment line between them, which the library keeps as they stand;
// a header's own line is saved as the library reads it.
static void setPin(const Row &r, void *)
{
    const char *section = r.len[2] ? r.field[2] : nullptr;
    load("b.ini", r.field[1]);
    set_config_string(section, r.field[3], r.field[4]);
    saveAndReload("b.ini");
    check(r.count == 7 && fileIs("b.ini", r.field[5]) && strcmp(get_config_string(section, r.field[3], ""), r.field[6]) == 0,
          "%s", r.field[0]);
}

static void setPins()
{
    eachRow(TABLES "library-sets", setPin, nullptr);
    const char *packed = "[unitnames]\nunit0 = Tank\n[Tank]\nmove = 3\n";
    load("b.ini", packed);
    set_config_int("Heavy Tank", "move", 5);
    check(get_config_int("Heavy Tank", "move", 0) == 5, "a blank header reads in the same run");
    saveAndReload("b.ini");
    check(get_config_int("Heavy Tank", "move", 0) == 0 && get_config_int("Tank", "move", 0) == 3,
          "a header with a blank is no header once the file is loaded again");

    set_config_string("unitnames", "unit2", "Panz\xe9r");
    saveAndReload("b.ini");
    const char *v = get_config_string("unitnames", "unit2", "");
    check(strcmp(v, "Panz\xe9r") != 0, "bytes that are not UTF-8 do not read back");
}

static void savePins()
{
    set_config_file("no-such-folder/c.ini");
    set_config_int("x", "y", 1);
    check(!saveAndReload("no-such-folder/c.ini"), "a save that cannot open its file sets errno");
#ifndef _WIN32
    if (symlink("/dev/full", "full.ini") == 0) {
        set_config_file("full.ini");
        set_config_int("x", "y", 1);
        check(!saveAndReload("full.ini"), "a save onto a full disk sets errno");
    }
#endif
    set_config_file("d.ini");
    set_config_int("x", "y", 1);
    set_config_file("d.ini");
    check(fileIs("d.ini", "[x]\ny = 1\n") && get_config_int("x", "y", 0) == 1,
          "selecting the same file saves it and loads it again");
    char want[64];
    snprintf(want, sizeof want, "[x]%sy = 1%s", lineEnd, lineEnd);
    check(fileIs("d.ini", want, "rb"), "the save ends lines as the platform does");
}

// The meaning of a file is taken one line at a time: the library must read
// a line alone as it reads it within the file, end lines where we end them,
// and look names up as we fold them.
static void meaningPins()
{
    const char **names = nullptr;
    set_config_data("[Tank] # fast", 13);
    check(list_config_sections(&names) == 1 && strcmp(names[0], "[Tank]") == 0,
          "a header alone is one section");
    free_config_entries(&names);
    set_config_data("  Move=  7 ", 11);
    check(list_config_sections(&names) == 0, "an entry alone is no section");
    free_config_entries(&names);
    check(list_config_entries(nullptr, &names) == 1 && strcmp(names[0], "Move") == 0 &&
              strcmp(get_config_string(nullptr, "Move", ""), "7") == 0,
          "an entry alone is a global entry, its value trimmed");
    free_config_entries(&names);

    const char *ends = "a=1\n\rb=2\r\nc=3";
    set_config_data(ends, (int)strlen(ends));
    check(list_config_entries(nullptr, &names) == 3, "LF CR and CR LF are one line end each");
    free_config_entries(&names);

    load("m.ini", "[Tank]\nmove=\n[\xc3\x84rger]\nx=1\n[tank]\nmove=3\nprice=4\n");
    check(get_config_string("TANK", "move", nullptr) == nullptr && get_config_int("tank", "price", 0) == 4,
          "an empty first entry hides a later one; a repeated section's keys are all found");
    check(get_config_int("\xc3\xa4RGER", "X", 0) == 1, "names beyond ASCII compare without case");
}

// initocsv reads the file as the library reads it, line by line, through a
// configuration of the lines' own, and converts numbers as get_config_int
// does; csvtoini keeps its loaded copy through those lines.
static void readingByLinePins()
{
    char zeros[96];
    snprintf(zeros, sizeof zeros, "move = %070d17 \xc3\xa9", 0);
    set_config_data(zeros, (int)strlen(zeros));
    check(get_config_int(nullptr, "move", 5) == 0, "a value beyond ASCII is cut to 63 characters before strtol");
    snprintf(zeros, sizeof zeros, "move = %070d17", 0);
    set_config_data(zeros, (int)strlen(zeros));
    check(get_config_int(nullptr, "move", 5) == 017, "an ASCII value is converted whole, as octal after a 0");
    const char *text = "[Tank]\nmove=3\n[#x]\nmove=4\n";
    set_config_data(text, (int)strlen(text));
    check(get_config_int("[Tank", "move", 0) == 3 && get_config_int("Tank]", "move", 0) == 3 &&
              get_config_int("#x", "move", 0) == 0 && get_config_int("[#x]", "move", 0) == 0,
          "a lookup brackets a name only where it lacks them; one that begins with # finds nothing");
    load("p.ini", "[Tank]\nmove = 1\n");
    set_config_int("Tank", "move", 2);
    push_config_state();
    set_config_data("x=1", 3);
    pop_config_state();
    check(get_config_int("Tank", "move", 0) == 2 && fileIs("p.ini", "[Tank]\nmove = 1\n"),
          "a configuration pushed and popped around others stays as it was, unsaved");
}

// A line of prefix bytes 'a', a character of width bytes and, unless it
// ends there, a 'b'; its length.
static size_t bufferLine(char *line, int prefix, int width, bool ends)
{
    static const char *chars[] = {"", "", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80"};
    memset(line, 'a', prefix);
    strcpy(line + prefix, chars[width]);
    if (!ends)
        strcat(line, "b");
    return strlen(line);
}

// The library's line buffer: around each place where it ends or grows, the
// library loads a line alone and keeps it whole, except where iniLineOverrun
// says it writes past the buffer. Where the library's configuration code is
// built with AddressSanitizer (argument "instrumented"), each such line is
// loaded by a process of its own, self, which must report a heap overflow
// in the library's reading of a line.
static void overrunPins(const char *self, bool instrumented)
{
    static char line[1100], command[1400], report[4096];
    const char **names = nullptr;
    int overruns = 0, reported = 0;
    for (int edge : {256, 512, 1024})
        for (int prefix = edge - 6; prefix <= edge + 1; prefix++)
            for (int width = 2; width <= 4; width++)
                for (bool ends : {false, true}) {
                    size_t len = bufferLine(line, prefix, width, ends);
                    if (iniLineOverrun(line, len) == noOverrun) {
                        set_config_data(line, (int)len);
                        bool whole = list_config_entries(nullptr, &names) == 1 && strcmp(names[0], line) == 0;
                        free_config_entries(&names);
                        check(whole, "a line that does not overrun the line buffer is read whole");
                        continue;
                    }
                    overruns++;
                    if (!instrumented)
                        continue;
                    snprintf(command, sizeof command, "'%s' overrun %d %d %d 2>&1", self, prefix, width, ends);
                    FILE *p = popen(command, "r");
                    size_t n = p ? fread(report, 1, sizeof report - 1, p) : 0;
                    report[n] = '\0';
                    if (p)
                        pclose(p);
                    reported += strstr(report, "heap-buffer-overflow") && strstr(report, "get_line");
                }
    check(overruns == 3 * 9, "each edge of the line buffer has nine shapes of line that overrun it");
    check(!instrumented || reported == overruns, "the library writes past its line buffer where predicted");
}

// Make a new scratch folder named from pattern, and go into it.
static bool enterScratch(char *pattern)
{
#ifdef _WIN32
    return _mktemp(pattern) && _mkdir(pattern) == 0 && chdir(pattern) == 0;
#else
    return mkdtemp(pattern) && chdir(pattern) == 0;
#endif
}

int main(int argc, char **argv)
{
    // A process of overrunPins': load its line alone.
    if (argc == 5 && strcmp(argv[1], "overrun") == 0) {
        static char line[1100];
        size_t len = bufferLine(line, atoi(argv[2]), atoi(argv[3]), atoi(argv[4]));
        install_allegro(SYSTEM_NONE, &errno, atexit);
        set_config_data(line, (int)len);
        return 0;
    }
    char dir[] = "valdra-pins.XXXXXX";
    if (!enterScratch(dir))
        return 2;
    check(install_allegro(SYSTEM_NONE, &errno, atexit) == 0, "the display-less start succeeds");
    readingPins();
    setPins();
    savePins();
    meaningPins();
    readingByLinePins();
    overrunPins(argv[0], argc == 2 && strcmp(argv[1], "instrumented") == 0);
    allegro_exit();
    // The scratch folder holds only the files the pins wrote.
    const char *files[] = {"a.ini", "b.ini", "d.ini", "full.ini", "m.ini", "p.ini"};
    for (const char *name : files)
        remove(name);
    if (chdir("..") != 0 || rmdir(dir) != 0)
        failed++;
    return checked();
}
END_OF_MAIN()
