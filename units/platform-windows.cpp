// What the programs need of Windows: reading an input file whole, telling
// the user (on standard error when it is connected, else in a message box),
// and the work copy through which a writer replaces its file: written beside
// the file and put in its place with ReplaceFileW, which keeps the file's
// attributes and security, only once complete.
#include "units.h"

#include <allegro.h>
#include <winalleg.h>
#include <stdio.h>
#include <string.h>
#include <wctype.h>

const int sharedTries = 20;       // opens retried while another program holds the file
const DWORD sharedWaitMs = 100;   // the pause between them
const int nameSize16 = MAX_PATH;  // UTF-16 units of a file name

static wchar_t target[nameSize16];   // the file to replace
static char work[MAX_PATH];          // the copy being written, as the library names it
static wchar_t work16[nameSize16];
static HANDLE held = INVALID_HANDLE_VALUE;   // target, open, or none if new
static HANDLE turn;                          // this run's turn at target, while held
static BY_HANDLE_FILE_INFORMATION copied;    // target as it was when its bytes were read

// The system's text for error e, without its line end.
static const char *errorText(DWORD e)
{
    static char text[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, e,
                             0, text, sizeof text, nullptr);
    if (n == 0)
        snprintf(text, sizeof text, "error %lu", (unsigned long)e);
    for (size_t len = strlen(text); len > 0 && strchr("\r\n .", text[len - 1]); len--)
        text[len - 1] = '\0';
    return text;
}

// path, UTF-8, as UTF-16 in out.
static bool widen(const char *path, wchar_t out[nameSize16])
{
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, out, nameSize16) > 0;
}

// path, UTF-8 and relative to the current folder, as a full UTF-16 path in
// out: ReplaceFileW wants one.
static bool widenFull(const char *path, wchar_t out[nameSize16])
{
    wchar_t name[nameSize16];
    if (!widen(path, name))
        return false;
    DWORD n = GetFullPathNameW(name, nameSize16, out, nullptr);
    return n > 0 && n < (DWORD)nameSize16;
}

// Open the existing file path, retrying a while when another program holds
// it in a way that excludes ours.
static HANDLE openShared(const wchar_t *path, DWORD access, DWORD share)
{
    for (int tries = 1;; tries++) {
        HANDLE h = CreateFileW(path, access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION || tries == sharedTries)
            return h;
        Sleep(sharedWaitMs);
    }
}

static bool missing(DWORD e)
{
    return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND;
}

// Read the open file h into buf, cap bytes at most, setting *len:
// fileTooLarge if it holds more, fileFailed with *why on an error.
static FileRead readAll(HANDLE h, char *buf, size_t cap, size_t *len, const char **why)
{
    *len = 0;
    DWORD n = 0;
    BOOL ok = TRUE;
    while (*len < cap && (ok = ReadFile(h, buf + *len, (DWORD)(cap - *len), &n, nullptr)) && n > 0)
        *len += n;
    char more;
    if (!ok) {
        *why = errorText(GetLastError());
        return fileFailed;
    }
    return *len == cap && ReadFile(h, &more, 1, &n, nullptr) && n > 0 ? fileTooLarge : fileRead;
}

FileRead readWholeFile(const char *path, char *buf, size_t cap, size_t *len, const char **why)
{
    wchar_t name[nameSize16];
    if (!widen(path, name)) {
        *why = errorText(GetLastError());
        return fileFailed;
    }
    HANDLE h = openShared(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD e = GetLastError();
        *why = errorText(e);
        return missing(e) ? fileMissing : fileFailed;
    }
    FileRead r = fileFailed;
    *len = 0;
    if (GetFileType(h) != FILE_TYPE_DISK)
        *why = "it is not a regular file";
    else
        r = readAll(h, buf, cap, len, why);
    CloseHandle(h);
    return r;
}

void tellUser(const char *msg)
{
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD n;
    if (err && err != INVALID_HANDLE_VALUE && GetFileType(err) != FILE_TYPE_UNKNOWN) {
        WriteFile(err, msg, (DWORD)strlen(msg), &n, nullptr);
        return;
    }
    // Started from Explorer: a GUI program has no console to write to.
    wchar_t text[1024];
    if (MultiByteToWideChar(CP_UTF8, 0, msg, -1, text, 1024) == 0)
        wcscpy(text, L"The conversion failed.");
    MessageBoxW(nullptr, text, L"valdra units", MB_OK | MB_ICONERROR);
}

// True if the open files a and b are one file, as it was when copied.
static bool sameFile(const BY_HANDLE_FILE_INFORMATION &a, const BY_HANDLE_FILE_INFORMATION &b)
{
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow && a.nFileSizeHigh == b.nFileSizeHigh &&
           a.nFileSizeLow == b.nFileSizeLow &&
           CompareFileTime(&a.ftLastWriteTime, &b.ftLastWriteTime) == 0;
}

