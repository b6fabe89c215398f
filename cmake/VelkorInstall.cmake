# Install rules: the library, its headers, a CMake package config (for
# find_package(velkorthread CONFIG)) and a pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VELKOR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/velkorthread)

install(TARGETS velkorthread EXPORT velkorthreadTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES include/jmutex.h include/jthread.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The classes on the simulated kernel, for clients that explore their own
# protocols (Linux): link it instead of the shared library, never with it.
if(TARGET velkorsched)
  install(TARGETS velkorsched EXPORT velkorthreadTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(FILES include/velkorsched.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endif()

install(EXPORT velkorthreadTargets NAMESPACE velkorthread:: DESTINATION ${VELKOR_CMAKE_DIR})
configure_package_config_file(cmake/velkorthreadConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/velkorthreadConfig.cmake INSTALL_DESTINATION ${VELKOR_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/velkorthreadConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/velkorthreadConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/velkorthreadConfigVersion.cmake DESTINATION ${VELKOR_CMAKE_DIR})

# pkg-config finds the prefix from the file's own place, so that an installed
# tree can move (or be installed with --prefix).
file(RELATIVE_PATH VELKOR_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
configure_file(cmake/velkorthread.pc.in ${CMAKE_CURRENT_BINARY_DIR}/velkorthread.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/velkorthread.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
