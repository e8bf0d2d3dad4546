# Cross-builds the Windows x86-64 updater on Debian with MinGW-w64.
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DCMAKE_PREFIX_PATH=<Qt 5.15 for x86_64-w64-mingw32>
#
# The POSIX thread model is the one the Qt DLLs were built with; mixing in the
# win32 variant's runtime would load two incompatible libstdc++ copies.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)

# Libraries, headers and packages come from the MinGW sysroot and the Windows
# Qt only; programs (moc, uic, rcc) run on the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
if(CMAKE_PREFIX_PATH)
    list(APPEND CMAKE_FIND_ROOT_PATH ${CMAKE_PREFIX_PATH})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test and helper executables run through Wine.
find_program(MINGW_WINE_PROGRAM NAMES wine wine64)
if(MINGW_WINE_PROGRAM)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${MINGW_WINE_PROGRAM})
else()
    set(CMAKE_CROSSCOMPILING_EMULATOR wine)
endif()
