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

const int sharedTries = 20;       // opens retried while another program holds the file
const DWORD sharedWaitMs = 100;   // the pause between them
const int nameSize16 = MAX_PATH;  // UTF-16 units of a file name

static wchar_t target[nameSize16];   // the file to replace
static char work[MAX_PATH];          // the copy being written, as the library names it
static wchar_t work16[nameSize16];
static HANDLE held = INVALID_HANDLE_VALUE;   // target, open and locked, or none if new
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

// Read the open file h into buf, cap bytes at most, setting *len; false with
// *why if it fails or holds more.
static bool readAll(HANDLE h, char *buf, size_t cap, size_t *len, const char **why)
{
    *len = 0;
    DWORD n = 0;
    while (*len < cap && ReadFile(h, buf + *len, (DWORD)(cap - *len), &n, nullptr) && n > 0)
        *len += n;
    char more;
    if (*len == cap && ReadFile(h, &more, 1, &n, nullptr) && n > 0)
        *why = "it is larger than csvtoini can check";
    else if (*len < cap && n != 0)
        *why = errorText(GetLastError());
    else
        return true;
    return false;
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
    if (GetFileType(h) != FILE_TYPE_DISK)
        *why = "it is not a regular file";
    else if (readAll(h, buf, cap, len, why))
        r = fileRead;
    else if (*len == cap)
        r = fileTooLarge;
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

// Release target.
static void releaseTarget()
{
    if (held != INVALID_HANDLE_VALUE)
        CloseHandle(held);
    held = INVALID_HANDLE_VALUE;
}

// Open target so that no other program writes it meanwhile, and lock it
// against other runs, which wait; held stays unset if there is no target.
// The lock lies far past the end of the file, so that readers such as the
// game are not kept out. False with *why if that fails.
static bool holdTarget(const char **why)
{
    for (;;) {
        held = openShared(target, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
        if (held == INVALID_HANDLE_VALUE) {
            DWORD e = GetLastError();
            *why = errorText(e);
            return missing(e);
        }
        OVERLAPPED beyond = {};
        beyond.OffsetHigh = 0x7FFFFFFF;
        BY_HANDLE_FILE_INFORMATION now;
        if (GetFileType(held) != FILE_TYPE_DISK)
            *why = "it is not a regular file";
        else if (!GetFileInformationByHandle(held, &copied) || !LockFileEx(held, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &beyond))
            *why = errorText(GetLastError());
        else if (copied.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
            *why = "it is read-only";
        // Another run may have put a new file in place while this one
        // waited: then hold that one.
        else if (targetNow(&now) && sameFile(now, copied))
            return true;
        else {
            releaseTarget();
            continue;
        }
        releaseTarget();
        return false;
    }
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
    if (bytes && held != INVALID_HANDLE_VALUE && !readAll(held, bytes, cap, len, why)) {
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
