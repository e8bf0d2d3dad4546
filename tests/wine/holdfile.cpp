// holdfile <path> <ready-file>: opens <path> with no sharing at all, the way
// a running program or a virus scanner can lock a file on Windows, creates
// <ready-file> once the lock is held, and keeps it until it is killed.
#include <windows.h>
#include <shellapi.h>

int main()
{
    int argc = 0;
    LPWSTR *argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc != 3)
        return 2;
    HANDLE held = CreateFileW(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE)
        return 3;
    HANDLE ready = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (ready == INVALID_HANDLE_VALUE)
        return 4;
    CloseHandle(ready);
    for (;;)
        Sleep(INFINITE);
}
