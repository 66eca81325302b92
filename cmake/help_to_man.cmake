# Makes a program's manual page with help2man from its own --help: a closing "See also:"
# paragraph of the help becomes the page's SEE ALSO section and an "Exit status:" paragraph its
# EXIT STATUS (help2man alone would leave them in the text before), so help2man is shown the
# help without them, through WRAPPER, which answers --help from HELP_OUTPUT and runs the
# program for anything else.
# Run as: cmake -DPROGRAM=... -DWRAPPER=... -DHELP_OUTPUT=... -DHELP2MAN=... -DNAME=...
#               -DPAGE=... [-DINCLUDE=FILE] -P help_to_man.cmake
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE help COMMAND_ERROR_IS_FATAL ANY)
set(includes)
if(INCLUDE)
    list(APPEND includes --include=${INCLUDE})
endif()
# help2man makes SYNOPSIS of a "Usage:" paragraph and OPTIONS of an "Options:" one; the
# programs write them in lower case, as their usage errors do.
string(REGEX REPLACE "^usage:" "Usage:" help "${help}")
# Its SYNOPSIS takes further forms as "or:" lines: a usage line that names the program again
# becomes one, and a line that continues a long form is joined to it.
cmake_path(GET PROGRAM FILENAME name)
string(FIND "${help}" "\n\n" end)
if(help MATCHES "^Usage:" AND NOT end EQUAL -1)
    string(SUBSTRING "${help}" 0 ${end} usage)
    string(SUBSTRING "${help}" ${end} -1 rest)
    string(REGEX REPLACE "\n +${name} " "\r${name} " usage "${usage}")
    string(REGEX REPLACE "\n +" " " usage "${usage}")
    string(REPLACE "\r" "\n   or: " usage "${usage}")
    set(help "${usage}${rest}")
endif()
string(REPLACE "\noptions:\n" "\nOptions:\n" help "${help}")
# An "Exit status:" paragraph (to the next blank line) becomes the EXIT STATUS section, its
# lines kept as they are; help2man has no such section of its own.
string(FIND "${help}" "\nExit status:" at)
if(NOT at EQUAL -1)
    string(SUBSTRING "${help}" 0 ${at} before)
    math(EXPR start "${at} + 13")
    string(SUBSTRING "${help}" ${start} -1 status)
    string(FIND "${status}" "\n\n" end)
    set(after "\n")
    if(NOT end EQUAL -1)
        string(SUBSTRING "${status}" ${end} -1 after)
        string(SUBSTRING "${status}" 0 ${end} status)
    endif()
    string(REGEX REPLACE "^[ \n]+" "" status "${status}")
    string(REGEX REPLACE "\n+$" "" status "${status}")
    set(help "${before}${after}")
    file(WRITE ${PAGE}.exit-status.h2m "[EXIT STATUS]\n.nf\n${status}\n.fi\n")
    list(APPEND includes --include=${PAGE}.exit-status.h2m)
endif()
string(FIND "${help}" "\nSee also:\n" at)
if(at EQUAL -1)
    file(WRITE ${HELP_OUTPUT} "${help}")
else()
    string(SUBSTRING "${help}" 0 ${at} before)
    math(EXPR start "${at} + 11")
    string(SUBSTRING "${help}" ${start} -1 references)
    string(STRIP "${references}" references)
    string(REGEX REPLACE "\n *" " " references "${references}")
    file(WRITE ${HELP_OUTPUT} "${before}\n")
    file(WRITE ${PAGE}.see-also.h2m "[SEE ALSO]\n${references}\n")
    list(APPEND includes --include=${PAGE}.see-also.h2m)
endif()
execute_process(COMMAND ${HELP2MAN} --no-info --section=1 --name=${NAME} ${includes}
                        --output=${PAGE} ${WRAPPER}
                COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE ${PAGE}.see-also.h2m ${PAGE}.exit-status.h2m)
