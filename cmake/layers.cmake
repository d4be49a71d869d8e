# The layers, one static library each, shared by the Linux and the Windows build: each sees
# only the headers of the layers below it that the design allows, through an include folder
# holding links to just those source folders, so an include that runs up a layer does not
# compile. Before including this, the build sets KDX_PLATFORM_LINKS (the system libraries
# of the platform layer) and, on Windows, KDX_LINUX_ONLY (services with no Windows form).

# The sources matching the patterns (relative to the source tree) for the system built for:
# on Windows each <name>_win32.cpp takes the place of <name>.cpp beside it and the names in
# KDX_LINUX_ONLY are left out; elsewhere the *_win32.cpp files are left out.
function(kdx_os_sources out)
    set(chosen "")
    foreach(pattern ${ARGN})
        file(GLOB found CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${pattern})
        foreach(src ${found})
            get_filename_component(dir ${src} DIRECTORY)
            get_filename_component(name ${src} NAME_WE)
            if(name MATCHES "_win32$")
                if(WIN32)
                    list(APPEND chosen ${src})
                endif()
            elseif(NOT WIN32 OR NOT (EXISTS ${dir}/${name}_win32.cpp OR
                                     "${name}" IN_LIST KDX_LINUX_ONLY))
                list(APPEND chosen ${src})
            endif()
        endforeach()
    endforeach()
    set(${out} ${chosen} PARENT_SCOPE)
endfunction()

set(KDX_LAYER_INCLUDE_ROOT ${CMAKE_BINARY_DIR}/layers)
# The layers above the platform see only its faces: each platform folder's face header and
# the headers it names (platform/os/os.h, platform/ports/ports.h), the console's and the
# window's headers; what a platform folder keeps to itself is not reachable from above.
set(KDX_PLATFORM_PUBLIC console/console.h window/window.h window/application.h)
foreach(face os/os.h ports/ports.h)
    list(APPEND KDX_PLATFORM_PUBLIC ${face})
    file(STRINGS ${CMAKE_SOURCE_DIR}/platform/${face} named REGEX "^#include \"platform/")
    foreach(line ${named})
        string(REGEX REPLACE "^#include \"platform/([^\"]+)\".*" "\\1" header "${line}")
        list(APPEND KDX_PLATFORM_PUBLIC ${header})
    endforeach()
endforeach()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${CMAKE_SOURCE_DIR}/platform/os/os.h ${CMAKE_SOURCE_DIR}/platform/ports/ports.h)
# Gives target an include folder (one for its own use, one for its users) of links to the
# folders named; "platform-faces" stands for the platform's faces only.
function(kdx_layer_includes target visibility)
    string(TOLOWER ${visibility} kind)
    set(dir ${KDX_LAYER_INCLUDE_ROOT}/${target}/${kind})
    foreach(folder ${ARGN})
        if(folder STREQUAL "platform-faces")
            foreach(header ${KDX_PLATFORM_PUBLIC})
                get_filename_component(sub ${header} DIRECTORY)
                if(NOT EXISTS ${dir}/platform/${header})
                    file(MAKE_DIRECTORY ${dir}/platform/${sub})
                    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/platform/${header}
                         ${dir}/platform/${header} SYMBOLIC)
                endif()
            endforeach()
        elseif(NOT EXISTS ${dir}/${folder})
            file(MAKE_DIRECTORY ${dir})
            file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${folder} ${dir}/${folder} SYMBOLIC)
        endif()
    endforeach()
    target_include_directories(${target} ${visibility} ${dir})
endfunction()
function(kdx_layer target)
    cmake_parse_arguments(L "" "" "SOURCES;SEES;LINKS" ${ARGN})
    kdx_os_sources(sources ${L_SOURCES})
    add_library(${target} STATIC ${sources})
    kdx_layer_includes(${target} PUBLIC ${L_SEES})
    target_link_libraries(${target} PUBLIC ${L_LINKS})
    # Every port call reads the thread's error and trace state. In a shared library each such
    # read is a call into the dynamic linker; TLS descriptors make it a few instructions once
    # the library is loaded, and still allow dlopen. GCC's plain ELF builds only: the
    # sanitizers follow the classic calls, and Windows has TLS of its own.
    if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64" AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU"
       AND NOT WIN32 AND NOT KDX_SANITIZE AND NOT KDX_TSAN AND NOT KDX_FUZZ)
        target_compile_options(${target} PRIVATE -mtls-dialect=gnu2)
    endif()
endfunction()

