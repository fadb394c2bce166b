// What the programs need of a POSIX system: reading an input file whole,
// telling the user, and the work copy through which a writer replaces its
// file: written beside the file and renamed over it only once complete, so
// that the file is either replaced whole or left as it was.
#include "platform.h"
#include "still.h"
#include "workname.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

// What is being done when error e comes, for its words.
enum Doing { reading, writingFolder };

// Say what error e means while doing that.
static void sayFailure(Why *why, int e, Doing doing)
{
    if (e == EACCES || e == EPERM)
        say(why, doing == reading ? noReadPermission : noFolderPermission);
    else if (e == EROFS)
        say(why, readOnlyDisk);
    else
        say(why, ioError(e));
}

// Read the open file fd into buf, cap bytes at most, setting *len:
// fileTooLarge if it holds more, fileFailed, saying why, on an error.
static FileRead readAll(int fd, char *buf, size_t cap, size_t *len, Why *why)
{
    *len = 0;
    ssize_t n = 0;
    while (*len < cap && (n = read(fd, buf + *len, cap - *len)) > 0)
        *len += n;
    char more;
    if (n < 0) {
        sayFailure(why, errno, reading);
        return fileFailed;
    }
    return *len == cap && read(fd, &more, 1) > 0 ? fileTooLarge : fileRead;
}

// Open path to read, not blocking on a FIFO, and check that it is a regular
// file, filling *st; -1, saying why, if not (errno ENOENT: it is not there).
static int openRegular(const char *path, struct stat *st, Why *why)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK);
    st->st_mode = 0;
    if (fd < 0) {
        int e = errno;
        sayFailure(why, e, reading);
        errno = e;
        return -1;
    }
    if (fstat(fd, st) == 0 && S_ISREG(st->st_mode))
        return fd;
    say(why, S_ISREG(st->st_mode) ? ioError(errno) : "it is not a regular file");
    close(fd);
    errno = 0;
    return -1;
}

