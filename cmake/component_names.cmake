# Writes the header that names the component's groups and attributes as mif/korvo.mif names
# them, so that the agent's readers say `adapter::kFirstAdapterAddress` where the MIF says group
# 4 attribute 2. Run at build time whenever the MIF changes:
#   cmake -DMIF=mif/korvo.mif -DOUTPUT=.../component_names.h -P cmake/component_names.cmake
# A group becomes a namespace (its name in lower case, words joined by "_": "Driver Table (125
# rows)" is driver_table_125_rows) holding kGroupId and one constant per attribute ("First
# adapter address" is kFirstAdapterAddress). Two attributes of a group that come to the same
# name, or a name that is not a word, stop the build with the MIF line to mend.
cmake_minimum_required(VERSION 3.25)

if(NOT MIF OR NOT OUTPUT)
    message(FATAL_ERROR "usage: cmake -DMIF=FILE -DOUTPUT=FILE -P component_names.cmake")
endif()

# The words of a MIF name: its runs of letters and digits.
function(mif_words name out)
    string(REGEX MATCHALL "[A-Za-z0-9]+" words "${name}")
    if(NOT words)
        message(FATAL_ERROR "${MIF}: the name \"${name}\" has no letters or digits")
    endif()
    set(${out} "${words}" PARENT_SCOPE)
endfunction()

# "Driver Table (125 rows)" -> driver_table_125_rows; "ComponentID" -> component_id
function(namespace_name name out)
    string(REGEX REPLACE "([a-z])([A-Z])" "\\1_\\2" split "${name}")
    mif_words("${split}" words)
    string(JOIN "_" joined ${words})
    string(TOLOWER "${joined}" lower)
    set(${out} "${lower}" PARENT_SCOPE)
endfunction()

# "First adapter address" -> kFirstAdapterAddress; "ComponentID" keeps its inner capitals.
function(constant_name name out)
    mif_words("${name}" words)
    set(result "k")
    foreach(word IN LISTS words)
        string(SUBSTRING "${word}" 0 1 first)
        string(SUBSTRING "${word}" 1 -1 rest)
        string(TOUPPER "${first}" first)
        string(APPEND result "${first}${rest}")
    endforeach()
    set(${out} "${result}" PARENT_SCOPE)
endfunction()

file(STRINGS "${MIF}" lines)
set(body "")
set(where "component")  # component, group, attribute, enum
set(group_name "")
set(group_id "")
set(attribute_name "")
set(attribute_id "")
set(group_constants "")
set(group_body "")
set(attribute_lines "")

macro(close_group_header)
    # The group's name and id are known once its first attribute starts (or it ends).
    if(group_header_open)
        namespace_name("${group_name}" ns)
        string(APPEND body "\n// Group ${group_id}, \"${group_name}\".\nnamespace ${ns} {\n")
        string(APPEND body "inline constexpr DmiId kGroupId = ${group_id};\n")
        set(group_header_open FALSE)
    endif()
endmacro()

foreach(line IN LISTS lines)
    string(STRIP "${line}" line)
    if(where STREQUAL "enum")
        if(line STREQUAL "end enum")
            set(where "attribute")
        endif()
        continue()
    endif()
    if(line STREQUAL "start group")
        set(where "group")
        set(group_name "")
        set(group_id "")
        set(group_constants "")
        set(group_header_open TRUE)
    elseif(line STREQUAL "end group")
        close_group_header()
        string(APPEND body "}  // namespace ${ns}\n")
        set(where "component")
    elseif(line STREQUAL "start attribute")
        close_group_header()
        set(where "attribute")
        set(attribute_name "")
        set(attribute_id "")
    elseif(line STREQUAL "end attribute")
        if(attribute_name STREQUAL "" OR attribute_id STREQUAL "")
            message(FATAL_ERROR "${MIF}: an attribute of group ${group_id} lacks a name or an id")
        endif()
        constant_name("${attribute_name}" constant)
        if(constant IN_LIST group_constants)
            message(FATAL_ERROR "${MIF}: group ${group_id} has two attributes named ${constant}")
        endif()
        list(APPEND group_constants "${constant}")
        string(APPEND body
               "inline constexpr DmiId ${constant} = ${attribute_id};  // \"${attribute_name}\"\n")
        set(where "group")
    elseif(line MATCHES "^type = start enum")
        set(where "enum")
    elseif(line MATCHES "^name = \"(.*)\"$")
        if(where STREQUAL "group")
            set(group_name "${CMAKE_MATCH_1}")
        elseif(where STREQUAL "attribute")
            set(attribute_name "${CMAKE_MATCH_1}")
        endif()
    elseif(line MATCHES "^id = ([0-9]+)$")
        if(where STREQUAL "group")
            set(group_id "${CMAKE_MATCH_1}")
        elseif(where STREQUAL "attribute")
            set(attribute_id "${CMAKE_MATCH_1}")
        endif()
    endif()
endforeach()

set(text "// Generated from mif/korvo.mif by cmake/component_names.cmake: the component's groups and
// their attributes by the names the MIF gives them. Edit the MIF, not this file.
#pragma once

#include \"dmi/dmi.h\"

namespace component {
${body}
}  // namespace component
")

# Written only when it changes, so that a MIF edit of a description rebuilds nothing.
if(EXISTS "${OUTPUT}")
    file(READ "${OUTPUT}" old)
    if(old STREQUAL text)
        return()
    endif()
endif()
file(WRITE "${OUTPUT}" "${text}")
