# Manual pages of the programs an administrator runs, made at build time from their own --help
# and --version by help2man, so that a page never says other than the program does. Without
# help2man (scripts/install-deps installs it) the pages are left out with a notice.
find_program(HELP2MAN help2man)

# korvo_man_page(PROGRAM SUMMARY [COMMANDS]): COMMANDS adds a section with each command's own
# help (`PROGRAM help COMMAND`) for a program whose --help lists its commands.
function(korvo_man_page program summary)
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
    if(ARGV2 STREQUAL "COMMANDS")
        set(commands ${CMAKE_BINARY_DIR}/man/${program}-commands.h2m)
        set(include_step COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${program}>
                         -DOUTPUT=${commands} -P ${CMAKE_SOURCE_DIR}/cmake/command_help_section.cmake)
        set(include_option --include=${commands})
    endif()
    add_custom_command(
        OUTPUT ${page}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man/man1
        ${include_step}
        COMMAND ${HELP2MAN} --no-info --section=1 --name=${summary} ${include_option}
                --output=${page} $<TARGET_FILE:${program}>
        DEPENDS ${program} ${CMAKE_SOURCE_DIR}/cmake/command_help_section.cmake
        COMMENT "Manual page of ${program}"
        VERBATIM)
    add_custom_target(${program}_man_page ALL DEPENDS ${page})
endfunction()

korvo_man_page(dmicli "the management console of the DMI service provider" COMMANDS)
korvo_man_page(korvo-adapter "the simulated KORVO adapter pair and its driver")
korvo_man_page(korvoci "the DMI component instrumentation agent of the KORVO adapters")
korvo_man_page(dmi-snmp "the AgentX subagent that serves the DMI components over SNMP")