// What target is now, through a handle of its own; false if it is not there.
static bool targetNow(BY_HANDLE_FILE_INFORMATION *now)
{
    HANDLE h = CreateFileW(target, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    bool ok = h != INVALID_HANDLE_VALUE && GetFileInformationByHandle(h, now);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    return ok;
}

// Release target, and let the next run have it.
static void releaseTarget()
{
    if (held != INVALID_HANDLE_VALUE)
        CloseHandle(held);
    held = INVALID_HANDLE_VALUE;
    if (turn) {
        ReleaseMutex(turn);
        CloseHandle(turn);
        turn = nullptr;
    }
}

// Wait for this run's turn at target: a mutex named after its full path, so
// that runs on one file take turns even while a replace briefly leaves no
// file at that path.
static bool takeTurn(const char **why)
{
    // A name in the session's namespace, at most MAX_PATH long. Object names
    // take no '\\'; any other sign but a letter or digit becomes '_', and
    // two paths that then look alike merely take turns.
    wchar_t name[MAX_PATH] = L"valdra-units-";
    size_t at = wcslen(name);
    for (const wchar_t *p = target; *p && at + 1 < MAX_PATH; p++)
        name[at++] = iswalnum(*p) ? *p : L'_';
    name[at] = 0;
    CharLowerW(name);   // the file system compares names without case
    turn = CreateMutexW(nullptr, FALSE, name);
    DWORD w = turn ? WaitForSingleObject(turn, INFINITE) : WAIT_FAILED;
    // An abandoned mutex is a run that died: the turn is ours.
    if (w == WAIT_OBJECT_0 || w == WAIT_ABANDONED)
        return true;
    *why = errorText(GetLastError());
    if (turn)
        CloseHandle(turn);
    turn = nullptr;
    return false;
}

// Take this run's turn at target, then open it so that no other program
// writes it meanwhile; held stays unset if there is no target. False with
// *why if that fails.
static bool holdTarget(const char **why)
{
    if (!takeTurn(why))
        return false;
    held = openShared(target, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
    if (held == INVALID_HANDLE_VALUE) {
        DWORD e = GetLastError();
        *why = errorText(e);
        if (missing(e))
            return true;
    } else if (GetFileType(held) != FILE_TYPE_DISK) {
        *why = "it is not a regular file";
    } else if (!GetFileInformationByHandle(held, &copied)) {
        *why = errorText(GetLastError());
    } else if (copied.dwFileAttributes & FILE_ATTRIBUTE_READONLY) {
        *why = "it is read-only";
    } else {
        return true;
    }
    releaseTarget();
    return false;
}

const char *openWorkCopy(const char *file, char *bytes, size_t cap, size_t *len, const char **why)
{
    size_t none;
    if (!len)
        len = &none;
    *len = 0;
    if (!widenFull(file, target)) {
        *why = errorText(GetLastError());
        return nullptr;
    }
    if (!holdTarget(why))
        return nullptr;
    if (bytes && held != INVALID_HANDLE_VALUE && readAll(held, bytes, cap, len, why) == fileFailed) {
        releaseTarget();
        return nullptr;
    }
    // A name beside the file that no other process can take.
    for (unsigned n = GetTickCount() ^ GetCurrentProcessId(), tries = 0; tries < 100; n++, tries++) {
        snprintf(work, sizeof work, "%s.%06x", file, n & 0xFFFFFF);
        if (!widenFull(work, work16))
            break;
        HANDLE h = CreateFileW(work16, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
            return work;
        }
        if (GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    *why = errorText(GetLastError());
    releaseTarget();
    return nullptr;
}

// Flush the work copy to the disk.
static bool flushWork()
{
    HANDLE h = CreateFileW(work16, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    bool ok = h != INVALID_HANDLE_VALUE && FlushFileBuffers(h);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    return ok;
}

// Put the work copy in place of the existing target, retrying a while when
// another program holds the target open.
static bool replaceTarget()
{
    for (int tries = 1;; tries++) {
        if (ReplaceFileW(target, work16, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr))
            return true;
        DWORD e = GetLastError();
        if ((e != ERROR_SHARING_VIOLATION && e != ERROR_UNABLE_TO_REMOVE_REPLACED) || tries == sharedTries)
            return false;
        Sleep(sharedWaitMs);
    }
}

WorkResult commitWorkCopy(const char **why)
{
    *why = "";
    WorkResult r = workFailed;
    BY_HANDLE_FILE_INFORMATION now;
    bool existed = held != INVALID_HANDLE_VALUE;
    if (!flushWork()) {
        *why = errorText(GetLastError());
    } else if (existed ? !targetNow(&now) || !sameFile(now, copied) : targetNow(&now)) {
        r = workTargetChanged;
    } else {
        bool placed = existed ? replaceTarget() : MoveFileExW(work16, target, MOVEFILE_WRITE_THROUGH);
        DWORD e = GetLastError();
        if (placed)
            r = workDone;
        else if (e == ERROR_ALREADY_EXISTS || e == ERROR_FILE_EXISTS)
            r = workTargetChanged;
        else
            *why = errorText(e);
    }
    if (r != workDone)
        DeleteFileW(work16);
    releaseTarget();
    return r;
}

void discardWorkCopy()
{
    DeleteFileW(work16);
    releaseTarget();
}
