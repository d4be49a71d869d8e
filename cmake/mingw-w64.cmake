# Cross-building the Windows programs on Debian with mingw-w64 (the POSIX-threads variant,
# whose libstdc++ has std::thread and std::mutex). Programs are linked statically: a
# dynamically linked one needs the compiler's DLLs beside it, and without them Wine ends it
# with code 53 before it says anything.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KDX_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KDX_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KDX_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KDX_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KDX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Tests and tools built here run under Wine.
find_program(KDX_WINE NAMES wine wine64)
if(KDX_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${KDX_WINE})
endif()
