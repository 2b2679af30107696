# ksym_embed_text(TARGET INPUT FILE HEADER H NAMESPACE NS FUNCTION NAME)
# Adds to TARGET a source, generated at build time, that defines `std::string NS::NAME()`
# returning FILE's bytes; H declares it. CMake itself writes the source (embed_text.cmake),
# so that the cross builds embed texts without running a program they built.
function(ksym_embed_text target)
    cmake_parse_arguments(ARG "" "INPUT;HEADER;NAMESPACE;FUNCTION" "" ${ARGN})
    set(output ${CMAKE_CURRENT_BINARY_DIR}/embedded_${ARG_FUNCTION}.cpp)
    get_filename_component(name ${ARG_INPUT} NAME)
    add_custom_command(OUTPUT ${output}
        COMMAND ${CMAKE_COMMAND} -DINPUT=${ARG_INPUT} -DOUTPUT=${output}
                -DHEADER=${ARG_HEADER} -DNAMESPACE=${ARG_NAMESPACE} -DFUNCTION=${ARG_FUNCTION}
                -P ${PROJECT_SOURCE_DIR}/cmake/embed_text.cmake
        DEPENDS ${ARG_INPUT} ${PROJECT_SOURCE_DIR}/cmake/embed_text.cmake
        COMMENT "Embedding ${name}"
        VERBATIM)
    target_sources(${target} PRIVATE ${output})
endfunction()
