# KSymbol: libksymbol.so / KSymbol.dll, built from one object library so that the unit tests
# can link the same objects against the scripted fake of the client library.
add_library(ksymbol_objects OBJECT
    frame/channel_close.cpp
    frame/channel_context.cpp
    frame/channel_open.cpp
    frame/channel_table.cpp
    frame/dispatcher.cpp
    frame/loader_transaction.cpp
    frame/module_settings.cpp
    frame/notification_thread.cpp
    frame/project_info.cpp
    frame/record_layouts.cpp
    frame/reply_read.cpp
    frame/upload_switch.cpp
    frame/version.cpp
    symbols/load_symbols.cpp
    symbols/loader_steps.cpp
    symbols/memory_block.cpp
    symbols/sdb_reader.cpp
    symbols/symbol_file_path.cpp
    symbols/symbol_index.cpp
    symbols/symbol_loader.cpp
    symbols/symbol_ref.cpp
    symbols/symbol_table.cpp
    symbols/table_arena.cpp
    services/login_services.cpp
    services/project_identification.cpp
    services/reserved_entry_points.cpp
    services/service_start.cpp
    varlist/pending_read.cpp
    varlist/var_list.cpp
    varlist/var_list_define.cpp
    varlist/var_list_read.cpp
    varlist/var_list_write.cpp
)
ksym_warnings(ksymbol_objects)
target_compile_definitions(ksymbol_objects PUBLIC KSYMBOL_BUILDING)
target_include_directories(ksymbol_objects PUBLIC ${PROJECT_SOURCE_DIR})
# The layouts and texts the library shares with the client, the simulator and the tools
# (direct addresses, name comparison, the SDB and telegram layouts), compiled in.
target_link_libraries(ksymbol_objects PUBLIC formats)
# The version word comes from the project's VERSION.
configure_file(${PROJECT_SOURCE_DIR}/cmake/version_components.h.in
    ${PROJECT_BINARY_DIR}/generated/version_components.h @ONLY)
target_include_directories(ksymbol_objects PRIVATE ${PROJECT_BINARY_DIR}/generated)
# Headers of the modules it calls; the objects link against whichever build provides them.
target_include_directories(ksymbol_objects PRIVATE
    $<TARGET_PROPERTY:kutil,INTERFACE_INCLUDE_DIRECTORIES>)
if(NOT WIN32)
    target_link_libraries(ksymbol_objects PUBLIC Threads::Threads)
endif()

# The module entry runs attach and detach; programs that link the objects themselves (the
# unit tests) bring their own.
add_library(ksymbol SHARED $<TARGET_OBJECTS:ksymbol_objects> frame/module_entry.cpp)
ksym_warnings(ksymbol)
target_include_directories(ksymbol PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_definitions(ksymbol PRIVATE KSYMBOL_BUILDING)
# Callers read the library's error codes from the client library's last-error cell: a
# program that links KSymbol links the client too.
target_link_libraries(ksymbol PUBLIC kclient PRIVATE kutil formats)
if(WIN32)
    set_target_properties(ksymbol PROPERTIES OUTPUT_NAME KSymbol PREFIX "")
    target_sources(ksymbol PRIVATE include/ksymbol.def)
else()
    target_link_libraries(ksymbol PUBLIC kplatform)
    # The export list decides what the ELF library exports too: template code of the
    # standard library that the objects instantiate would otherwise leak out with it.
    file(STRINGS ${PROJECT_SOURCE_DIR}/include/ksymbol.def ksym_def_lines)
    set(ksym_version_script "{\n  global:\n")
    foreach(line IN LISTS ksym_def_lines)
        string(STRIP "${line}" name)
        if(name MATCHES "^KSym[A-Za-z0-9_]*$")
            string(APPEND ksym_version_script "    ${name};\n")
        endif()
    endforeach()
    string(APPEND ksym_version_script "  local: *;\n};\n")
    file(WRITE ${CMAKE_BINARY_DIR}/ksymbol.map "${ksym_version_script}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
        ${PROJECT_SOURCE_DIR}/include/ksymbol.def)
    target_link_options(ksymbol PRIVATE -Wl,--version-script=${CMAKE_BINARY_DIR}/ksymbol.map)
    set_property(TARGET ksymbol APPEND PROPERTY LINK_DEPENDS ${CMAKE_BINARY_DIR}/ksymbol.map)
    # Every name the library exports must be on the export list and vice versa.
    target_link_options(ksymbol PRIVATE -Wl,--no-undefined)
endif()
target_include_directories(ksymbol PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/ksymbol>)
set_target_properties(ksymbol PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION 1)
add_library(KSymbol::ksymbol ALIAS ksymbol)
