// The programs that run beside the game on a Windows machine, for the tests
// under Wine; each runs for a number of seconds in the current folder.
// ACCESS is r (read) or rd (read and delete), or rw (read and write); SHARE
// is what the open shares, some of r, w and d, or - for nothing.
//   neighbour scan SECONDS ACCESS SHARE MS PATTERN...  opens each new or
//       changed file that the patterns find and holds it MS milliseconds, as
//       virus scanners and indexers do
//   neighbour hold SECONDS ACCESS SHARE FILE MARKER  holds FILE open, as an
//       editor or a spreadsheet does, and creates MARKER once it does
//   neighbour edit SECONDS FILE FROM  saves FILE again and again as editors
//       save, a new file renamed over it, holding the bytes of FROM
//   neighbour sync SECONDS FILE  moves FILE away for 20 ms and back, again
//       and again, as sync clients do
//   neighbour write SECONDS FILE FROM...  saves FILE in place every 0.7 s, as
//       scripts and the game do: it empties the file, then writes the bytes
//       of each FROM in turn in 512-byte pieces 1 ms apart, or WRITER_PAUSE
//       seconds after the first, as a stalled download does
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static char bytes[1 << 20];   // what edit saves

// The desired access and the share mode that the letters say.
static DWORD accessOf(const char *s)
{
    return (strchr(s, 'r') ? GENERIC_READ : 0) | (strchr(s, 'w') ? GENERIC_WRITE : 0) | (strchr(s, 'd') ? DELETE : 0);
}

static DWORD shareOf(const char *s)
{
    return (strchr(s, 'r') ? FILE_SHARE_READ : 0) | (strchr(s, 'w') ? FILE_SHARE_WRITE : 0) |
           (strchr(s, 'd') ? FILE_SHARE_DELETE : 0);
}

// The files a scan has seen, by name, creation and last write time.
static struct {
    char name[MAX_PATH];
    FILETIME created, written;
} seen[64];
static int seenCount;

// The slot of the file f if it is new or changed since the scan last opened
// it, -1 if not.
static int newSlot(const WIN32_FIND_DATAA &f)
{
    int i = 0;
    while (i < seenCount && strcmp(seen[i].name, f.cFileName) != 0)
        i++;
    if (i < seenCount && CompareFileTime(&seen[i].created, &f.ftCreationTime) == 0 &&
        CompareFileTime(&seen[i].written, &f.ftLastWriteTime) == 0)
        return -1;
    return i < 64 ? i : -1;
}

// Open each new file that pattern finds, read a little of it and hold it
// ms milliseconds; one it cannot open yet it tries again later.
static void scanOnce(const char *pattern, DWORD access, DWORD share, DWORD ms)
{
    WIN32_FIND_DATAA f;
    HANDLE find = FindFirstFileA(pattern, &f);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        int i = newSlot(f);
        HANDLE h = i < 0 ? INVALID_HANDLE_VALUE
                         : CreateFileA(f.cFileName, access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            continue;
        snprintf(seen[i].name, MAX_PATH, "%s", f.cFileName);
        seen[i].created = f.ftCreationTime;
        seen[i].written = f.ftLastWriteTime;
        seenCount += i == seenCount;
        char buf[512];
        DWORD n;
        ReadFile(h, buf, sizeof buf, &n, nullptr);
        Sleep(ms);
        CloseHandle(h);
    } while (FindNextFileA(find, &f));
    FindClose(find);
}

// Save the n bytes of bytes as file, by a new file renamed over it.
static void saveAs(const char *file, DWORD n)
{
    char tmp[MAX_PATH];
    snprintf(tmp, sizeof tmp, "%s.~edit", file);
    HANDLE h = CreateFileA(tmp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return;
    DWORD done;
    bool ok = WriteFile(h, bytes, n, &done, nullptr) && done == n;
    CloseHandle(h);
    if (!ok || !MoveFileExA(tmp, file, MOVEFILE_REPLACE_EXISTING))
        DeleteFileA(tmp);
}

// Move file away for 20 ms and back, as a sync client replacing it does.
static void moveAway(const char *file)
{
    char away[MAX_PATH];
    snprintf(away, sizeof away, "%s.~sync", file);
    if (!MoveFileA(file, away))
        return;
    Sleep(20);
    while (!MoveFileA(away, file))
        Sleep(1);
}

// Save the n bytes of bytes into file in place: emptied, then written in
// pieces, so that a reader meanwhile may find any part of them.
static void saveInPlace(const char *file, DWORD n)
{
    HANDLE h = CreateFileA(file, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return;
    SetEndOfFile(h);
    DWORD done, pause = getenv("WRITER_PAUSE") ? (DWORD)(atof(getenv("WRITER_PAUSE")) * 1000) : 0;
    for (DWORD at = 0; at < n; Sleep(at == 0 ? pause : 1), at += 512)
        WriteFile(h, bytes + at, n - at < 512 ? n - at : 512, &done, nullptr);
    CloseHandle(h);
}

// Read the file from into bytes; its length, or 0 if it cannot be read.
static DWORD readFrom(const char *from)
{
    HANDLE h = CreateFileA(from, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD n = 0;
    if (h != INVALID_HANDLE_VALUE && !ReadFile(h, bytes, sizeof bytes, &n, nullptr))
        n = 0;
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    return n;
}

int main(int argc, char **argv)
{
    if (argc < 4)
        return 2;
    DWORD end = GetTickCount() + (DWORD)(atof(argv[2]) * 1000);
    bool running = true;
    if (strcmp(argv[1], "scan") == 0 && argc >= 7) {
        for (; (int)(end - GetTickCount()) > 0; Sleep(1))
            for (int i = 6; i < argc; i++)
                scanOnce(argv[i], accessOf(argv[3]), shareOf(argv[4]), (DWORD)atoi(argv[5]));
    } else if (strcmp(argv[1], "hold") == 0 && argc == 7) {
        HANDLE h = CreateFileA(argv[5], accessOf(argv[3]), shareOf(argv[4]), nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return 1;
        CloseHandle(CreateFileA(argv[6], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (int left = (int)(end - GetTickCount()); left > 0)
            Sleep(left);
        CloseHandle(h);
    } else if (strcmp(argv[1], "edit") == 0 && argc == 5) {
        DWORD n = readFrom(argv[4]);
        if (n == 0)
            return 1;
        for (; (int)(end - GetTickCount()) > 0; Sleep(7))
            saveAs(argv[3], n);
    } else if (strcmp(argv[1], "write") == 0 && argc >= 5) {
        for (int i = 0; (int)(end - GetTickCount()) > 0; i = (i + 1) % (argc - 4), Sleep(700))
            saveInPlace(argv[3], readFrom(argv[4 + i]));
    } else if (strcmp(argv[1], "sync") == 0 && argc == 4) {
        for (; (int)(end - GetTickCount()) > 0; Sleep(30 + rand() % 50))
            moveAway(argv[3]);
    } else {
        running = false;
    }
    return running ? 0 : 2;
}
