# ksym_module(TARGET BUILDING MACRO [WINDOWS_NAME NAME] SOURCES source...)
# A module of the product: a shared library compiled with MACRO defined (its export macro's
# switch), whose users include its headers from the project's root (include/ksymbol once
# installed), named NAME.dll on Windows.
function(ksym_module target)
    cmake_parse_arguments(ARG "" "BUILDING;WINDOWS_NAME" "SOURCES" ${ARGN})
    add_library(${target} SHARED ${ARG_SOURCES})
    ksym_warnings(${target})
    target_compile_definitions(${target} PRIVATE ${ARG_BUILDING})
    target_include_directories(${target} PUBLIC
        $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
        $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/ksymbol>)
    if(WIN32 AND ARG_WINDOWS_NAME)
        set_target_properties(${target} PROPERTIES OUTPUT_NAME ${ARG_WINDOWS_NAME} PREFIX "")
    endif()
endfunction()
