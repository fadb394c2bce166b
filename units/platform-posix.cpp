// What the programs need of a POSIX system: reading an input file whole,
// telling the user, and the work copy through which a writer replaces its
// file: written beside the file and renamed over it only once complete, so
// that the file is either replaced whole or left as it was.
#include "platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// Read the open file fd into buf, cap bytes at most, setting *len:
// fileTooLarge if it holds more, fileFailed with *why on an error.
static FileRead readAll(int fd, char *buf, size_t cap, size_t *len, Why *why)
{
    *len = 0;
    ssize_t n = 0;
    while (*len < cap && (n = read(fd, buf + *len, cap - *len)) > 0)
        *len += n;
    char more;
    if (n < 0) {
        say(why, ioError(errno));
        return fileFailed;
    }
    return *len == cap && read(fd, &more, 1) > 0 ? fileTooLarge : fileRead;
}

FileRead readWholeFile(const char *path, char *buf, size_t cap, size_t *len, Why *why)
{
    struct stat st;
    int fd = open(path, O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        // A link to nothing is there, but cannot be read.
        if (errno == ENOENT && lstat(path, &st) != 0)
            return fileMissing;
        say(why, ioError(errno));
        return fileFailed;
    }
    FileRead result = fileFailed;
    *len = 0;
    if (fstat(fd, &st) != 0)
        say(why, ioError(errno));
    else if (!S_ISREG(st.st_mode))
        say(why, "it is not a regular file");
    else
        result = readAll(fd, buf, cap, len, why);
    close(fd);
    return result;
}

// Here a rename replaces a file in one step, so that a reader always finds
// the old file or the new one, whole; writers take turns through a lock on
// the file they replace. So runs need no turns of their own.
bool takeTurns(const char *, const char *, Why *)
{
    return true;
}

void endTurns()
{
}

void tellUser(const char *msg)
{
    fputs(msg, stderr);
}

static char target[PATH_MAX];          // the file to replace
static char work[PATH_MAX + 32];       // the copy being written
static int held = -1;        // target, open and locked, or -1 if it is new
static struct stat copied;   // target as it was when its bytes were read

// Set target to file, or to the file it links to, so that a link stays a
// link; false with *why if a link leads nowhere.
static bool findTarget(const char *file, Why *why)
{
    struct stat st;
    if (lstat(file, &st) == 0 && S_ISLNK(st.st_mode)) {
        if (realpath(file, target))
            return true;
        say(why, errno == ENOENT ? "it is a link to nothing" : ioError(errno));
        return false;
    }
    snprintf(target, sizeof target, "%s", file);
    return true;
}

// Release target.
static void releaseTarget()
{
    if (held >= 0)
        close(held);
    held = -1;
}

// Open target and lock it against other runs, which wait; held stays -1 if
// there is no target. False with *why if it is no regular file or fails.
static bool holdTarget(Why *why)
{
    for (;;) {
        held = open(target, O_RDONLY | O_NONBLOCK);
        if (held < 0) {
            say(why, ioError(errno));
            return errno == ENOENT;
        }
        struct stat now;
        if (fstat(held, &copied) != 0)
            say(why, ioError(errno));
        else if (!S_ISREG(copied.st_mode))
            say(why, "it is not a regular file");
        else if (flock(held, LOCK_EX) != 0)
            say(why, ioError(errno));
        // Another run may have put a new file in place while this one
        // waited: then lock that one.
        else if (stat(target, &now) != 0 || now.st_dev != copied.st_dev || now.st_ino != copied.st_ino) {
            releaseTarget();
            continue;
        }
        // The file as it is now that it is ours.
        else if (fstat(held, &copied) == 0)
            return true;
        else
            say(why, ioError(errno));
        releaseTarget();
        return false;
    }
}

// Read the held target into bytes, cap bytes at most, setting *len.
static bool readTarget(char *bytes, size_t cap, size_t *len, Why *why)
{
    *len = 0;
    return held < 0 || readAll(held, bytes, cap, len, why) != fileFailed;
}

