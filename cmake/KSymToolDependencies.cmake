# What the tools need from the machine: the command-line library (header-only, for the
# cross builds taken from the machine's headers through a folder of their own) and the HTTP
# library of ksym serve.
# The JSON library is the project's (cmake/KSymJson.cmake), whose header folder the cross
# builds share.
if(CMAKE_CROSSCOMPILING)
    if(NOT EXISTS ${KSYM_HEADER_SHIM}/CLI)
        file(CREATE_LINK /usr/include/CLI ${KSYM_HEADER_SHIM}/CLI SYMBOLIC)
    endif()
    add_library(CLI11::CLI11 INTERFACE IMPORTED)
    target_include_directories(CLI11::CLI11 INTERFACE ${KSYM_HEADER_SHIM})
else()
    find_package(CLI11 CONFIG QUIET)
    if(NOT CLI11_FOUND)
        find_path(CLI11_INCLUDE_DIR CLI/CLI.hpp REQUIRED)
        add_library(CLI11::CLI11 INTERFACE IMPORTED)
        target_include_directories(CLI11::CLI11 INTERFACE ${CLI11_INCLUDE_DIR})
    endif()
endif()

# The HTTP server of ksym serve: Debian's cpp-httplib is a compiled library for the machine's
# own architecture only (its header needs the flags the library was built with), so the i386
# and Windows builds have every verb but serve. A native 64-bit build must have it.
if(NOT CMAKE_CROSSCOMPILING)
    find_library(KSYM_HTTPLIB_LIBRARY cpp-httplib)
    if(KSYM_HTTPLIB_LIBRARY)
        find_package(PkgConfig REQUIRED)
        pkg_check_modules(HTTPLIB REQUIRED cpp-httplib)
        add_library(ksym_httplib INTERFACE IMPORTED GLOBAL)
        target_include_directories(ksym_httplib SYSTEM INTERFACE ${HTTPLIB_INCLUDE_DIRS})
        target_compile_options(ksym_httplib INTERFACE ${HTTPLIB_CFLAGS_OTHER})
        target_link_libraries(ksym_httplib INTERFACE ${KSYM_HTTPLIB_LIBRARY} Threads::Threads)
    elseif(CMAKE_SIZEOF_VOID_P EQUAL 8)
        message(FATAL_ERROR "ksym serve needs libcpp-httplib-dev; scripts/setup.sh installs it")
    endif()
endif()

# The MQTT client library of ksym publish, for the machine's own architecture (Debian's
# libmosquitto-dev): where it is missing, ksym has every other verb and says why publish is
# not there.
if(NOT CMAKE_CROSSCOMPILING)
    find_library(KSYM_MOSQUITTO_LIBRARY mosquitto)
    find_path(KSYM_MOSQUITTO_INCLUDE_DIR mosquitto.h)
    if(KSYM_MOSQUITTO_LIBRARY AND KSYM_MOSQUITTO_INCLUDE_DIR AND CMAKE_SIZEOF_VOID_P EQUAL 8)
        add_library(ksym_mosquitto INTERFACE IMPORTED GLOBAL)
        target_include_directories(ksym_mosquitto SYSTEM INTERFACE ${KSYM_MOSQUITTO_INCLUDE_DIR})
        target_link_libraries(ksym_mosquitto INTERFACE ${KSYM_MOSQUITTO_LIBRARY})
    endif()
endif()

# Protocol Buffers for the Sparkplug B payloads of ksym publish (Debian's libprotobuf-dev and
# protobuf-compiler), for the machine's own architecture as the MQTT library.
if(NOT CMAKE_CROSSCOMPILING AND CMAKE_SIZEOF_VOID_P EQUAL 8)
    find_package(Protobuf QUIET)
    if(Protobuf_FOUND AND Protobuf_PROTOC_EXECUTABLE)
        set(KSYM_HAVE_PROTOBUF ON)
    endif()
endif()
