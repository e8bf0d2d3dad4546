// Windows enters a GUI program through WinMain with a wide command line.
// This adapter hands main() the arguments in the ANSI code page, the form
// Qt expects from argv on Windows. MinGW's runtime calls main() directly,
// so there the adapter is compiled but not the entry.
#ifdef _WIN32

#include <windows.h>
#include <shellapi.h>

int main(int argc, char *argv[]);

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    int argc = 0;
    LPWSTR *wideArgv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!wideArgv)
        return -1;

    char **argv = new char *[argc + 1];
    for (int i = 0; i < argc; ++i) {
        const int size = WideCharToMultiByte(CP_ACP, 0, wideArgv[i], -1, nullptr, 0, nullptr, nullptr);
        argv[i] = new char[size > 0 ? size : 1];
        argv[i][0] = '\0';
        if (size > 0)
            WideCharToMultiByte(CP_ACP, 0, wideArgv[i], -1, argv[i], size, nullptr, nullptr);
    }
    argv[argc] = nullptr;
    LocalFree(wideArgv);

    const int result = main(argc, argv);

    for (int i = 0; i < argc && argv[i]; ++i)
        delete[] argv[i];
    delete[] argv;
    return result;
}

#endif // _WIN32