kdx_layer(kdx_platform
    SOURCES platform/os/*.cpp platform/ports/*.cpp platform/console/*.cpp
            platform/window/window.cpp
    SEES platform-faces LINKS ${KDX_PLATFORM_LINKS})
kdx_layer_includes(kdx_platform PRIVATE platform)
kdx_layer(kdx_trace SOURCES trace/*.cpp SEES platform-faces trace LINKS kdx_platform)
kdx_layer(kdx_files SOURCES files/*.cpp SEES platform-faces trace files LINKS kdx_trace)
kdx_layer(kdx_serial SOURCES serial/*.cpp SEES platform-faces trace files serial
    LINKS kdx_files)
kdx_layer(kdx_protocol SOURCES protocol/*.cpp
    SEES platform-faces trace files serial protocol LINKS kdx_serial)
# The fault query's hook is compiled once and its object linked into each program and
# library that links the protocol, so that no linker leaves it out for want of a reference
# to it.
get_target_property(KDX_PROTOCOL_SOURCES kdx_protocol SOURCES)
list(FILTER KDX_PROTOCOL_SOURCES EXCLUDE REGEX "fault_query_hook\\.cpp$")
set_target_properties(kdx_protocol PROPERTIES SOURCES "${KDX_PROTOCOL_SOURCES}")
add_library(kdx_fault_query_hook OBJECT ${CMAKE_SOURCE_DIR}/protocol/fault_query_hook.cpp)
kdx_layer_includes(kdx_fault_query_hook PRIVATE platform-faces trace files serial protocol)
target_sources(kdx_protocol INTERFACE $<TARGET_OBJECTS:kdx_fault_query_hook>)
# The core tests (kdx_tests) of the system built for: every tests/**/*.cpp but those built on
# their own (the windowed program's in tests/ui, the window backends' in tests/platform/window,
# the udev tests under umockdev, the helper programs in tests/support/programs, the
# screenshots); the Windows backends' own (*win32*.cpp) only on Windows, and there without the
# files in KDX_LINUX_ONLY_TESTS, whose subject has no Windows form.
set(KDX_LINUX_ONLY_TESTS
    # the pseudo-terminal, udev, the ports folder, the serial line and device changes on them
    tests/platform/ports/test_pty.cpp tests/platform/ports/test_udev_ports.cpp
    tests/platform/ports/test_ports_dir.cpp tests/platform/ports/test_serial.cpp
    tests/platform/ports/test_device_change.cpp
    # signals, the terminal's console and the editor's process (their Windows forms are
    # tested in tests/platform/test_win32_backends.cpp)
    tests/platform/os/test_stop_signals.cpp tests/platform/console/test_console.cpp
    tests/platform/os/test_process.cpp
    # the simulator's own line and program
    tests/sim/test_sim.cpp tests/sim/test_main.cpp
    # a terminal, device paths, a tmpfs, another user, records checked by the host's Python
    tests/cli/test_cmd_check.cpp tests/cli/test_cmd_terminal.cpp tests/cli/test_full_disk.cpp tests/cli/test_main.cpp
    tests/cli/test_port_names.cpp
    # a pseudo-terminal of the test's own
    tests/serial/test_serial_enum.cpp)
function(kdx_test_sources out)
    file(GLOB_RECURSE found CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/*.cpp)
    list(FILTER found EXCLUDE REGEX
         "/tests/(ui|platform/window|platform/ports/udev|support/programs)/")
    if(WIN32)
        foreach(name ${KDX_LINUX_ONLY_TESTS})
            list(REMOVE_ITEM found ${CMAKE_SOURCE_DIR}/${name})
        endforeach()
    else()
        list(FILTER found EXCLUDE REGEX "win32[^/]*\\.cpp$")
    endif()
    set(${out} ${found} PARENT_SCOPE)
endfunction()
# Tests, benchmarks and fuzz targets reach into every layer.
add_library(kdx_whole_tree INTERFACE)
target_include_directories(kdx_whole_tree INTERFACE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)

# The user interface's procedures, above the window layer's interface (platform/window) whose
# backend each build adds; its exported procedures use the C interface's boundary helpers.
kdx_os_sources(KDX_UI_SOURCES ui/*.cpp)
list(FILTER KDX_UI_SOURCES EXCLUDE REGEX ".*/ui/main\\.cpp$")
add_library(kdx_ui STATIC ${KDX_UI_SOURCES})
kdx_layer_includes(kdx_ui PUBLIC platform-faces trace files serial protocol ui api)
target_include_directories(kdx_ui PUBLIC ${CMAKE_SOURCE_DIR}/include)
target_link_libraries(kdx_ui PUBLIC kdx_protocol)
