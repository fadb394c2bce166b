// What the programs need of Windows: the turns that runs take at the two
// files, reading an input file whole, telling the user (in the console, on
// redirected standard error, or in a message box), and the work copy through
// which a writer replaces its file: written beside the file and renamed over
// it in one step once complete, so that the file's name always holds the old
// bytes or the new ones, whole, whatever another program does meanwhile.
// Every open shares what it can and waits a while for a file that another
// program holds, or has moved away for a moment, as sync clients do.
#include "platform.h"
#include "still.h"
#include "workname.h"

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

const int sharedTries = 20;       // tries while another program holds a file
const int missingTries = 3;       // tries while a file is not there
const DWORD sharedWaitMs = 100;   // the pause between them
const int pathSize = 32768;       // UTF-16 units of the longest path, "\\?\" included
const int workNameSize = 64;      // the work copy's name, without a folder
const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

static wchar_t scratch[pathSize];   // a path on its way to being full
static wchar_t given[pathSize];     // the file as the writer named it, a full "\\?\" path
static wchar_t target[pathSize];    // that file, or the file it links to
static wchar_t work16[pathSize];    // the work copy, a full "\\?\" path
static char work[workNameSize];     // the work copy, beside the file as named, as the library names it
static HANDLE targetHandle = INVALID_HANDLE_VALUE; // target, open, or none if new
static HANDLE workHeld = INVALID_HANDLE_VALUE;  // the work copy, open
static BY_HANDLE_FILE_INFORMATION copied;       // target as it was when this run took it
static FileStamp readAt;                        // target as it was when its bytes were read, or when taken
static HANDLE turns[2];                         // this run's turns at valdra.ini and valdra.csv

// Whether error e means that another program holds the file.
static bool heldElsewhere(DWORD e)
{
    return e == ERROR_SHARING_VIOLATION || e == ERROR_LOCK_VIOLATION;
}

static bool missing(DWORD e)
{
    return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND;
}

// What is being done when an error comes, for its words.
enum Doing { reading, writingFolder };

// Say what error e means while doing that, without its line end.
static void sayError(Why *why, DWORD e, Doing doing)
{
    if (heldElsewhere(e)) {
        say(why, "it is open in another program; close it there and run again");
        return;
    }
    if (e == ERROR_ACCESS_DENIED || e == ERROR_WRITE_PROTECT) {
        say(why, e == ERROR_WRITE_PROTECT ? readOnlyDisk : doing == reading ? noReadPermission : noFolderPermission);
        return;
    }
    // The system's words in its own language, as UTF-16, made UTF-8.
    wchar_t words[sizeof why->text / 3];
    char *text = why->text;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, e, 0, words,
                             sizeof words / sizeof words[0], nullptr);
    while (n > 0 && wcschr(L"\r\n .", words[n - 1]))
        n--;
    if (n == 0 || WideCharToMultiByte(CP_UTF8, 0, words, (int)n, text, sizeof why->text - 1, nullptr, nullptr) == 0)
        snprintf(text, sizeof why->text, "error %lu", (unsigned long)e);
    else
        text[WideCharToMultiByte(CP_UTF8, 0, words, (int)n, nullptr, 0, nullptr, nullptr)] = '\0';
}

// After an attempt that failed with error e: true, after a pause, if
// another program holds the file and tries are left. Where deniedToo,
// access denied counts as held: so Windows answers a rename or a deletion
// of a file that another program has open.
static bool tryAgain(int *tries, DWORD e, bool deniedToo)
{
    if ((!heldElsewhere(e) && !(deniedToo && e == ERROR_ACCESS_DENIED)) || ++*tries >= sharedTries)
        return false;
    Sleep(sharedWaitMs);
    return true;
}

// path, UTF-8 and relative to the current folder, as a full UTF-16 path in
// out, "\\?\" in front, so that no length limit but the system's own applies.
static bool fullPath(const char *path, wchar_t out[pathSize])
{
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, out, pathSize) == 0)
        return false;
    DWORD n = GetFullPathNameW(out, pathSize - 8, scratch, nullptr);
    if (n == 0 || n >= (DWORD)pathSize - 8)
        return false;
    // A share, \\server\share\..., becomes \\?\UNC\server\share\....
    bool unc = scratch[0] == L'\\' && scratch[1] == L'\\';
    if (scratch[0] == L'\\' && scratch[1] == L'\\' && scratch[2] == L'?')
        wcscpy(out, scratch);
    else
        swprintf(out, pathSize, unc ? L"\\\\?\\UNC\\%ls" : L"\\\\?\\%ls", scratch + (unc ? 2 : 0));
    return true;
}

