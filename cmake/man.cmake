# Writes a program's manual page from its --help and --version texts with help2man, so the
# page says what the program says. For kdx-cli each command's own --help text becomes part
# of the page. Expects HELP2MAN, PROGRAM, NAME (the one-line description), OUTPUT (.1.gz),
# SECTIONS (the folder of the pages' own sections, data/man).
get_filename_component(program_name ${PROGRAM} NAME)
get_filename_component(work ${OUTPUT} DIRECTORY)
set(include_file ${work}/${program_name}.h2m)
set(include_text "[AUTHOR]\nThe KDX configurator team.\n")
if(program_name STREQUAL "kdx-cli")
    execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE help COMMAND_ERROR_IS_FATAL ANY)
    string(APPEND include_text "[COMMANDS]\n")
    # The commands are the indented lines after "Commands:".
    string(REGEX REPLACE ".*\nCommands:\n" "" commands "${help}")
    string(REPLACE "\n" ";" lines "${commands}")
    foreach(line IN LISTS lines)
        if(NOT line MATCHES "^  ([a-z][a-z-]*) ")
            continue()
        endif()
        set(name ${CMAKE_MATCH_1})
        execute_process(COMMAND ${PROGRAM} ${name} --help OUTPUT_VARIABLE text
                        COMMAND_ERROR_IS_FATAL ANY)
        string(REPLACE "\\" "\\e" text "${text}")
        string(REGEX REPLACE "\n([.'])" "\n\\\\&\\1" text "${text}")
        string(APPEND include_text ".SS ${name}\n.nf\n${text}.fi\n")
    endforeach()
endif()
# The page's own sections (exit status, environment, examples, see also) from
# SECTIONS/<page>.h2m, the variables every program reads put in for @ENVIRONMENT@.
get_filename_component(page_name ${OUTPUT} NAME)
string(REGEX REPLACE "\\.1\\.gz$" "" page_name ${page_name})
if(EXISTS ${SECTIONS}/${page_name}.h2m)
    file(READ ${SECTIONS}/common-environment.h2m environment)
    file(READ ${SECTIONS}/${page_name}.h2m sections)
    string(REPLACE "@ENVIRONMENT@\n" "${environment}" sections "${sections}")
    string(APPEND include_text "${sections}")
endif()
file(WRITE ${include_file} "${include_text}")
string(REGEX REPLACE "\\.gz$" "" page ${OUTPUT})
execute_process(COMMAND ${HELP2MAN} --no-info --section=1 --name=${NAME}
                        --include=${include_file} --output=${page} ${PROGRAM}
                COMMAND_ERROR_IS_FATAL ANY)
# Debian keeps manual pages compressed, without a time stamp in the gzip header.
execute_process(COMMAND gzip -9nf ${page} COMMAND_ERROR_IS_FATAL ANY)
