# Writes a help2man include file whose COMMANDS section holds each command's own help, as
# `PROGRAM help COMMAND` prints it, for the commands that `PROGRAM --help` lists under
# "Commands:". Run as: cmake -DPROGRAM=... -DOUTPUT=... -P command_help_section.cmake
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE overall COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCH "Commands:\n(  [^\n]+\n)+" listing "${overall}")
string(REGEX MATCHALL "\n  [a-z-]+" names "${listing}")
set(section "[COMMANDS]\n")
foreach(entry IN LISTS names)
    string(STRIP "${entry}" name)
    if(name STREQUAL "help")
        continue()
    endif()
    execute_process(COMMAND ${PROGRAM} help ${name} OUTPUT_VARIABLE help
                    COMMAND_ERROR_IS_FATAL ANY)
    # Backslashes are roff escapes, and a line may not begin with a control character.
    string(REPLACE "\\" "\\e" help "${help}")
    string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
    string(APPEND section ".SS ${name}\n.nf\n${help}.fi\n")
endforeach()
file(WRITE ${OUTPUT} "${section}")
