# How the agent's executable is built for Windows: with what Windows 95 offers and nothing more.
# - The win32 thread model of the mingw-w64 compiler. The rest of the Windows build (the service
#   provider stand-in, the tools and test programs) keeps the posix model, whose std::thread and
#   std::mutex it uses; the agent's runtime must not bring the thread library (winpthreads) and
#   the KERNEL32 calls it needs. cmake/win32-thread-model swaps the compiler on each command.
# - No C runtime: the first Windows 95 releases carry no msvcrt.dll, and mingw-w64's start-up
#   code is compiled for the Pentium Pro. The executable's entry is AgentEntry
#   (platform/win32/entry.cpp, with the few C library functions the code calls), and it links
#   only the import libraries of KERNEL32, USER32, GDI32 and ADVAPI32, and libgcc for any helper
#   the compiler calls. Without an unwinder, no exceptions (and on 32-bit no unwind tables).
# - For the 32-bit build, the Pentium's instructions: no cmov or fcomi (Pentium Pro), no MMX,
#   no SSE (Windows 95 does not save that state on a task switch) and x87 floating point.
# - Subsystem and OS version 4.0, which the Windows 95 loader accepts.
# - Shipped stripped, its debug information in korvoci.debug beside it (found by gdb through
#   the .gnu_debuglink section).
set(KORVO_WIN32_THREAD_MODEL ${CMAKE_CURRENT_LIST_DIR}/win32-thread-model)
string(REGEX REPLACE "-posix$" "-win32" korvo_win32_compiler ${CMAKE_CXX_COMPILER})
if(NOT EXISTS ${korvo_win32_compiler})
    message(FATAL_ERROR "The agent builds with ${korvo_win32_compiler}, the win32 thread model "
                        "of mingw-w64 (scripts/install-deps installs it)")
endif()

# Builds TARGET's sources, and links it, with the win32 thread model and the 9x settings above.
function(korvo_windows9x_build target)
    foreach(step C_COMPILER CXX_COMPILER CXX_LINKER)
        get_target_property(launcher ${target} ${step}_LAUNCHER)
        if(NOT launcher)
            set(launcher "")
        endif()
        set_property(TARGET ${target} PROPERTY ${step}_LAUNCHER ${KORVO_WIN32_THREAD_MODEL}
                                                               ${launcher})
    endforeach()
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        target_compile_options(${target} PRIVATE -march=pentium -mtune=generic -mno-mmx
                                                 -mno-sse -mfpmath=387
                                                 -fno-asynchronous-unwind-tables)
    endif()
    target_compile_options(${target} PRIVATE -fno-exceptions)
    target_compile_options(${target} PRIVATE -g)
endfunction()

# Links the executable TARGET for Windows 4.0 and ships it stripped, its debug information
# beside it in NAME.debug.
function(korvo_windows9x_executable target)
    korvo_windows9x_build(${target})
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        set(entry _AgentEntry)  # a C name's symbol on 32-bit Windows starts with _
    else()
        set(entry AgentEntry)
    endif()
    target_link_options(${target} PRIVATE -nostartfiles -nodefaultlibs -Wl,-e,${entry}
        -Wl,--major-subsystem-version,4,--minor-subsystem-version,0
        -Wl,--major-os-version,4,--minor-os-version,0)
    target_link_libraries(${target} PRIVATE kernel32 user32 gdi32 advapi32 gcc)
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE_NAME:${target}>
                $<TARGET_FILE_BASE_NAME:${target}>.debug
        COMMAND ${CMAKE_OBJCOPY} --strip-all
                --add-gnu-debuglink=$<TARGET_FILE_BASE_NAME:${target}>.debug
                $<TARGET_FILE_NAME:${target}>
        WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>
        COMMENT "Stripping $<TARGET_FILE_NAME:${target}>, its debug information in "
                "$<TARGET_FILE_BASE_NAME:${target}>.debug"
        VERBATIM)
endfunction()
