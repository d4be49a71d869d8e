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

# Each shipped file's resources, compiled by windres from packaging/windows/program.rc.in:
# the version information with the commit (Explorer's Details), and for a program (type
# VFT_APP) the icon and the application manifest (themed controls, per-monitor DPI, UTF-8 as
# the "A" calls' code page, no elevation).
set(kdx_version_parts)
foreach(part MAJOR MINOR PATCH TWEAK)
    if("${PROJECT_VERSION_${part}}" STREQUAL "")
        list(APPEND kdx_version_parts 0)
    else()
        list(APPEND kdx_version_parts ${PROJECT_VERSION_${part}})
    endif()
endforeach()
list(JOIN kdx_version_parts "," KDX_RC_VERSION_COMMAS)
list(JOIN kdx_version_parts "." KDX_RC_VERSION_DOTS)
function(kdx_resources target description type)
    get_target_property(output ${target} OUTPUT_NAME)
    if(NOT output)
        set(output ${target})
    endif()
    get_target_property(prefix ${target} PREFIX)
    if(NOT prefix)
        set(prefix "")
    endif()
    set(KDX_RC_NAME ${prefix}${output})
    if(type STREQUAL "VFT_APP")
        set(KDX_RC_FILE ${KDX_RC_NAME}.exe)
    else()
        set(KDX_RC_FILE ${KDX_RC_NAME}.dll)
    endif()
    set(KDX_RC_DESCRIPTION "${description}")
    set(KDX_RC_TYPE ${type})
    set(KDX_RC_ICON "")
    set(KDX_RC_MANIFEST "")
    set(rc ${KDX_GENERATED_DIR}/${KDX_RC_NAME}.rc)
    set(depends ${KDX_GENERATED_DIR}/kdx_version.h)
    if(type STREQUAL "VFT_APP")
        set(icon ${CMAKE_SOURCE_DIR}/packaging/windows/kdx.ico)
        set(manifest ${KDX_GENERATED_DIR}/${KDX_RC_NAME}.manifest)
        configure_file(${CMAKE_SOURCE_DIR}/packaging/windows/kdx.manifest.in ${manifest} @ONLY)
        # Resource 1 of type 24 (RT_MANIFEST): the manifest the loader reads for a program.
        set(KDX_RC_ICON "1 ICON \"${icon}\"")
        set(KDX_RC_MANIFEST "1 24 \"${manifest}\"")
        list(APPEND depends ${icon} ${manifest})
    endif()
    configure_file(${CMAKE_SOURCE_DIR}/packaging/windows/program.rc.in ${rc} @ONLY)
    # Compiled by a command of its own: the compile options of C++ (-Wall ...) are no
    # options of windres.
    set(object ${KDX_GENERATED_DIR}/${KDX_RC_NAME}.res.obj)
    add_custom_command(OUTPUT ${object}
        COMMAND ${CMAKE_RC_COMPILER} -I ${KDX_GENERATED_DIR} -O coff -i ${rc} -o ${object}
        DEPENDS ${rc} ${depends} kdx_version
        COMMENT "Compiling the resources of ${KDX_RC_FILE}" VERBATIM)
    target_sources(${target} PRIVATE ${object})
endfunction()

# The layers as on Linux (cmake/layers.cmake), with the Windows files. The pseudo-terminal
# and udev have no Windows form: the serial device map and device changes come from the
# system itself.
set(KDX_PLATFORM_LINKS Threads::Threads setupapi advapi32 user32 shell32)
set(KDX_LINUX_ONLY pty udev_ports)
include(cmake/layers.cmake)

