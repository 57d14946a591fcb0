# Install rules, the CMake package (find_package(QuorellStorage CONFIG),
# target Quorell::storage), the pkg-config file (quorell-storage) and the
# Debian package (cpack -G DEB).

include(CMakePackageConfigHelpers)

set(QSS_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/QuorellStorage)

install(TARGETS qss_storage EXPORT QuorellStorageTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/qss ${PROJECT_BINARY_DIR}/include/qss
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development
        FILES_MATCHING PATTERN "*.h")
if(QSS_BUILD_TOOLS)
  install(TARGETS qss OrvikInstallService RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
  install(FILES ${PROJECT_SOURCE_DIR}/Tools/qss/completion/qss.bash
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME qss COMPONENT runtime)
  if(NOT CMAKE_CROSSCOMPILING)
    install(FILES ${PROJECT_BINARY_DIR}/Tools/qss/qss.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
  endif()
endif()
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/README.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)

install(EXPORT QuorellStorageTargets NAMESPACE Quorell:: DESTINATION ${QSS_CMAKE_PACKAGE_DIR}
        COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QuorellStorageConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/QuorellStorageConfig.cmake
                              INSTALL_DESTINATION ${QSS_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QuorellStorageConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QuorellStorageConfig.cmake ${PROJECT_BINARY_DIR}/QuorellStorageConfigVersion.cmake
        DESTINATION ${QSS_CMAKE_PACKAGE_DIR} COMPONENT development)

# pkg-config: a static library brings its own dependencies (--static).
if(BUILD_SHARED_LIBS)
  set(QSS_PC_CFLAGS "")
else()
  set(QSS_PC_CFLAGS " -DQSS_STATIC")
endif()
# The file finds the prefix from where it lies, so an installation can be
# moved (cmake --install --prefix, DESTDIR, an unpacked package).
file(RELATIVE_PATH QSS_PC_UP "/qss-root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/qss-root")
string(REGEX REPLACE "/$" "" QSS_PC_UP "${QSS_PC_UP}")
set(QSS_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
set(QSS_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/quorell-storage.pc.in ${PROJECT_BINARY_DIR}/quorell-storage.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/quorell-storage.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT development)

set(CPACK_PACKAGE_NAME quorell-storage)
set(CPACK_PACKAGE_VENDOR "Quorell")
set(CPACK_PACKAGE_CONTACT "Quorell storage maintainers <storage@quorell.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "liblz4-1")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
