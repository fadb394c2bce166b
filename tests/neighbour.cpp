// The programs that run beside the game on a Windows machine, for the tests
// under Wine; each runs for a number of seconds in the current folder:
//   neighbour scan SECONDS PATTERN...  opens every file the patterns find, as
//       virus scanners and indexers do: sharing read and write, not delete
//   neighbour hold SECONDS FILE MARKER  holds FILE open and shared with no
//       one, as an editor or a spreadsheet does, and creates MARKER once it
//       does
//   neighbour edit SECONDS FILE FROM   saves FILE again and again as editors
//       save, a new file renamed over it, holding the bytes of FROM
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static char bytes[1 << 20];   // what edit saves

// Open every file that pattern finds, and read a little of each.
static void scanOnce(const char *pattern)
{
    WIN32_FIND_DATAA f;
    HANDLE find = FindFirstFileA(pattern, &f);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        HANDLE h = CreateFileA(f.cFileName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            continue;
        char buf[512];
        DWORD n;
        ReadFile(h, buf, sizeof buf, &n, nullptr);
        Sleep(3);
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

int main(int argc, char **argv)
{
    if (argc < 4)
        return 2;
    DWORD end = GetTickCount() + (DWORD)(atof(argv[2]) * 1000);
    if (strcmp(argv[1], "scan") == 0) {
        while ((int)(end - GetTickCount()) > 0)
            for (int i = 3; i < argc; i++)
                scanOnce(argv[i]);
    } else if (strcmp(argv[1], "hold") == 0 && argc == 5) {
        HANDLE h = CreateFileA(argv[3], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return 1;
        CloseHandle(CreateFileA(argv[4], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (int left = (int)(end - GetTickCount()); left > 0)
            Sleep(left);
        CloseHandle(h);
    } else if (strcmp(argv[1], "edit") == 0 && argc == 5) {
        HANDLE h = CreateFileA(argv[4], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD n = 0;
        if (h == INVALID_HANDLE_VALUE || !ReadFile(h, bytes, sizeof bytes, &n, nullptr))
            return 1;
        CloseHandle(h);
        while ((int)(end - GetTickCount()) > 0) {
            saveAs(argv[3], n);
            Sleep(7);
        }
    } else {
        return 2;
    }
    return 0;
}
