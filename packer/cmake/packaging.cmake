# Installing kelvra-pack (`make install`: the program, its manual page, its reference
# and a sample project file) and its Debian package (`make package`, CPack's DEB).
include(GNUInstallDirs)

set(KELVRA_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/kelvra-pack)
install(TARGETS kelvra-pack RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/docs/kelvra-pack.md ${CMAKE_SOURCE_DIR}/examples/kelvra.toml
        DESTINATION ${KELVRA_DOC_DIR})

# Manual pages are installed compressed; -n keeps the date out, so the bytes repeat.
set(man_page ${CMAKE_CURRENT_SOURCE_DIR}/kelvra-pack.1)
find_program(KELVRA_GZIP gzip)
if(KELVRA_GZIP)
  set(man_copy ${CMAKE_CURRENT_BINARY_DIR}/kelvra-pack.1)
  add_custom_command(
    OUTPUT ${man_copy}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${man_page} ${man_copy}
    COMMAND ${KELVRA_GZIP} -9 -n -f ${man_copy}
    DEPENDS ${man_page}
    COMMENT "Compressing the manual page"
    VERBATIM)
  add_custom_target(kelvra_man_page ALL DEPENDS ${man_copy}.gz)
  install(FILES ${man_copy}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  install(FILES ${man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# `make install` and `make package` build first; packing and installing then take the
# program as built, without building every test and tool again.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON CACHE BOOL "Installing does not build everything first")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kelvra-pack)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Kelvra")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "maker's tool for Kelvra self-installers for Windows")
set(CPACK_PACKAGE_DESCRIPTION "kelvra-pack makes Kelvra installers (a 32-bit Windows stub \
with an archive appended) from files and folders or from a TOML project file, and lists, \
tests and extracts them. The stub is built in.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Kelvra developers")
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends: worked out from the libraries the program links (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)

# The CMake package: find_package(KelvraPack) and kelvra_add_installer(), and the
# CPack External packer, beside the program they find relative to themselves.
include(CMakePackageConfigHelpers)
# lib/ even on multiarch systems: the config finds the program three folders up.
set(KELVRA_CMAKE_DIR lib/cmake/KelvraPack)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/KelvraPackConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion
  # A build-machine program: any target's pointer size can use it.
  ARCH_INDEPENDENT)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/KelvraPackConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/KelvraPackConfigVersion.cmake
              ${CMAKE_CURRENT_LIST_DIR}/KelvraPackCPack.cmake
              ${CMAKE_CURRENT_LIST_DIR}/KelvraPackCPackScript.cmake
        DESTINATION ${KELVRA_CMAKE_DIR})
