# Manual pages of the programs an administrator runs, made at build time from their own --help
# and --version by help2man, so that a page never says other than the program does. Without
# help2man (scripts/install-deps installs it) the pages are left out with a notice.
find_program(HELP2MAN help2man)

# korvo_man_page(PROGRAM SUMMARY [COMMANDS] [INSTALL]): COMMANDS adds a section with each
# command's own help (`PROGRAM help COMMAND`) for a program whose --help lists its commands;
# INSTALL installs the page, compressed. A closing "See also:" paragraph of the help becomes the
# page's SEE ALSO section (cmake/help_to_man.cmake); its Environment:, Files: and Examples:
# paragraphs help2man makes sections of by itself.
function(korvo_man_page program summary)
    cmake_parse_arguments(PARSE_ARGV 2 page "COMMANDS;INSTALL" "" "")
    if(NOT TARGET ${program})
        return()
    endif()
    if(NOT HELP2MAN)
        message(STATUS "help2man not found: no manual page for ${program}")
        return()
    endif()
    set(page ${CMAKE_BINARY_DIR}/man/man1/${program}.1)
    set(include_step)
    set(include_option)
    if(page_COMMANDS)
        set(commands ${CMAKE_BINARY_DIR}/man/${program}-commands.h2m)
        set(include_step COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${program}>
                         -DOUTPUT=${commands} -P ${CMAKE_SOURCE_DIR}/cmake/command_help_section.cmake)
        set(include_option -DINCLUDE=${commands})
    endif()
    # help2man runs this in the program's place: it answers --help with the help up to its
    # "See also:" paragraph, and anything else as the program does.
    set(help ${CMAKE_BINARY_DIR}/man/${program}-help.txt)
    set(wrapper ${CMAKE_BINARY_DIR}/man/${program}-for-help2man)
    file(GENERATE OUTPUT ${wrapper}
         CONTENT "#!/bin/sh\nif [ \"$1\" = --help ]; then exec cat '${help}'; fi\nexec '$<TARGET_FILE:${program}>' \"$@\"\n"
         FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                          WORLD_READ WORLD_EXECUTE)
    add_custom_command(
        OUTPUT ${page}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man/man1
        ${include_step}
        COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${program}> -DWRAPPER=${wrapper}
                -DHELP_OUTPUT=${help} -DHELP2MAN=${HELP2MAN} -DNAME=${summary} -DPAGE=${page}
                ${include_option} -P ${CMAKE_SOURCE_DIR}/cmake/help_to_man.cmake
        DEPENDS ${program} ${CMAKE_SOURCE_DIR}/cmake/command_help_section.cmake
                ${CMAKE_SOURCE_DIR}/cmake/help_to_man.cmake
        COMMENT "Manual page of ${program}"
        VERBATIM)
    add_custom_target(${program}_man_page ALL DEPENDS ${page})
    if(page_INSTALL)
        # Installed compressed, as Debian's policy asks (gzip -9n: no name or time stamp).
        add_custom_command(
            OUTPUT ${page}.gz
            COMMAND gzip -9n -f -k ${page}
            DEPENDS ${page}
            VERBATIM)
        add_custom_target(${program}_man_page_gz ALL DEPENDS ${page}.gz)
        install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endif()
endfunction()

korvo_man_page(dmicli "the management console of the DMI service provider" COMMANDS INSTALL)
korvo_man_page(korvo-adapter "the simulated KORVO adapter pair and its driver" INSTALL)
korvo_man_page(korvoci "the DMI component instrumentation agent of the KORVO adapters")
korvo_man_page(dmi-snmp "the AgentX subagent that serves the DMI components over SNMP" INSTALL)
