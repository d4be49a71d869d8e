# Writes the version header: the project's version and the commit the build comes from
# ("unknown" outside a git checkout or without git). Run at every build, but the file is
# rewritten only when its text changes, so nothing rebuilds for an unchanged commit.
# Expects SOURCE_DIR, OUTPUT and VERSION.
set(commit "unknown")
find_program(GIT git)
if(GIT)
    execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} describe --always --dirty --abbrev=12
                    --exclude=* OUTPUT_VARIABLE described RESULT_VARIABLE status
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(status EQUAL 0 AND described)
        set(commit "${described}")
    endif()
endif()
set(text "// Generated at build time by cmake/version.cmake.\n#pragma once\n"
         "#define KDX_VERSION \"${VERSION}\"\n#define KDX_COMMIT \"${commit}\"\n"
         "#define KDX_VERSION_TEXT KDX_VERSION \" (commit \" KDX_COMMIT \")\"\n")
string(CONCAT text ${text})
set(old "")
if(EXISTS ${OUTPUT})
    file(READ ${OUTPUT} old)
endif()
if(NOT old STREQUAL text)
    file(WRITE ${OUTPUT} "${text}")
endif()