// The start of the last name in the full path.
static wchar_t *lastName(wchar_t *path)
{
    wchar_t *slash = wcsrchr(path, L'\\');
    return slash ? slash + 1 : path;
}

// Whether path names a folder.
static bool isFolder(const wchar_t *path)
{
    DWORD a = GetFileAttributesW(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

// Open the existing file path, retrying a while when another program holds
// it in a way that excludes ours, or has moved it away for a moment.
static HANDLE openShared(const wchar_t *path, DWORD access, DWORD share)
{
    HANDLE h;
    for (int tries = 0, gone = 0;; Sleep(sharedWaitMs)) {
        h = CreateFileW(path, access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD e = GetLastError();
        if (h != INVALID_HANDLE_VALUE || (missing(e) ? ++gone >= missingTries : !tryAgain(&tries, e, false)))
            break;
    }
    return h;
}

// Read the open file h into buf, cap bytes at most, setting *len:
// fileTooLarge if it holds more, fileFailed, saying why, on an error.
static FileRead readAll(HANDLE h, char *buf, size_t cap, size_t *len, Why *why)
{
    *len = 0;
    DWORD n = 0;
    BOOL ok = TRUE;
    while (*len < cap && (ok = ReadFile(h, buf + *len, (DWORD)(cap - *len), &n, nullptr)) && n > 0)
        *len += n;
    char more;
    if (!ok) {
        sayError(why, GetLastError(), reading);
        return fileFailed;
    }
    return *len == cap && ReadFile(h, &more, 1, &n, nullptr) && n > 0 ? fileTooLarge : fileRead;
}

// Open the existing file path to read it, sharing share, as a regular file;
// INVALID_HANDLE_VALUE, saying why, if that fails, *gone set if it is not
// there.
static HANDLE openRegular(const wchar_t *path, DWORD share, Why *why, bool *gone)
{
    *gone = false;
    if (isFolder(path)) {
        say(why, "it is not a regular file");
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = openShared(path, GENERIC_READ, share);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD e = GetLastError();
        sayError(why, e, reading);
        *gone = missing(e);
    } else if (GetFileType(h) != FILE_TYPE_DISK) {
        say(why, "it is not a regular file");
        CloseHandle(h);
        h = INVALID_HANDLE_VALUE;
    }
    return h;
}

// A FILETIME in nanoseconds.
static long long nsOf(FILETIME t)
{
    return (long long)((unsigned long long)t.dwHighDateTime << 32 | t.dwLowDateTime) * 100;
}

long long clockNs()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return nsOf(now);
}

void pauseNs(long long ns)
{
    Sleep((DWORD)(ns / 1000000));
}

// The stamp of the open file h.
static bool stampHandle(HANDLE h, FileStamp *s)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info))
        return false;
    s->volume = info.dwVolumeSerialNumber;
    s->index = (unsigned long long)info.nFileIndexHigh << 32 | info.nFileIndexLow;
    s->size = (long long)((unsigned long long)info.nFileSizeHigh << 32 | info.nFileSizeLow);
    s->written = nsOf(info.ftLastWriteTime);
    return true;
}

// An open file for readStill: its handle and its full path.
struct Opened {
    HANDLE handle;
    const wchar_t *path;
};

// The ways of readStill with an Opened file.
static bool stampFile(void *file, FileStamp *s, Why *why)
{
    if (stampHandle(((Opened *)file)->handle, s))
        return true;
    sayError(why, GetLastError(), reading);
    return false;
}

static FileRead readFile(void *file, char *buf, size_t cap, size_t *len, Why *why)
{
    LARGE_INTEGER start = {};
    HANDLE h = ((Opened *)file)->handle;
    if (!SetFilePointerEx(h, start, nullptr, FILE_BEGIN)) {
        sayError(why, GetLastError(), reading);
        return fileFailed;
    }
    return readAll(h, buf, cap, len, why);
}

