# The fuzz targets of fuzz/: a libFuzzer program in the fuzz build, a replay of the kept
# corpus as a ctest test in every other native build with tests.

# ksym_add_fuzzer(NAME [SOURCES extra sources...] [LIBS libraries...])
# NAME.cpp holds LLVMFuzzerTestOneInput; its seeds lie in corpus/<NAME without _fuzz>/.
function(ksym_add_fuzzer name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    string(REGEX REPLACE "_fuzz$" "" corpus ${name})
    if(KSYM_BUILD_FUZZ)
        set(program ${name})
        add_executable(${program} ${name}.cpp ${ARG_SOURCES})
        target_link_options(${program} PRIVATE -fsanitize=fuzzer,address,undefined)
    else()
        set(program ${name}_replay)
        add_executable(${program} ${name}.cpp replay_main.cpp ${ARG_SOURCES})
        add_test(NAME fuzz_replay.${corpus}
            COMMAND ${program} ${CMAKE_CURRENT_SOURCE_DIR}/corpus/${corpus})
        set_tests_properties(fuzz_replay.${corpus} PROPERTIES LABELS fuzz-replay TIMEOUT 120
            ENVIRONMENT "KSYM_ROOT=${CMAKE_BINARY_DIR}/test-root/fuzz_replay.${corpus}")
    endif()
    ksym_warnings(${program})
    target_include_directories(${program} PRIVATE ${PROJECT_SOURCE_DIR}
        ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(${program} PRIVATE ${ARG_LIBS})
endfunction()