file(GLOB KDX_API_SOURCES CONFIGURE_DEPENDS api/*.cpp)
add_library(kdx SHARED ${KDX_API_SOURCES})
target_compile_definitions(kdx PRIVATE KDX_BUILDING_LIBRARY)
target_include_directories(kdx PUBLIC ${CMAKE_SOURCE_DIR}/include)
kdx_layer_includes(kdx PRIVATE api platform-faces trace files serial protocol)
target_link_libraries(kdx PRIVATE kdx_protocol)
# libkdx.dll, as the programs and the C interface's users name it.
set_target_properties(kdx PROPERTIES PREFIX "lib" IMPORT_PREFIX "lib")
kdx_resources(kdx "KDX controller library" VFT_DLL)

kdx_os_sources(KDX_CLI_SOURCES cli/*.cpp)
add_executable(kdx-cli ${KDX_CLI_SOURCES})
target_link_libraries(kdx-cli PRIVATE kdx)
kdx_layer_includes(kdx-cli PRIVATE cli)
kdx_program(kdx-cli)
kdx_resources(kdx-cli "KDX controller command line" VFT_APP)

# The windowed program: the window layer's Win32 side (the only code that sees the system's
# windows) under the user interface's procedures.
file(GLOB KDX_WINDOW_WIN32_SOURCES CONFIGURE_DEPENDS platform/window/win32_*.cpp)
add_library(kdx_window_win32 STATIC ${KDX_WINDOW_WIN32_SOURCES})
kdx_layer_includes(kdx_window_win32 PRIVATE platform)
kdx_layer_includes(kdx_window_win32 PUBLIC platform-faces)
target_link_libraries(kdx_window_win32 PUBLIC kdx_platform comctl32 gdi32 comdlg32)
add_executable(make_arrows ui/bitmaps/make_arrows.cpp)
set(KDX_ARROWS "${CMAKE_BINARY_DIR}/Data Dir Arrow To BB.bmp"
               "${CMAKE_BINARY_DIR}/Data Dir Arrow From BB.bmp")
add_executable(kdx_gui WIN32 ui/main.cpp)
set_target_properties(kdx_gui PROPERTIES OUTPUT_NAME kdx)
target_link_libraries(kdx_gui PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,kdx_ui>" kdx_window_win32)
kdx_program(kdx_gui)
kdx_resources(kdx_gui "KDX Configurator" VFT_APP)

# Tests, run under Wine by scripts/test-windows.sh: the core tests this build takes
# (kdx_test_sources, cmake/layers.cmake) with the Windows backends' own (tests/**/*win32*.cpp),
# their simulator the Linux kdx-sim (tests/support/sim_win32.cpp). GoogleTest is built from
# Debian's sources.
enable_testing()
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
target_compile_options(gtest PRIVATE -Wno-error)
target_compile_options(gtest_main PRIVATE -Wno-error)
kdx_test_sources(KDX_WINDOWS_TEST_SOURCES)
# The simulator's controller model (no system calls) for the model's own tests.
add_executable(kdx_tests ${KDX_WINDOWS_TEST_SOURCES} ${CMAKE_SOURCE_DIR}/sim/model.cpp)
target_link_libraries(kdx_tests PRIVATE kdx_protocol kdx_whole_tree gtest gtest_main)
# The tests name the folders of this (Unix) host as Wine shows them: on drive Z:, the root.
if(CMAKE_HOST_UNIX)
    set(KDX_HOST_DRIVE "Z:")
endif()
target_compile_definitions(kdx_tests PRIVATE
    KDX_LIBRARY_PATH="$<TARGET_FILE_NAME:kdx>"
    KDX_INCLUDE_DIR="${KDX_HOST_DRIVE}${CMAKE_SOURCE_DIR}/include"
    KDX_SOURCE_DIR="${KDX_HOST_DRIVE}${CMAKE_SOURCE_DIR}"
    KDX_CLI_PATH="${KDX_HOST_DRIVE}$<TARGET_FILE:kdx-cli>"
    KDX_TEST_HELPER_DIR="${KDX_HOST_DRIVE}$<TARGET_FILE_DIR:kdx_tests>")
add_dependencies(kdx_tests kdx kdx-cli)
# The small programs the tests run (tests/support/programs), as on Linux.
file(GLOB KDX_TEST_HELPERS CONFIGURE_DEPENDS tests/support/programs/*.cpp)
foreach(src ${KDX_TEST_HELPERS})
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src} ${CMAKE_SOURCE_DIR}/tests/support/posix_win32.cpp)
    target_link_libraries(${name} PRIVATE kdx_protocol kdx_whole_tree)
    add_dependencies(kdx_tests ${name})
endforeach()

# The window backend's own tests: real Win32 windows (under Wine on an Xvfb display, by
# scripts/test-windows.sh), and the program's windows over it with the simulator of the core
# tests (the long operations a close must not wait for).
file(GLOB KDX_WINDOW_TEST_SOURCES CONFIGURE_DEPENDS tests/platform/window/test_win32_*.cpp)
add_executable(kdx_window_tests ${KDX_WINDOW_TEST_SOURCES}
    ${CMAKE_SOURCE_DIR}/tests/support/sim_win32.cpp ${CMAKE_SOURCE_DIR}/tests/support/posix_win32.cpp)
target_link_libraries(kdx_window_tests PRIVATE kdx_ui kdx_window_win32 kdx_whole_tree gtest
    gtest_main)

# The window's communication test beside the command line's, under Wine
# (bench/commo_side_by_side_win32.sh).
add_executable(bench_gui_commo_win32 bench/gui_commo_win32.cpp)
target_link_libraries(bench_gui_commo_win32 PRIVATE kdx_ui kdx_window_win32 kdx_whole_tree)

include(cmake/windows-package.cmake OPTIONAL)
