# The Windows build (mingw-w64, see cmake/mingw-w64.cmake): the same sources without Qt, udev,
# the simulator or the fuzz targets. A service with a Windows form has it in <name>_win32.cpp
# beside <name>.cpp, which replaces the Linux file; <name>_common.cpp holds what both share.
# Everything is linked statically, so each program is one file that runs as it is.
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX UNICODE _UNICODE _WIN32_WINNT=0x0601)
add_link_options(-static -static-libgcc -static-libstdc++)
# GCC 12 at -O3 reports overlapping copies inside libstdc++'s string concatenation that
# cannot happen (a known false warning of that version); the Linux build at -O2 does not.
add_compile_options(-Wno-restrict)
find_package(Threads REQUIRED)

# The sources of a folder list for Windows: each <name>_win32.cpp takes the place of
# <name>.cpp, and the files named in ARGN (services with no Windows form) are left out.
function(kdx_windows_sources out)
    cmake_parse_arguments(arg "" "" "GLOBS;LINUX_ONLY" ${ARGN})
    file(GLOB all CONFIGURE_DEPENDS ${arg_GLOBS})
    set(chosen "")
    foreach(src ${all})
        get_filename_component(dir ${src} DIRECTORY)
        get_filename_component(name ${src} NAME_WE)
        get_filename_component(folder ${dir} NAME)
        if(name MATCHES "_win32$")
            list(APPEND chosen ${src})
            continue()
        endif()
        # The Windows file may sit in the service's subfolder while the Linux one is still
        # in the flat folder (or the other way round).
        file(GLOB twin ${dir}/${name}_win32.cpp ${dir}/*/${name}_win32.cpp
                       ${dir}/../${name}_win32.cpp)
        if(twin OR "${name}" IN_LIST arg_LINUX_ONLY)
            continue()
        endif()
        list(APPEND chosen ${src})
    endforeach()
    set(${out} ${chosen} PARENT_SCOPE)
endfunction()

set(KDX_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
add_custom_target(kdx_version
    BYPRODUCTS ${KDX_GENERATED_DIR}/kdx_version.h
    COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR} -DVERSION=${PROJECT_VERSION}
            -DOUTPUT=${KDX_GENERATED_DIR}/kdx_version.h -P ${CMAKE_SOURCE_DIR}/cmake/version.cmake
    VERBATIM)
function(kdx_program target)
    add_dependencies(${target} kdx_version)
    target_include_directories(${target} PRIVATE ${KDX_GENERATED_DIR})
endfunction()

# The pseudo-terminal, the Linux ports folder and udev have no Windows form: the serial
# device map and device changes come from the system itself.
kdx_windows_sources(KDX_CORE_SOURCES
    GLOBS platform/*.cpp platform/*/*.cpp trace/*.cpp files/*.cpp serial/*.cpp protocol/*.cpp
    LINUX_ONLY pty udev_ports)
list(FILTER KDX_CORE_SOURCES EXCLUDE REGEX ".*/platform/window/.*")
# The fault query's hook goes into each program and library itself: a static library's
# unreferenced object would be left out by the linker.
list(FILTER KDX_CORE_SOURCES EXCLUDE REGEX "fault_query_hook\\.cpp$")
set(KDX_FAULT_HOOK ${CMAKE_SOURCE_DIR}/protocol/fault_query_hook.cpp)
list(APPEND KDX_CORE_SOURCES ${CMAKE_SOURCE_DIR}/platform/window/window.cpp)
add_library(kdx_core STATIC ${KDX_CORE_SOURCES})
target_include_directories(kdx_core PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)
target_link_libraries(kdx_core PUBLIC Threads::Threads setupapi advapi32 user32 shell32)

file(GLOB KDX_API_SOURCES CONFIGURE_DEPENDS api/*.cpp)
add_library(kdx SHARED ${KDX_API_SOURCES} ${KDX_FAULT_HOOK})
target_compile_definitions(kdx PRIVATE KDX_BUILDING_LIBRARY)
target_include_directories(kdx PUBLIC ${CMAKE_SOURCE_DIR}/include)
target_link_libraries(kdx PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,kdx_core>")
# libkdx.dll, as the programs and the C interface's users name it.
set_target_properties(kdx PROPERTIES PREFIX "lib" IMPORT_PREFIX "lib")

kdx_windows_sources(KDX_CLI_SOURCES GLOBS cli/*.cpp)
add_executable(kdx-cli ${KDX_CLI_SOURCES})
target_link_libraries(kdx-cli PRIVATE kdx)
target_include_directories(kdx-cli PRIVATE ${CMAKE_SOURCE_DIR})
kdx_program(kdx-cli)

# The windowed program, once the window layer has its Windows side.
file(GLOB KDX_WINDOW_WIN32_SOURCES CONFIGURE_DEPENDS platform/window/win32_*.cpp)
add_executable(make_arrows ui/bitmaps/make_arrows.cpp)
set(KDX_ARROWS "${CMAKE_BINARY_DIR}/Data Dir Arrow To BB.bmp"
               "${CMAKE_BINARY_DIR}/Data Dir Arrow From BB.bmp")
if(KDX_WINDOW_WIN32_SOURCES)
    add_library(kdx_window_win32 STATIC ${KDX_WINDOW_WIN32_SOURCES})
    target_link_libraries(kdx_window_win32 PUBLIC kdx_core comctl32 gdi32 comdlg32)
    file(GLOB KDX_UI_SOURCES CONFIGURE_DEPENDS ui/*.cpp)
    list(FILTER KDX_UI_SOURCES EXCLUDE REGEX ".*/ui/main\\.cpp$")
    add_library(kdx_ui STATIC ${KDX_UI_SOURCES})
    target_link_libraries(kdx_ui PUBLIC kdx_core)
    add_executable(kdx_gui WIN32 ui/main.cpp ${KDX_FAULT_HOOK})
    set_target_properties(kdx_gui PROPERTIES OUTPUT_NAME kdx)
    target_link_libraries(kdx_gui PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,kdx_ui>"
                          kdx_window_win32 kdx_core)
    kdx_program(kdx_gui)
endif()

# Tests, run under Wine by scripts/test-windows.sh: the platform-independent tests and the
# Windows backends' own (tests/**/*win32*.cpp). GoogleTest is built from Debian's sources.
enable_testing()
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
target_compile_options(gtest PRIVATE -Wno-error)
target_compile_options(gtest_main PRIVATE -Wno-error)
file(GLOB_RECURSE KDX_WINDOWS_TEST_SOURCES CONFIGURE_DEPENDS tests/*win32*.cpp)
list(FILTER KDX_WINDOWS_TEST_SOURCES EXCLUDE REGEX "/tests/platform/window/")
list(APPEND KDX_WINDOWS_TEST_SOURCES ${CMAKE_SOURCE_DIR}/tests/sim/test_model.cpp)
# The simulator's controller model (no system calls) for the model's own tests.
add_executable(kdx_tests ${KDX_WINDOWS_TEST_SOURCES} ${CMAKE_SOURCE_DIR}/sim/model.cpp
               ${KDX_FAULT_HOOK})
target_link_libraries(kdx_tests PRIVATE kdx_core gtest gtest_main)
target_compile_definitions(kdx_tests PRIVATE KDX_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
add_dependencies(kdx_tests kdx kdx-cli)

# The window backend's own tests: real Win32 windows (under Wine on an Xvfb display, by
# scripts/test-windows.sh).
if(KDX_WINDOW_WIN32_SOURCES)
    file(GLOB KDX_WINDOW_TEST_SOURCES CONFIGURE_DEPENDS tests/platform/window/test_win32_*.cpp)
    add_executable(kdx_window_tests ${KDX_WINDOW_TEST_SOURCES})
    target_link_libraries(kdx_window_tests PRIVATE kdx_window_win32 kdx_core gtest gtest_main)
endif()

include(cmake/windows-package.cmake OPTIONAL)
