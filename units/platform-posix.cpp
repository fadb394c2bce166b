// What the programs need of a POSIX system: reading an input file whole,
// telling the user, and the INI writer's work copy. csvtoini changes a copy
// of valdra.ini beside the file it will replace and renames it over that file
// only once the copy is complete, so that valdra.ini is either updated whole
// or left as it was.
#include "units.h"

#include <allegro.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

FileRead readWholeFile(const char *path, char *buf, size_t cap, size_t *len, const char **why)
{
    struct stat st;
    int fd = open(path, O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        // A link to nothing is there, but cannot be read.
        if (errno == ENOENT && lstat(path, &st) != 0)
            return fileMissing;
        *why = strerror(errno);
        return fileFailed;
    }
    FileRead result = fileFailed;
    *len = 0;
    if (fstat(fd, &st) != 0) {
        *why = strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        *why = "not a regular file";
    } else {
        ssize_t n = 0;
        while (*len < cap && (n = read(fd, buf + *len, cap - *len)) > 0)
            *len += n;
        char more;
        if (*len == cap && read(fd, &more, 1) > 0)
            result = fileTooLarge;
        else if (n < 0)
            *why = strerror(errno);
        else
            result = fileRead;
    }
    close(fd);
    return result;
}

void tellUser(const char *msg)
{
    fputs(msg, stderr);
}

static const char workSuffix[] = ".XXXXXX";
static char target[PATH_MAX];                    // the file to replace
static char work[PATH_MAX + sizeof workSuffix];  // the copy being changed

// Set target to the INI file, or to the file it links to, so that a link
// stays a link.
static bool findTarget()
{
    struct stat st;
    if (lstat(iniFile, &st) == 0 && S_ISLNK(st.st_mode))
        return realpath(iniFile, target) != nullptr;
    snprintf(target, sizeof target, "%s", iniFile);
    return true;
}

// Copy the open file from into the open file to, byte for byte.
static bool copyBytes(int from, int to)
{
    char buf[1 << 16];
    ssize_t n;
    while ((n = read(from, buf, sizeof buf)) > 0)
        for (ssize_t done = 0, w; done < n; done += w)
            if ((w = write(to, buf + done, n - done)) < 0)
                return false;
    return n == 0;
}

// Fill the new work file fd with target's bytes and give it target's mode and
// owner; a missing target gives an empty file with the mode a new file gets.
static bool fillWork(int fd)
{
    int from = open(target, O_RDONLY);
    if (from < 0) {
        bool missing = errno == ENOENT;
        mode_t mask = umask(0);
        umask(mask);
        return missing && fchmod(fd, 0666 & ~mask) == 0;
    }
    struct stat st;
    bool ok = fstat(from, &st) == 0 && copyBytes(from, fd) &&
              fchmod(fd, st.st_mode & 07777) == 0;
    // Only root can give the file to another owner; others keep their own.
    if (ok && fchown(fd, st.st_uid, st.st_gid) != 0 && geteuid() == 0)
        ok = false;
    close(from);
    return ok;
}

bool openWorkCopy()
{
    // Past a file-size limit a write should fail, not kill the process.
    signal(SIGXFSZ, SIG_IGN);
    if (!findTarget() ||
        snprintf(work, sizeof work, "%s%s", target, workSuffix) >= (int)sizeof work)
        return false;
    int fd = mkstemp(work);
    if (fd < 0)
        return false;
    bool filled = fillWork(fd);
    if ((close(fd) != 0) | !filled) {
        unlink(work);
        return false;
    }
    set_config_file(work);
    return true;
}

bool saveWorkCopy()
{
    // The library returns nothing; a failed save shows only in errno.
    errno = 0;
    flush_config_file();
    if (errno != 0)
        return false;
    set_config_file(work);
    return true;
}

// fsync the file or folder at path.
static bool syncPath(const char *path, int flags)
{
    int fd = open(path, flags);
    if (fd < 0)
        return false;
    bool ok = fsync(fd) == 0;
    return (close(fd) == 0) & ok;
}

// fsync the folder that holds path, so that a rename in it lasts.
static void syncFolderOf(const char *path)
{
    char dir[PATH_MAX];
    snprintf(dir, sizeof dir, "%s", path);
    char *slash = strrchr(dir, '/');
    if (!slash)
        snprintf(dir, sizeof dir, ".");
    else if (slash == dir)
        dir[1] = '\0';
    else
        *slash = '\0';
    syncPath(dir, O_RDONLY | O_DIRECTORY);
}

bool commitWorkCopy()
{
    if (!syncPath(work, O_RDONLY) || rename(work, target) != 0) {
        discardWorkCopy();
        return false;
    }
    // The file is in place whether or not the folder's sync succeeds.
    syncFolderOf(target);
    return true;
}

void discardWorkCopy()
{
    // Reloading leaves the library with nothing unsaved, so that it writes no
    // file at shutdown; only then is the copy removed.
    set_config_file(work);
    unlink(work);
}
