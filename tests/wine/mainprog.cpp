// Stands in for the application's main program in the Wine tests. Each start
// appends one line to main_started.txt beside the executable:
//   <command line> TAB <executable name of the parent process> LF
// so a test can tell how, by whom and how often it was started.
#include <windows.h>
#include <tlhelp32.h>

namespace {

void appendUtf8(HANDLE file, const wchar_t *text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return;
    char *bytes = static_cast<char *>(HeapAlloc(GetProcessHeap(), 0, size));
    if (!bytes)
        return;
    WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, size, nullptr, nullptr);
    DWORD written = 0;
    WriteFile(file, bytes, DWORD(size - 1), &written, nullptr);
    HeapFree(GetProcessHeap(), 0, bytes);
}

// The parent is looked up while it still waits for us (cmd runs a batch
// line to its end), so its entry is still in the snapshot.
void parentName(wchar_t *name, DWORD capacity)
{
    lstrcpynW(name, L"?", int(capacity));
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return;
    PROCESSENTRY32W entry;
    DWORD parentId = 0;
    entry.dwSize = sizeof(entry);
    for (BOOL ok = Process32FirstW(snapshot, &entry); ok; ok = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == GetCurrentProcessId())
            parentId = entry.th32ParentProcessID;
    }
    entry.dwSize = sizeof(entry);
    for (BOOL ok = Process32FirstW(snapshot, &entry); ok && parentId; ok = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == parentId) {
            lstrcpynW(name, entry.szExeFile, int(capacity));
            break;
        }
    }
    CloseHandle(snapshot);
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return 2;
    wchar_t *slash = path + length;
    while (slash > path && *slash != L'\\')
        --slash;
    lstrcpyW(slash + 1, L"main_started.txt");

    wchar_t parent[MAX_PATH];
    parentName(parent, MAX_PATH);

    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 3;
    appendUtf8(file, GetCommandLineW());
    appendUtf8(file, L"\t");
    appendUtf8(file, parent);
    appendUtf8(file, L"\n");
    CloseHandle(file);
    return 0;
}