// The hold is an open that shares reading but not writing, which the
// system refuses while another program has the file open to write it. It
// is closed at once, since it would keep other programs from writing: a
// program that opens the file to write it during the read is found by the
// open after the read, or by the change it makes.
static WriteHold probeWriters(void *file)
{
    HANDLE h = CreateFileW(((Opened *)file)->path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return notHeld;
    }
    return heldElsewhere(GetLastError()) ? heldToWrite : holdUnknown;
}

static bool noWriterSince(void *file)
{
    return probeWriters(file) != heldToWrite;
}

FileRead readWholeFile(const char *path, char *buf, size_t cap, size_t *len, Why *why, bool ours)
{
    static wchar_t name[pathSize];
    *len = 0;
    bool gone;
    if (!fullPath(path, name)) {
        sayError(why, GetLastError(), reading);
        return fileFailed;
    }
    HANDLE h = openRegular(name, shareAll, why, &gone);
    if (h == INVALID_HANDLE_VALUE)
        return gone ? fileMissing : fileFailed;
    FileStamp at;
    Opened opened = {h, name};
    FileRead r = ours ? readAll(h, buf, cap, len, why)
                      : readStill({&opened, stampFile, readFile, probeWriters, noWriterSince}, buf, cap, len, &at, why);
    CloseHandle(h);
    return r;
}

long systemToUtf8(const char *in, size_t n, char *out, size_t cap)
{
    static wchar_t wide[systemTextMaxBytes];   // a byte becomes one UTF-16 unit at most
    if (n == 0 || n > systemTextMaxBytes)
        return -1;
    int w = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, in, (int)n, wide, (int)systemTextMaxBytes);
    int u = w > 0 ? WideCharToMultiByte(CP_UTF8, 0, wide, w, out, (int)cap, nullptr, nullptr) : 0;
    return u > 0 ? u : -1;
}

long systemFromUtf8(const char *in, size_t n, char *out, size_t cap)
{
    BOOL lost = FALSE;
    if (n == 0)
        return 0;
    // A byte of UTF-8 becomes one UTF-16 unit at most.
    wchar_t *wide = (wchar_t *)malloc(n * sizeof(wchar_t));
    int w = wide ? MultiByteToWideChar(CP_UTF8, 0, in, (int)n, wide, (int)n) : 0;
    int m = w > 0 ? WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, w, out, (int)cap, nullptr, &lost) : 0;
    free(wide);
    return m > 0 && !lost ? m : -1;
}

const char textLineEnd[] = "\r\n";

void tellUser(const char *msg)
{
    static wchar_t text[2048];
    if (MultiByteToWideChar(CP_UTF8, 0, msg, -1, text, sizeof text / sizeof text[0]) == 0)
        wcscpy(text, L"The conversion failed.\n");
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD n, mode;
    // A console shows UTF-16 as it is; a pipe or a file gets the UTF-8.
    if (err && err != INVALID_HANDLE_VALUE && GetConsoleMode(err, &mode)) {
        WriteConsoleW(err, text, (DWORD)wcslen(text), &n, nullptr);
        return;
    }
    if (err && err != INVALID_HANDLE_VALUE && GetFileType(err) != FILE_TYPE_UNKNOWN) {
        WriteFile(err, msg, (DWORD)strlen(msg), &n, nullptr);
        return;
    }
    // Started from Explorer: a GUI program has no console to write to.
    MessageBoxW(nullptr, text, L"valdra units", MB_OK | MB_ICONERROR);
}

// The name of the turn at file: the identity of its folder (volume and file
// index, the same through every spelling of the folder's path: drive
// letters, case, short names, "..", shares) and the file's name in lower
// case. Where the folder cannot be opened, its full path stands in.
static bool turnName(const char *file, wchar_t name[MAX_PATH])
{
    static wchar_t path[pathSize];
    if (!fullPath(file, path))
        return false;
    // The folder of a file at a drive's root is that root, "C:\".
    wchar_t *base = lastName(path);
    wmemmove(base + 1, base, wcslen(base) + 1);
    CharLowerW(++base);
    base[base[-2] == L':' ? -1 : -2] = L'\0';
    HANDLE dir = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    bool known = dir != INVALID_HANDLE_VALUE && GetFileInformationByHandle(dir, &info);
    if (dir != INVALID_HANDLE_VALUE)
        CloseHandle(dir);
    if (known)
        swprintf(name, MAX_PATH, L"valdra-units-%08lx-%08lx%08lx-%.100ls", (unsigned long)info.dwVolumeSerialNumber,
                 (unsigned long)info.nFileIndexHigh, (unsigned long)info.nFileIndexLow, base);
    else
        // Object names take no '\\'; two paths that then look alike merely take turns.
        swprintf(name, MAX_PATH, L"valdra-units-%.200ls-%.40ls", wcslen(path) > 200 ? path + wcslen(path) - 200 : path, base);
    for (wchar_t *p = name; *p; p++)
        if (*p == L'\\')
            *p = L'_';
    CharLowerW(name);
    return true;
}

