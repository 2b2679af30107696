# Writes a module definition file (LIBRARY, EXPORTS) with the names a DLL's export table
# holds, read with the cross objdump: cmake -D OBJDUMP=... -D DLL=... -D DEF=... -P this
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE table RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "cannot read the export table of ${DLL}")
endif()
# The export table's name lines: "\t[ordinal] name" after "[Ordinal/Name Pointer] Table".
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table[^\n]*\n(.*)" section "${table}")
set(section "${CMAKE_MATCH_1}")
string(REGEX MATCHALL "\t\\[ *[0-9]+\\] [A-Za-z_?@$][^\n]*" entries "${section}")
get_filename_component(module ${DLL} NAME_WE)
set(text "LIBRARY ${module}\nEXPORTS\n")
foreach(entry ${entries})
    string(REGEX REPLACE "\t\\[ *[0-9]+\\] " "" name "${entry}")
    string(APPEND text "    ${name}\n")
endforeach()
file(WRITE ${DEF} "${text}")
