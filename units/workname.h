// How the platform files name a writer's work copy and know one that an
// earlier run left behind: beside the file named base (its name, without a
// folder), base, a dot, the program, "-", workCopyTag letters or digits and
// workCopyEnd.
#ifndef WORKNAME_H
#define WORKNAME_H

#include <ctype.h>
#include <string.h>

const char workCopyEnd[] = ".part";
const int workCopyTag = 6;
const unsigned workCopyTagMask = (1u << (4 * workCopyTag)) - 1;   // a tag in hexadecimal digits

// True if name is a work copy of the file named base that one of the
// programs made.
inline bool isWorkCopyOf(const char *name, const char *base)
{
    size_t n = strlen(base);
    if (strncmp(name, base, n) != 0 || name[n] != '.')
        return false;
    name += n + 1;
    const char *const programs[] = {"initocsv-", "csvtoini-"};
    for (const char *prog : programs)
        if (strncmp(name, prog, strlen(prog)) == 0) {
            const char *tag = name + strlen(prog);
            for (int i = 0; i < workCopyTag; i++)
                if (!isalnum((unsigned char)tag[i]))
                    return false;
            return strcmp(tag + workCopyTag, workCopyEnd) == 0;
        }
    return false;
}

#endif