bool takeTurns(const char *first, const char *second, Why *why)
{
    // Always in the same order, so that two runs never wait for each other.
    const char *files[] = {first, second};
    for (int i = 0; i < 2; i++) {
        wchar_t name[MAX_PATH];
        DWORD w = WAIT_FAILED;
        if (turnName(files[i], name) && (turns[i] = CreateMutexW(nullptr, FALSE, name)))
            w = WaitForSingleObject(turns[i], turnWaitSeconds * 1000);
        // An abandoned turn is a run that died: the turn is ours.
        if (w == WAIT_OBJECT_0 || w == WAIT_ABANDONED)
            continue;
        Why cause;
        sayError(&cause, GetLastError(), reading);
        if (w == WAIT_TIMEOUT)
            say(why, otherRunBusy);
        else
            snprintf(why->text, sizeof why->text, "could not wait for other runs on the same files: %s", cause.text);
        endTurns();
        return false;
    }
    return true;
}

void endTurns()
{
    for (HANDLE &t : turns)
        if (t) {
            ReleaseMutex(t);
            CloseHandle(t);
            t = nullptr;
        }
}

// The stamp of the file at path now, through a handle of its own; false if
// it is not there.
static bool fileNow(const wchar_t *path, FileStamp *now)
{
    HANDLE h = CreateFileW(path, 0, shareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    bool ok = h != INVALID_HANDLE_VALUE && stampHandle(h, now);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    return ok;
}

static void releaseTarget()
{
    if (targetHandle != INVALID_HANDLE_VALUE)
        CloseHandle(targetHandle);
    targetHandle = INVALID_HANDLE_VALUE;
}

static void releaseWork()
{
    if (workHeld != INVALID_HANDLE_VALUE)
        CloseHandle(workHeld);
    workHeld = INVALID_HANDLE_VALUE;
}

// Open the file as named, or the file it links to, so that no other program
// writes it meanwhile, and set target to that file; targetHandle stays
// unset if there is none. False, saying why, if it is no regular file this run may
// write, or that fails.
static bool holdTarget(Why *why)
{
    bool gone;
    wcscpy(target, given);
    targetHandle = openRegular(given, FILE_SHARE_READ | FILE_SHARE_DELETE, why, &gone);
    if (targetHandle == INVALID_HANDLE_VALUE)
        return gone;
    DWORD n = GetFinalPathNameByHandleW(targetHandle, target, pathSize, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0 || n >= (DWORD)pathSize)
        wcscpy(target, given);
    if (!GetFileInformationByHandle(targetHandle, &copied) || !stampHandle(targetHandle, &readAt))
        sayError(why, GetLastError(), reading);
    else if (copied.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
        say(why, "it is read-only; clear that in its properties");
    else
        return true;
    releaseTarget();
    return false;
}

// Delete the file path, retrying a while when another program holds it.
static bool removeFile(const wchar_t *path)
{
    for (int tries = 0; !DeleteFileW(path) && !missing(GetLastError());)
        if (!tryAgain(&tries, GetLastError(), true))
            return false;
    return true;
}

// Remove the work copies of the file that earlier runs left behind, killed
// before they could; this run holds the turn at the file, so that no run is
// still writing one.
static void removeLeftovers(const wchar_t *file)
{
    static wchar_t path[pathSize];
    char base[MAX_PATH * 3], found[MAX_PATH * 3];
    wcscpy(path, file);
    wchar_t *name = lastName(path);
    if (WideCharToMultiByte(CP_UTF8, 0, name, -1, base, sizeof base, nullptr, nullptr) == 0 ||
        wcslen(path) + 8 >= (size_t)pathSize)
        return;
    swprintf(path + wcslen(path), 8, L".*%hs", workCopyEnd);
    WIN32_FIND_DATAW f;
    HANDLE h = FindFirstFileW(path, &f);
    if (h == INVALID_HANDLE_VALUE)
        return;
    do {
        if (WideCharToMultiByte(CP_UTF8, 0, f.cFileName, -1, found, sizeof found, nullptr, nullptr) &&
            isWorkCopyOf(found, base) && name - path + wcslen(f.cFileName) < (size_t)pathSize) {
            wcscpy(name, f.cFileName);
            DeleteFileW(path);
        }
    } while (FindNextFileW(h, &f));
    FindClose(h);
}

// Call make with one work copy's tag after another, beginning where no
// other run is likely to, until it makes its file; a name that is taken
// (ERROR_FILE_EXISTS) gives the next. False, with the last error, if make
// fails otherwise, or after 100 names.
static bool eachWorkTag(bool (*make)(void *user, unsigned tag), void *user)
{
    for (unsigned n = GetTickCount() ^ GetCurrentProcessId() << 8, tries = 0; tries < 100; n++, tries++) {
        if (make(user, n & workCopyTagMask))
            return true;
        if (GetLastError() != ERROR_FILE_EXISTS)
            return false;
    }
    return false;
}

// A work copy in the making: the file as named and the program, and where
// its name as the library names it, its full path and its handle go.
struct Making {
    const char *file, *program;
    char *name;
    wchar_t *path;
    HANDLE *handle;
};

// Make the work copy of a Making with tag, and hold it open, sharing it only
// as the library opens files, to read and write: another program can then
// open it only in ways that let the library open it too.
static bool makeWorkTagged(void *making, unsigned tag)
{
    const Making &m = *(const Making *)making;
    snprintf(m.name, workNameSize, "%s.%s-%0*x%s", m.file, m.program, workCopyTag, tag, workCopyEnd);
    if (!fullPath(m.name, m.path))
        return false;
    *m.handle = CreateFileW(m.path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    return *m.handle != INVALID_HANDLE_VALUE;
}

// Make the work copy beside the file as named, under a name no other
// process can take, and hold it open. False, saying why, if that fails.
static bool makeWork(const char *file, const char *program, Why *why)
{
    Making making = {file, program, work, work16, &workHeld};
    if (eachWorkTag(makeWorkTagged, &making))
        return true;
    sayError(why, GetLastError(), writingFolder);
    return false;
}

bool openWorkCopy(const char *file, WorkCopy *w)
{
    w->len = 0;
    if (!fullPath(file, given)) {
        sayError(&w->why, GetLastError(), reading);
        return false;
    }
    if (!holdTarget(&w->why))
        return false;
    w->existed = targetHandle != INVALID_HANDLE_VALUE;
    removeLeftovers(given);
    if (w->existed && wcscmp(given, target) != 0)
        removeLeftovers(target);
    Opened opened = {targetHandle, given};
    FileRead r = w->bytes && w->existed ? readStill({&opened, stampFile, readFile, probeWriters, noWriterSince}, w->bytes,
                                                    w->cap, &w->len, &readAt, &w->why)
                                        : fileRead;
    if (r == fileFailed || r == fileBusy || !makeWork(file, w->program, &w->why)) {
        releaseTarget();
        return false;
    }
    w->name = work;
    return true;
}

// Give the work copy the target's hidden, system and indexing attributes,
// and the archive attribute, which a write sets, so that a backup sees that
// the file changed; and set to in the target's path under the name's own
// spelling (its case), so that the replaced file looks as it did.
static void takeLooks(wchar_t to[pathSize])
{
    const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    SetFileAttributesW(work16, (copied.dwFileAttributes & kept) | FILE_ATTRIBUTE_ARCHIVE);
    wcscpy(to, target);
    WIN32_FIND_DATAW f;
    HANDLE h = FindFirstFileW(target, &f);
    if (h == INVALID_HANDLE_VALUE)
        return;
    wchar_t *name = lastName(to);
    if (wcslen(f.cFileName) == wcslen(name))
        wcscpy(name, f.cFileName);
    FindClose(h);
}

// True if the full paths a and b name files in one folder.
static bool sameFolder(const wchar_t *a, const wchar_t *b)
{
    size_t n = lastName((wchar_t *)a) - a;
    return n == (size_t)(lastName((wchar_t *)b) - b) && _wcsnicmp(a, b, n) == 0;
}

// A copy of the work copy beside the target: the program, and where its
// full path goes.
struct Beside {
    const char *program;
    wchar_t *path;
};

// Copy the work copy to a Beside with tag; the copy is flushed to disk.
static bool copyBesideTagged(void *beside, unsigned tag)
{
    const Beside &b = *(const Beside *)beside;
    if (swprintf(b.path, pathSize, L"%ls.%hs-%0*x%hs", target, b.program, workCopyTag, tag, workCopyEnd) < 0) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    if (!CopyFileW(work16, b.path, TRUE))
        return false;
    HANDLE h = CreateFileW(b.path, GENERIC_WRITE, shareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        FlushFileBuffers(h);
        CloseHandle(h);
    }
    return true;
}

// Where the file as named links to a file in another folder, perhaps on
// another volume, copy the work copy beside that file, so that the rename
// that replaces it stays in one folder. False, saying why, if that fails.
static bool workBesideTarget(const char *program, Why *why)
{
    static wchar_t path[pathSize];
    Beside beside = {program, path};
    if (sameFolder(work16, target))
        return true;
    if (eachWorkTag(copyBesideTagged, &beside)) {
        removeFile(work16);
        wcscpy(work16, path);
        return true;
    }
    sayError(why, GetLastError(), writingFolder);
    return false;
}

// Say why the rename over to failed with error e: a file that another
// program holds refuses to be replaced with "access denied" too.
static void sayMoveFailure(Why *why, const wchar_t *to, DWORD e)
{
    if (e == ERROR_ACCESS_DENIED) {
        HANDLE h = CreateFileW(to, DELETE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        else if (heldElsewhere(GetLastError()))
            e = ERROR_SHARING_VIOLATION;
    }
    sayError(why, e, writingFolder);
}

// Whether the target is still the file whose bytes were read, under its
// name and the name it was given, or, where it was absent, still absent:
// it is, it changed, or another program holds it (error in *e).
enum Unchanged { stillSame, changed, heldNow };

// Check the target through an open that keeps other programs from writing
// it until just before the rename: an open that shares reading and
// deleting but not writing, which fails while another program writes it.
static Unchanged checkTarget(bool existed, DWORD *e)
{
    FileStamp now, via;
    if (!existed)
        return fileNow(target, &now) ? changed : stillSame;
    HANDLE h = CreateFileW(target, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    *e = GetLastError();
    if (h == INVALID_HANDLE_VALUE)
        return heldElsewhere(*e) ? heldNow : changed;
    bool same = stampHandle(h, &now) && sameStamp(now, readAt) && fileNow(given, &via) && sameStamp(via, readAt);
    CloseHandle(h);
    return same ? stillSame : changed;
}

// Rename the work copy over to in one step, once the target is found
// unchanged, retrying a while when another program holds either file; each
// try checks the target again, so that a save that another program made
// meanwhile is never replaced. A rename that fails leaves both as they
// were.
static WorkResult placeWork(const wchar_t *to, bool existed, Why *why)
{
    for (int tries = 0;;) {
        DWORD e = 0;
        Unchanged u = checkTarget(existed, &e);
        if (u == changed)
            return workTargetChanged;
        if (u == stillSame && MoveFileExW(work16, to, (existed ? MOVEFILE_REPLACE_EXISTING : 0) | MOVEFILE_WRITE_THROUGH))
            return workDone;
        if (u == stillSame)
            e = GetLastError();
        if (e == ERROR_ALREADY_EXISTS || e == ERROR_FILE_EXISTS)
            return workTargetChanged;
        if (!tryAgain(&tries, e, true)) {
            sayMoveFailure(why, to, e);
            return workFailed;
        }
    }
}

WorkResult commitWorkCopy(WorkCopy *w)
{
    static wchar_t to[pathSize];
    say(&w->why, "");
    WorkResult r = workFailed;
    if (w->existed)
        takeLooks(to);
    if (!FlushFileBuffers(workHeld)) {
        sayError(&w->why, GetLastError(), writingFolder);
    } else {
        // The rename replaces no file that is open, not even by this run.
        releaseWork();
        releaseTarget();
        if (w->existed && !workBesideTarget(w->program, &w->why)) {
            removeFile(work16);
            return workFailed;
        }
        r = placeWork(w->existed ? to : target, w->existed, &w->why);
    }
    releaseWork();
    if (r != workDone)
        removeFile(work16);
    releaseTarget();
    return r;
}

void discardWorkCopy()
{
    releaseWork();
    removeFile(work16);
    releaseTarget();
}
