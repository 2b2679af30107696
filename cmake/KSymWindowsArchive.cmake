# The Windows archive (cpack, ZIP): what a Windows programmer needs to use the library with
# either toolchain. The install rules put the DLLs and programs in bin/, the headers and the
# export list in include/ksymbol/, the MinGW import libraries (lib*.dll.a) in lib/; here come
# import libraries for Microsoft's linker, the guide and the example with its command lines.
find_program(KSYM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(KSYM_DLLTOOL_MACHINE i386)
    set(KSYM_ARCHIVE_SYSTEM win32)
else()
    set(KSYM_DLLTOOL_MACHINE i386:x86-64)
    set(KSYM_ARCHIVE_SYSTEM win64)
endif()

# KSymbol.lib from the module's own export list; KClient.lib and KUtil.lib from the export
# tables of their DLLs (the example calls the client's functions too).
set(KSYM_MSVC_LIBS ${CMAKE_BINARY_DIR}/KSymbol.lib ${CMAKE_BINARY_DIR}/KClient.lib
    ${CMAKE_BINARY_DIR}/KUtil.lib)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/KSymbol.lib
    COMMAND ${KSYM_DLLTOOL} -m ${KSYM_DLLTOOL_MACHINE} -d ${PROJECT_SOURCE_DIR}/include/ksymbol.def
            -D KSymbol.dll -l ${CMAKE_BINARY_DIR}/KSymbol.lib
    DEPENDS ${PROJECT_SOURCE_DIR}/include/ksymbol.def VERBATIM)
foreach(module KClient KUtil)
    string(TOLOWER ${module} target)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/${module}.lib
        COMMAND ${CMAKE_COMMAND} -D OBJDUMP=${KSYM_OBJDUMP} -D DLL=$<TARGET_FILE:${target}>
                -D DEF=${CMAKE_BINARY_DIR}/${module}.def
                -P ${PROJECT_SOURCE_DIR}/cmake/export_list.cmake
        COMMAND ${KSYM_DLLTOOL} -m ${KSYM_DLLTOOL_MACHINE} -d ${CMAKE_BINARY_DIR}/${module}.def
                -D ${module}.dll -l ${CMAKE_BINARY_DIR}/${module}.lib
        DEPENDS ${target} ${PROJECT_SOURCE_DIR}/cmake/export_list.cmake VERBATIM)
endforeach()
add_custom_target(ksymbol_msvc_libs ALL DEPENDS ${KSYM_MSVC_LIBS})

install(FILES ${KSYM_MSVC_LIBS} DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES examples/read_values.c examples/windows-build.txt DESTINATION examples)
install(DIRECTORY docs/guide/ DESTINATION doc/guide)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME KSymbol)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_SYSTEM_NAME ${KSYM_ARCHIVE_SYSTEM})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
