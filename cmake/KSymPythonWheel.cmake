# The build target python-wheel: the Python package as a wheel that carries this build's
# libraries (ksymbol, the client and utility libraries, and on Linux the platform layer),
# with a run path among themselves, into BUILD/python/dist. Not part of the default build.
find_program(KSYM_SYSTEM_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(KSYM_SYSTEM_PYTHON)
    set(_wheel_libraries $<TARGET_FILE:ksymbol> $<TARGET_FILE:kclient> $<TARGET_FILE:kutil>)
    if(WIN32)
        if(CMAKE_SIZEOF_VOID_P EQUAL 4)
            set(_wheel_platform win32)
        else()
            set(_wheel_platform win_amd64)
        endif()
    else()
        list(APPEND _wheel_libraries $<TARGET_FILE:kplatform>)
        if(CMAKE_SIZEOF_VOID_P EQUAL 4)
            set(_wheel_platform linux_i686)
        else()
            set(_wheel_platform linux_x86_64)
        endif()
    endif()
    add_custom_target(python-wheel
        COMMAND ${KSYM_SYSTEM_PYTHON} ${PROJECT_SOURCE_DIR}/python/build_wheel.py
            --project ${PROJECT_SOURCE_DIR} --work ${CMAKE_BINARY_DIR}/python
            --platform ${_wheel_platform} ${_wheel_libraries}
        DEPENDS ksymbol kclient kutil
        COMMENT "The Python wheel for ${_wheel_platform}, into ${CMAKE_BINARY_DIR}/python/dist"
        VERBATIM)
endif()
