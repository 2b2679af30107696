# The test programs of the project, one function for all (tests/ and its folders use it).

# Every test runs with its own stand-in for the Windows machine, never the user's home.
set(KSYM_TEST_ROOT ${CMAKE_BINARY_DIR}/test-root)

# ksym_add_gtest(NAME SOURCES... LIBS libs... [LABELS labels...] [COST N] [ENV VAR=VALUE...])
# A COST puts long tests first when ctest runs tests side by side, so that they overlap the
# short ones instead of running last and alone.
# Natively each test case is a ctest test of its own; under the Windows emulator, where every
# start of a program costs, each test program is one ctest test that prints its own summary.
# ENV is more of the program's environment, for the system's loader (natively the program is
# then one ctest test too).
function(ksym_add_gtest name)
    cmake_parse_arguments(ARG "" "COST" "SOURCES;LIBS;LABELS;ENV" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    # The sources of a test program are compiled as one: each would otherwise parse the test
    # framework's headers again, which costs more than the tests themselves.
    set_target_properties(${name} PROPERTIES UNITY_BUILD ${KSYM_UNITY_TESTS})
    ksym_warnings(${name})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests
        ${CMAKE_CURRENT_SOURCE_DIR})
    if(CMAKE_CROSSCOMPILING OR ARG_ENV)
        add_test(NAME ${name} COMMAND ${name})
        set_tests_properties(${name} PROPERTIES TIMEOUT 300)
        if(ARG_LABELS)
            set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
        endif()
        if(NOT CMAKE_CROSSCOMPILING)
            set_tests_properties(${name} PROPERTIES
                ENVIRONMENT "KSYM_ROOT=${KSYM_TEST_ROOT}/${name};${ARG_ENV}")
        endif()
    else()
        set(properties ENVIRONMENT "KSYM_ROOT=${KSYM_TEST_ROOT}/${name}" TIMEOUT 120)
        if(ARG_LABELS)
            list(APPEND properties LABELS "${ARG_LABELS}")
        endif()
        if(ARG_COST)
            list(APPEND properties COST ${ARG_COST})
        endif()
        gtest_discover_tests(${name} PROPERTIES ${properties} DISCOVERY_TIMEOUT 60)
    endif()
endfunction()
