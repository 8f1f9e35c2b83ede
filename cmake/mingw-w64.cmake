# Cross-building the Windows program (x86-64) with MinGW-w64 from Linux:
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
#   cmake --build build-win
# gives build-win/qo.exe. Debian has two compilers per language, one per
# thread model: the "posix" one is taken, since GoogleTest (the Windows unit
# tests) needs std::mutex, which the "win32" model lacks in GCC 12. Other
# systems often have only the plain name, which comes second. The program
# links statically, winpthread included: qo.exe needs no MinGW DLL.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QO_MINGW_TRIPLE x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${QO_MINGW_TRIPLE}-gcc-posix ${QO_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${QO_MINGW_TRIPLE}-g++-posix ${QO_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${QO_MINGW_TRIPLE}-windres windres)

# Headers and libraries come from the MinGW-w64 tree only; programs run
# during the build (none so far) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${QO_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