static long long nsOf(const struct timespec &t)
{
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

long long clockNs()
{
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return nsOf(t);
}

void pauseNs(long long ns)
{
    struct timespec t = {(time_t)(ns / 1000000000), (long)(ns % 1000000000)};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

// The stamp of what st describes.
static FileStamp stampOf(const struct stat &st)
{
    return {(unsigned long long)st.st_dev, (unsigned long long)st.st_ino, (long long)st.st_size, nsOf(st.st_mtim)};
}

// The ways of readStill with an open file, whose descriptor file points to.
static bool stampFd(void *file, FileStamp *s, Why *why)
{
    struct stat st;
    if (fstat(*(int *)file, &st) != 0) {
        say(why, ioError(errno));
        return false;
    }
    *s = stampOf(st);
    return true;
}

static FileRead readFd(void *file, char *buf, size_t cap, size_t *len, Why *why)
{
    if (lseek(*(int *)file, 0, SEEK_SET) < 0) {
        sayFailure(why, errno, reading);
        return fileFailed;
    }
    return readAll(*(int *)file, buf, cap, len, why);
}

// The hold is a read lease, which the system grants only while no process
// has the file open to write it, and breaks when one opens it so: that
// process waits until the lease ends. Only the file's owner, or root, may
// take one, on a file system that grants them. A broken lease is told by
// signal, which this run does not need.
static WriteHold leaseFd(void *file)
{
    signal(SIGIO, SIG_IGN);
    if (fcntl(*(int *)file, F_SETLEASE, F_RDLCK) == 0)
        return notHeld;
    return errno == EAGAIN ? heldToWrite : holdUnknown;
}

static bool endLease(void *file)
{
    bool kept = fcntl(*(int *)file, F_GETLEASE) == F_RDLCK;
    fcntl(*(int *)file, F_SETLEASE, F_UNLCK);
    return kept;
}

FileRead readWholeFile(const char *path, char *buf, size_t cap, size_t *len, Why *why, bool ours)
{
    struct stat st;
    *len = 0;
    int fd = openRegular(path, &st, why);
    // A link to nothing is there, but cannot be read.
    if (fd < 0)
        return errno == ENOENT && lstat(path, &st) != 0 ? fileMissing : fileFailed;
    FileStamp at;
    FileRead result = ours ? readAll(fd, buf, cap, len, why) : readStill({&fd, stampFd, readFd, leaseFd, endLease}, buf, cap, len, &at, why);
    close(fd);
    return result;
}

// Here text is UTF-8, or in a code page that nothing tells.
long systemToUtf8(const char *, size_t, char *, size_t)
{
    return 0;
}

long systemFromUtf8(const char *, size_t, char *, size_t)
{
    return -1;
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

const char textLineEnd[] = "\n";

void tellUser(const char *msg)
{
    fputs(msg, stderr);
}

static const char *given;              // the file as the writer named it
static char target[PATH_MAX];          // that file, or the file it links to
static char work[PATH_MAX + 32];       // the work copy
static int workFd = -1;      // the work copy, open
static int targetFd = -1;        // target, open and locked, or -1 if it is new
static struct stat copied;   // target as it was when this run took it
static FileStamp readAt;       // target as it was when its bytes were read, or when taken

// Set target to file, or to the file it links to, so that a link stays a
// link; false, saying why, if a link leads nowhere.
static bool findTarget(const char *file, Why *why)
{
    struct stat st;
    given = file;
    if (lstat(file, &st) == 0 && S_ISLNK(st.st_mode)) {
        if (realpath(file, target))
            return true;
        say(why, errno == ENOENT ? "it is a link to nothing" : ioError(errno));
        return false;
    }
    snprintf(target, sizeof target, "%s", file);
    return true;
}

// Release target and the work copy.
static void release()
{
    if (targetFd >= 0)
        close(targetFd);
    if (workFd >= 0)
        close(workFd);
    targetFd = workFd = -1;
}

// Lock the target, open, against other runs, waiting for one that holds it
// for at most turnWaitSeconds; false, saying why, if that fails.
static bool lockTarget(Why *why)
{
    const struct timespec pause = {0, 50 * 1000 * 1000};
    for (int waited = 0; flock(targetFd, LOCK_EX | LOCK_NB) != 0; waited++) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            say(why, ioError(errno));
            return false;
        }
        if (waited == turnWaitSeconds * 20) {
            say(why, otherRunBusy);
            return false;
        }
        nanosleep(&pause, nullptr);
    }
    return true;
}

// Open target and lock it against other runs; targetFd stays -1 if there is no
// target. False, saying why, if it is no regular file this run may write,
// or that fails.
static bool holdTarget(Why *why)
{
    for (;;) {
        targetFd = openRegular(target, &copied, why);
        if (targetFd < 0)
            return errno == ENOENT;
        if (!lockTarget(why))
            break;
        // Another run may have put a new file in place while this one
        // waited: then lock that one.
        struct stat now;
        if (stat(target, &now) != 0 || now.st_dev != copied.st_dev || now.st_ino != copied.st_ino) {
            release();
            continue;
        }
        // The file as it is now that it is ours, which this run must be
        // allowed to change.
        if (fstat(targetFd, &copied) != 0)
            say(why, ioError(errno));
        else if (faccessat(AT_FDCWD, target, W_OK, AT_EACCESS) != 0)
            say(why, errno == EROFS ? readOnlyDisk : "it is read-only; make it writable and run again");
        else
            return true;
        break;
    }
    release();
    return false;
}

// Give the new work copy the target's group, and its owner where we may.
// False, saying why, if the group cannot be kept: those who share the file
// through it would lose it.
static bool copyOwners(Why *why)
{
    if (targetFd < 0)
        return true;
    // Anyone may give the file a group they belong to; only root can give it
    // to another owner.
    struct stat now;
    if (fchown(workFd, (uid_t)-1, copied.st_gid) != 0 && (fstat(workFd, &now) != 0 || now.st_gid != copied.st_gid)) {
        const struct group *g = getgrgid(copied.st_gid);
        char number[16];
        snprintf(number, sizeof number, "%u", (unsigned)copied.st_gid);
        snprintf(why->text, sizeof why->text, "its group %s cannot be kept: you are not in that group",
                 g ? g->gr_name : number);
        return false;
    }
    if (geteuid() == 0 && fchown(workFd, copied.st_uid, (gid_t)-1) != 0) {
        say(why, ioError(errno));
        return false;
    }
    return true;
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
static void removeLeftovers()
{
    char dir[PATH_MAX];
    const char *base;
    splitPath(target, dir, &base);
    DIR *d = opendir(dir);
    if (!d)
        return;
    while (struct dirent *e = readdir(d))
        if (isWorkCopyOf(e->d_name, base))
            unlinkat(dirfd(d), e->d_name, 0);
    closedir(d);
}

bool openWorkCopy(const char *file, WorkCopy *w)
{
    // Past a file-size limit a write should fail, not kill the process.
    signal(SIGXFSZ, SIG_IGN);
    w->len = 0;
    if (!findTarget(file, &w->why) || !holdTarget(&w->why))
        return false;
    w->existed = targetFd >= 0;
    if (w->existed)
        removeLeftovers();
    readAt = stampOf(copied);
    FileRead r = w->bytes && w->existed ? readStill({&targetFd, stampFd, readFd, leaseFd, endLease}, w->bytes, w->cap, &w->len, &readAt, &w->why)
                                        : fileRead;
    if (r != fileFailed && r != fileBusy) {
        if (snprintf(work, sizeof work, "%s.%s-XXXXXX%s", target, w->program, workCopyEnd) >= (int)sizeof work)
            say(&w->why, strerror(ENAMETOOLONG));
        else if ((workFd = mkstemps(work, sizeof workCopyEnd - 1)) < 0)
            sayFailure(&w->why, errno, writingFolder);
        else if (!copyOwners(&w->why))
            unlink(work);
        else {
            w->name = work;
            return true;
        }
    }
    release();
    return false;
}

// fsync the folder that holds path, so that a rename in it lasts.
static void syncFolderOf(const char *path)
{
    char dir[PATH_MAX];
    const char *base;
    splitPath(path, dir, &base);
    int fd = open(dir, O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

// True if target is still the file whose bytes were read, or still absent,
// and the file as the writer named it still leads there.
static bool targetUnchanged()
{
    struct stat now, via;
    if (stat(target, &now) != 0)
        return targetFd < 0 && errno == ENOENT && lstat(given, &via) != 0;
    return targetFd >= 0 && sameStamp(stampOf(now), readAt) && stat(given, &via) == 0 && via.st_dev == now.st_dev &&
           via.st_ino == now.st_ino;
}

// Give the work copy the mode of the file it replaces, or a new file's mode;
// it comes last, once the copy is written, since it may forbid writing, and
// after any change of owner, which clears the set-id bits.
static bool copyMode()
{
    mode_t mode = copied.st_mode & 07777;
    if (targetFd < 0) {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    return fchmod(workFd, mode) == 0;
}

WorkResult commitWorkCopy(WorkCopy *w)
{
    WorkResult r = workFailed;
    say(&w->why, "");
    if (!copyMode() || fsync(workFd) != 0)
        say(&w->why, ioError(errno));
    else if (!targetUnchanged())
        r = workTargetChanged;
    // A new file is linked in, so that one that appeared meanwhile stays.
    else if (targetFd < 0 ? link(work, target) != 0 : rename(work, target) != 0) {
        int e = errno;
        sayFailure(&w->why, e, writingFolder);
        r = e == EEXIST || (targetFd < 0 && e == ENOENT) ? workTargetChanged : workFailed;
    } else {
        r = workDone;
    }
    if (r != workDone || targetFd < 0)
        unlink(work);
    if (r == workDone)
        syncFolderOf(target);   // the file is in place whether or not this succeeds
    release();
    return r;
}

void discardWorkCopy()
{
    unlink(work);
    release();
}
