# Installation and the Debian package. The installed tree is relocatable: kdx-cli finds
# libkdx through its RUNPATH ($ORIGIN/../lib), kdx finds its pictures in ../share/kdx beside
# its bin folder, and kdx.pc finds its prefix from its own place.

# Manual pages from the programs' own --help texts (help2man), made at build time.
find_program(HELP2MAN help2man)
set(KDX_MAN_PAGES "")
if(HELP2MAN)
    set(KDX_MAN_DIR ${CMAKE_BINARY_DIR}/man)
    file(MAKE_DIRECTORY ${KDX_MAN_DIR})
    foreach(entry
            "kdx_gui|kdx|configurator, tester and serial terminal for KDX controllers"
            "kdx-cli|kdx-cli|command-line configurator and tester for KDX controllers"
            "kdx-sim|kdx-sim|simulated KDX stepper-motor controller on a pseudo-terminal")
        string(REPLACE "|" ";" entry "${entry}")
        list(GET entry 0 target)
        list(GET entry 1 program)
        list(GET entry 2 description)
        set(page ${KDX_MAN_DIR}/${program}.1.gz)
        add_custom_command(OUTPUT ${page}
            COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0
                    ${CMAKE_COMMAND} -DHELP2MAN=${HELP2MAN} -DPROGRAM=$<TARGET_FILE:${target}>
                    -DNAME=${description} -DOUTPUT=${page}
                    -DSECTIONS=${CMAKE_SOURCE_DIR}/data/man
                    -P ${CMAKE_SOURCE_DIR}/cmake/man.cmake
            DEPENDS ${target} ${CMAKE_SOURCE_DIR}/cmake/man.cmake
                    ${CMAKE_SOURCE_DIR}/data/man/${program}.h2m
                    ${CMAKE_SOURCE_DIR}/data/man/common-environment.h2m
            COMMENT "Writing the manual page of ${program}" VERBATIM)
        list(APPEND KDX_MAN_PAGES ${page})
    endforeach()
    add_custom_target(kdx_man ALL DEPENDS ${KDX_MAN_PAGES})
else()
    message(WARNING "help2man not found: no manual pages (scripts/setup.sh installs it)")
endif()

# pkg-config file, relocatable through ${pcfiledir}.
set(KDX_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH KDX_PC_TO_PREFIX /${KDX_PC_DIR} /)
string(REGEX REPLACE "/$" "" KDX_PC_TO_PREFIX "${KDX_PC_TO_PREFIX}")
configure_file(${CMAKE_SOURCE_DIR}/data/kdx.pc.in ${CMAKE_BINARY_DIR}/kdx.pc @ONLY)

install(TARGETS kdx_gui kdx-cli kdx-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS kdx LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Unspecified)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/kdx DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${CMAKE_BINARY_DIR}/kdx.pc DESTINATION ${KDX_PC_DIR})
install(FILES ${KDX_ARROWS} ${CMAKE_SOURCE_DIR}/data/kdx.svg
              ${CMAKE_SOURCE_DIR}/data/kdx-check.schema.json
        DESTINATION ${CMAKE_INSTALL_DATADIR}/kdx)
install(FILES ${CMAKE_SOURCE_DIR}/data/kdx.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_SOURCE_DIR}/data/kdx.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${CMAKE_SOURCE_DIR}/data/kdx-cli.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME kdx-cli)
install(FILES ${CMAKE_SOURCE_DIR}/data/60-kdx.rules DESTINATION lib/udev/rules.d)
if(KDX_MAN_PAGES)
    install(FILES ${KDX_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# The Debian package: kdx_<version>_amd64.deb, its dependencies read from the shared
# libraries the programs use (dpkg-shlibdeps).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kdx)
set(CPACK_PACKAGE_VENDOR "KDX configurator team")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "configurator, tester and serial terminal for KDX stepper-motor controllers")
set(CPACK_PACKAGE_DESCRIPTION
    "The windowed program kdx finds a KDX controller on a serial port or USB adapter, reads its
identity and axes, runs the communication and program-memory tests, jogs an axis, sends
program files and talks to the controller in a coloured terminal whose traffic is logged.
kdx-cli does the same from the command line for scripts and test stations, kdx-sim is a
simulated controller on a pseudo-terminal, and libkdx is their C interface.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "KDX configurator team <kdx@kdx.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://kdx.example/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt loads its display plugins at run time, so no library dependency names them.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_THREADS 0)
include(CPack)

# The package, built and unpacked into a temp folder, its programs run from there.
if(BUILD_TESTING OR NOT DEFINED BUILD_TESTING)
    add_test(NAME package COMMAND ${CMAKE_SOURCE_DIR}/tests/package/test_package.sh
             ${CMAKE_BINARY_DIR} ${PROJECT_VERSION})
    # Building only what scripts/run.sh builds, then installing as the README says.
    add_test(NAME install_after_run
             COMMAND ${CMAKE_SOURCE_DIR}/tests/package/test_install_after_run.sh
             ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
    set_tests_properties(package install_after_run PROPERTIES TIMEOUT 300
                         RESOURCE_LOCK kdx_build_outputs)
endif()

# Everything the install rules above take, and nothing else (no tests or benchmarks):
# scripts/run.sh builds this, so `cmake --install` works straight after a run.
add_custom_target(kdx_installable)
add_dependencies(kdx_installable kdx_gui kdx-cli kdx-sim kdx kdx_arrows)
if(KDX_MAN_PAGES)
    add_dependencies(kdx_installable kdx_man)
endif()
