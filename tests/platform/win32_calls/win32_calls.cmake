# The Win32 calls program: the same checks built for the Linux host against the stand-in (run by
# CTest) and for Windows (run under Wine by scripts/wine/e2e), each with its own test_machine
# file. Beside it, the probe libraries of LoadLibraryA's search: one copy in the program's
# directory and two in probe-cwd/, the directory it makes current.
set(calls_dir ${CMAKE_CURRENT_LIST_DIR})
if(KORVO_TARGET)
    set(calls_program korvo-win32-calls)
    set(calls_machine ${calls_dir}/test_machine_win32.cpp)
    set(probe_export "__declspec(dllexport)")
else()
    set(calls_program korvo_win32_calls)
    set(calls_machine ${calls_dir}/test_machine_posix.cpp
                      ${CMAKE_SOURCE_DIR}/tests/support/private_root.cpp)
    set(probe_export "__attribute__((visibility(\"default\")))")
endif()

# The window calls' cases first, then the others': cases run in the order of the files.
add_executable(${calls_program} ${calls_dir}/window_calls.cpp ${calls_dir}/system_calls.cpp
                                ${calls_dir}/check.cpp ${calls_machine})
target_include_directories(${calls_program} PRIVATE ${calls_dir} ${CMAKE_SOURCE_DIR}/tests
                                                    ${CMAKE_SOURCE_DIR}/sim/adapter)
target_link_libraries(${calls_program} PRIVATE korvo_driver_protocol korvo_platform)
if(KORVO_TARGET)
    # One file to copy: no C++ runtime or thread library beside it.
    target_link_options(${calls_program} PRIVATE -static)
else()
    target_link_libraries(${calls_program} PRIVATE korvo_adapter_server)
endif()

foreach(probe "KorvoProbe:1:" "KorvoProbe:2:probe-cwd" "KorvoCwdOnly:2:probe-cwd")
    string(REPLACE ":" ";" probe ${probe})
    list(GET probe 0 probe_name)
    list(GET probe 1 probe_where)
    list(GET probe 2 probe_dir)
    set(probe_target ${calls_program}-${probe_name}-${probe_where})
    add_library(${probe_target} SHARED ${calls_dir}/probe_library.c)
    target_compile_definitions(${probe_target} PRIVATE KORVO_PROBE_WHERE=${probe_where}
                                                       "KORVO_PROBE_EXPORT=${probe_export}")
    set_target_properties(${probe_target} PROPERTIES
        OUTPUT_NAME ${probe_name} PREFIX "" SUFFIX ".dll" C_VISIBILITY_PRESET hidden
        LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/${probe_dir}
        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/${probe_dir}
        ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/${probe_dir})
    if(KORVO_TARGET)
        target_link_options(${probe_target} PRIVATE -static)
    endif()
    add_dependencies(${calls_program} ${probe_target})
endforeach()
