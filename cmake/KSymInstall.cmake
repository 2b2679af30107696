# cmake --install: headers, libraries, the CMake package KSymbol and the pkg-config file.
include(CMakePackageConfigHelpers)

set(KSYM_INSTALL_TARGETS ksymbol kclient kutil)
if(NOT WIN32)
    list(APPEND KSYM_INSTALL_TARGETS kplatform)
    # Installed libraries find each other beside themselves, installed programs in the
    # library folder beside their own.
    set_target_properties(${KSYM_INSTALL_TARGETS} PROPERTIES INSTALL_RPATH "$ORIGIN")
    foreach(program ksym sdbtool plcsim_station)
        if(TARGET ${program})
            set_target_properties(${program} PROPERTIES
                INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
        endif()
    endforeach()
endif()

install(TARGETS ${KSYM_INSTALL_TARGETS} EXPORT KSymbolTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
set(KSYM_INCLUDE_DEST ${CMAKE_INSTALL_INCLUDEDIR}/ksymbol)
install(FILES include/ksymbol.h include/ksymbol.def DESTINATION ${KSYM_INCLUDE_DEST})
install(FILES platform/win32.h DESTINATION ${KSYM_INCLUDE_DEST}/platform)
install(FILES extern/kclient.h extern/kutil.h DESTINATION ${KSYM_INCLUDE_DEST}/extern)

set(KSYM_CMAKE_DEST ${CMAKE_INSTALL_LIBDIR}/cmake/KSymbol)
install(EXPORT KSymbolTargets NAMESPACE KSymbol:: DESTINATION ${KSYM_CMAKE_DEST})
configure_package_config_file(cmake/KSymbolConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/KSymbolConfig.cmake INSTALL_DESTINATION ${KSYM_CMAKE_DEST})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/KSymbolConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/KSymbolConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/KSymbolConfigVersion.cmake
        DESTINATION ${KSYM_CMAKE_DEST})

# The file finds its prefix relative to where it lies, so that any --prefix works.
file(RELATIVE_PATH KSYM_PC_TO_PREFIX "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
configure_file(cmake/ksymbol.pc.in ${CMAKE_CURRENT_BINARY_DIR}/ksymbol.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ksymbol.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
