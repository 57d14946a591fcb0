# Cross build for 64-bit Windows with MinGW-w64 (the POSIX-threads flavour
# of the compiler). Programs are linked statically, so they run on a bare
# Windows and under Wine without any DLL beside them; CTest runs the test
# programs under Wine through cmake/wine-run.
#
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QSS_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QSS_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QSS_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QSS_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QSS_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs (and gtest_discover_tests) run under Wine in a prefix of the
# build folder's own, made on first use.
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run")
