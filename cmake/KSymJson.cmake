# The JSON library (header-only): the formats' recordings and the tools use it. The cross
# builds take the machine's headers through a folder of their own, so that no other host
# header comes with them (KSYM_HEADER_SHIM, which the tools' dependencies use too).
if(CMAKE_CROSSCOMPILING)
    set(KSYM_HEADER_SHIM ${CMAKE_BINARY_DIR}/host-headers)
    file(MAKE_DIRECTORY ${KSYM_HEADER_SHIM})
    if(NOT EXISTS ${KSYM_HEADER_SHIM}/nlohmann)
        file(CREATE_LINK /usr/include/nlohmann ${KSYM_HEADER_SHIM}/nlohmann SYMBOLIC)
    endif()
    add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
    target_include_directories(nlohmann_json::nlohmann_json INTERFACE ${KSYM_HEADER_SHIM})
else()
    find_package(nlohmann_json 3 REQUIRED)
    set_target_properties(nlohmann_json::nlohmann_json PROPERTIES IMPORTED_GLOBAL TRUE)
endif()
