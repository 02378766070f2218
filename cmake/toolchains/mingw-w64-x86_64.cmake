# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (package mingw-w64):
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64-x86_64.cmake
# scripts/windows/build.sh does this with libcurl, RapidJSON and GoogleTest found for it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(WSCONSOLE_MINGW_TRIPLE x86_64-w64-mingw32)
# The posix thread model: GCC 12's win32 model has no std::thread or std::mutex.
set(CMAKE_C_COMPILER ${WSCONSOLE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${WSCONSOLE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${WSCONSOLE_MINGW_TRIPLE}-windres)

# Headers and libraries come from the MinGW sysroot (or a package named by its *_DIR), never
# from the build machine's /usr; programs such as python3 are the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/${WSCONSOLE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One program that needs no DLL beside the system's: libgcc, libstdc++ and winpthread are
# linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
