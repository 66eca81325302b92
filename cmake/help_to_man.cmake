# Makes a program's manual page with help2man from its own --help: a closing "See also:"
# paragraph of the help becomes the page's SEE ALSO section (help2man alone would leave it in
# the text before), so help2man is shown the help without it, through WRAPPER, which answers
# --help from HELP_OUTPUT and runs the program for anything else.
# Run as: cmake -DPROGRAM=... -DWRAPPER=... -DHELP_OUTPUT=... -DHELP2MAN=... -DNAME=...
#               -DPAGE=... [-DINCLUDE=FILE] -P help_to_man.cmake
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE help COMMAND_ERROR_IS_FATAL ANY)
set(includes)
if(INCLUDE)
    list(APPEND includes --include=${INCLUDE})
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
file(REMOVE ${PAGE}.see-also.h2m)
