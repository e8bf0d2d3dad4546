// Runs the updater's WinMain adapter (src/app/winmain.cpp) as Windows would
// enter a GUI program. MinGW's runtime calls main() first; that call enters
// the adapter, and the adapter calls main() again with the arguments it
// split and converted to the ANSI code page. The second call writes them,
// one per line, to the file named by its first argument and returns 42,
// which the adapter must hand back as the exit code.
#include <windows.h>

#include <cstdio>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int);

namespace {
bool g_inAdapter = false;
}

int main(int argc, char *argv[])
{
    if (!g_inAdapter) {
        g_inAdapter = true;
        return WinMain(GetModuleHandleW(nullptr), nullptr, GetCommandLineA(), SW_SHOWNORMAL);
    }
    if (argc < 2)
        return 2;
    FILE *out = std::fopen(argv[1], "wb");
    if (!out)
        return 3;
    std::fprintf(out, "%d\n", argc);
    for (int i = 1; i < argc; ++i)
        std::fprintf(out, "[%s]\n", argv[i]);
    std::fputs(argv[argc] ? "unterminated\n" : "terminated\n", out);
    std::fclose(out);
    return 42;
}