// Give the new work file fd the target's mode and group, and its owner
// where we may; a new target gets the mode a new file gets. False with
// *why if the group cannot be kept: those who share the file through it
// would lose it.
static bool copyAccess(int fd, Why *why)
{
    if (held < 0) {
        mode_t mask = umask(0);
        umask(mask);
        if (fchmod(fd, 0666 & ~mask) == 0)
            return true;
        say(why, ioError(errno));
        return false;
    }
    // Anyone may give the file a group they belong to; only root can give it
    // to another owner. The mode comes last: a change of owner clears the
    // set-id bits.
    struct stat now;
    if (fchown(fd, (uid_t)-1, copied.st_gid) != 0 && (fstat(fd, &now) != 0 || now.st_gid != copied.st_gid)) {
        const struct group *g = getgrgid(copied.st_gid);
        char number[16];
        snprintf(number, sizeof number, "%u", (unsigned)copied.st_gid);
        snprintf(why->text, sizeof why->text, "its group %s cannot be kept: you are not in that group",
                 g ? g->gr_name : number);
        return false;
    }
    bool ok = (geteuid() != 0 || fchown(fd, copied.st_uid, (gid_t)-1) == 0) && fchmod(fd, copied.st_mode & 07777) == 0;
    if (!ok)
        say(why, ioError(errno));
    return ok;
}

// Split path into its folder, "." for none, and its last name.
static void splitPath(const char *path, char dir[PATH_MAX], const char **base)
{
    snprintf(dir, PATH_MAX, "%s", path);
    char *slash = strrchr(dir, '/');
    *base = slash ? path + (slash - dir) + 1 : path;
    if (!slash)
        snprintf(dir, PATH_MAX, ".");
    else if (slash == dir)
        dir[1] = '\0';
    else
        *slash = '\0';
}

// Remove the work copies of target that earlier runs left behind, killed
// before they could; only a run that holds the target may, so that no run
// is still writing one.
static void removeLeftovers(LeftoverTest leftover)
{
    char dir[PATH_MAX];
    const char *base;
    splitPath(target, dir, &base);
    DIR *d = opendir(dir);
    if (!d)
        return;
    while (struct dirent *e = readdir(d))
        if (leftover(e->d_name, base))
            unlinkat(dirfd(d), e->d_name, 0);
    closedir(d);
}

const char *openWorkCopy(const char *file, const char *program, LeftoverTest leftover, char *bytes,
                         size_t cap, size_t *len, Why *why)
{
    // Past a file-size limit a write should fail, not kill the process.
    signal(SIGXFSZ, SIG_IGN);
    size_t none;
    if (!len)
        len = &none;
    if (!findTarget(file, why) || !holdTarget(why))
        return nullptr;
    if (held >= 0)
        removeLeftovers(leftover);
    if (!bytes || readTarget(bytes, cap, len, why)) {
        if (snprintf(work, sizeof work, "%s.%s-XXXXXX%s", target, program, workCopyEnd) >= (int)sizeof work) {
            say(why, strerror(ENAMETOOLONG));
        } else if (int fd = mkstemps(work, sizeof workCopyEnd - 1); fd < 0) {
            say(why, ioError(errno));
        } else {
            bool ok = copyAccess(fd, why);
            if ((close(fd) != 0) | !ok)
                unlink(work);
            else
                return work;
        }
    }
    releaseTarget();
    return nullptr;
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
    const char *base;
    splitPath(path, dir, &base);
    syncPath(dir, O_RDONLY | O_DIRECTORY);
}

// True if target is still the file whose bytes were read, or still absent.
static bool targetUnchanged()
{
    struct stat now;
    if (stat(target, &now) != 0)
        return held < 0 && errno == ENOENT;
    return held >= 0 && now.st_dev == copied.st_dev && now.st_ino == copied.st_ino &&
           now.st_size == copied.st_size && now.st_mtim.tv_sec == copied.st_mtim.tv_sec &&
           now.st_mtim.tv_nsec == copied.st_mtim.tv_nsec;
}

WorkResult commitWorkCopy(Why *why)
{
    WorkResult r = workFailed;
    say(why, "");
    if (!syncPath(work, O_RDONLY))
        say(why, ioError(errno));
    else if (!targetUnchanged())
        r = workTargetChanged;
    // A new file is linked in, so that one that appeared meanwhile stays.
    else if (held < 0 ? link(work, target) != 0 : rename(work, target) != 0) {
        int e = errno;
        say(why, ioError(e));
        r = e == EEXIST || (held < 0 && e == ENOENT) ? workTargetChanged : workFailed;
    }
    else
        r = workDone;
    if (r != workDone || held < 0)
        unlink(work);
    if (r == workDone)
        syncFolderOf(target);   // the file is in place whether or not this succeeds
    releaseTarget();
    return r;
}

void discardWorkCopy()
{
    unlink(work);
    releaseTarget();
}
