# SPDX-License-Identifier: MIT
# Install rules: the library, its headers, a CMake package config (for
# find_package(velkorthread CONFIG)) and a pkg-config file.
#
# Two components, the usual split of a shared library: Runtime is what a
# linked program needs (the .so.1 or the DLL), Development what building a
# program needs (headers, the link name or import library, the package
# configs). The Debian packages are made one per component.

# Debian and its derivatives look for libraries in the multiarch folder
# (lib/x86_64-linux-gnu), whatever the prefix.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND CMAKE_LIBRARY_ARCHITECTURE AND EXISTS /etc/debian_version)
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH "Object code libraries")
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VELKOR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/velkorthread)

install(TARGETS velkorthread EXPORT velkorthreadTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime
          NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)
install(FILES include/jmutex.h include/jthread.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        COMPONENT Development)
# The classes on the simulated kernel, for clients that explore their own
# protocols (Linux): link it instead of the shared library, never with it.
if(TARGET velkorsched)
  install(TARGETS velkorsched EXPORT velkorthreadTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
          COMPONENT Development)
  install(FILES include/velkorsched.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)
endif()

install(EXPORT velkorthreadTargets NAMESPACE velkorthread:: DESTINATION ${VELKOR_CMAKE_DIR}
        COMPONENT Development)
configure_package_config_file(cmake/velkorthreadConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/velkorthreadConfig.cmake INSTALL_DESTINATION ${VELKOR_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/velkorthreadConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/velkorthreadConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/velkorthreadConfigVersion.cmake DESTINATION ${VELKOR_CMAKE_DIR}
  COMPONENT Development)

# pkg-config finds the prefix from the file's own place, so that an installed
# tree can move (or be installed with --prefix).
file(RELATIVE_PATH VELKOR_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
configure_file(cmake/velkorthread.pc.in ${CMAKE_CURRENT_BINARY_DIR}/velkorthread.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/velkorthread.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)
