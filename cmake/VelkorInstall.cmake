# SPDX-License-Identifier: MIT
# Install rules: the library, its headers, a CMake package config (for
# find_package(velkorthread CONFIG)), a pkg-config file and the licence.
#
# Three components: Runtime is what a linked program needs (the .so.1 or the
# DLL), Development what building a program needs (headers, the link name or
# import library, the package configs), the usual split of a shared library;
# Documentation the licence (and on Windows the archive's README.txt). The
# Debian packages are made one per component of the first two, and carry the
# licence in their copyright files; a Windows archive holds all three.

# Debian and its derivatives look for libraries in the multiarch folder
# (lib/x86_64-linux-gnu), whatever the prefix.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND CMAKE_LIBRARY_ARCHITECTURE AND EXISTS /etc/debian_version)
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH "Object code libraries")
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VELKOR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/velkorthread)

# The headers go into a folder of their own, include/velkorthread, where their
# generic names cannot collide with another package's; the CMake target and
# the pkg-config file add that folder, so clients still write
# #include <jthread.h>.
set(VELKOR_INCLUDE_DIR ${CMAKE_INSTALL_INCLUDEDIR}/velkorthread)
install(TARGETS velkorthread EXPORT velkorthreadTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime
          NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development
  INCLUDES DESTINATION ${VELKOR_INCLUDE_DIR})
install(FILES include/jmutex.h include/jthread.h DESTINATION ${VELKOR_INCLUDE_DIR}
        COMPONENT Development)
# The classes on the simulated kernel, for clients that explore their own
# protocols (Linux): link it instead of the shared library, never with it.
if(TARGET velkorsched)
  install(TARGETS velkorsched EXPORT velkorthreadTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
          COMPONENT Development INCLUDES DESTINATION ${VELKOR_INCLUDE_DIR})
  install(FILES include/velkorsched.h DESTINATION ${VELKOR_INCLUDE_DIR} COMPONENT Development)
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

# The pkg-config file. Where an installed tree stays where it was installed
# (Linux: the Debian packages in /usr, `cmake --install --prefix <dir>`), it
# names that prefix, so that pkg-config prints plain paths; it is written at
# install time, when the prefix is known. A Windows archive is unpacked
# anywhere: there the prefix follows the file's own place (pkg-config on
# Windows redefines it from there anyway).
if(WIN32)
  file(RELATIVE_PATH VELKOR_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
  string(REGEX REPLACE "/$" "" VELKOR_PC_TO_PREFIX "${VELKOR_PC_TO_PREFIX}")
  set(VELKOR_PC_PREFIX "\${pcfiledir}/${VELKOR_PC_TO_PREFIX}")
  configure_file(cmake/velkorthread.pc.in ${CMAKE_CURRENT_BINARY_DIR}/velkorthread.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/velkorthread.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)
else()
  set(VELKOR_PC_PREFIX "@VELKOR_PC_PREFIX@")  # filled in at install time
  set(VELKOR_PC_TEMPLATE ${CMAKE_CURRENT_BINARY_DIR}/velkorthread.pc.template)
  configure_file(cmake/velkorthread.pc.in ${VELKOR_PC_TEMPLATE} @ONLY)
  install(CODE "set(velkor_pc_template \"${VELKOR_PC_TEMPLATE}\")
set(velkor_pc_destination \"${CMAKE_INSTALL_LIBDIR}/pkgconfig\")" COMPONENT Development)
  install(CODE [[
    cmake_path(SET velkor_pc_prefix NORMALIZE "${CMAKE_INSTALL_PREFIX}")
    string(REGEX REPLACE "/+$" "" velkor_pc_prefix "${velkor_pc_prefix}")
    file(READ "${velkor_pc_template}" velkor_pc)
    string(REPLACE "@VELKOR_PC_PREFIX@" "${velkor_pc_prefix}" velkor_pc "${velkor_pc}")
    # One file per destination, so that installs from one build do not race.
    string(MD5 velkor_pc_key "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
    set(velkor_pc_file "${velkor_pc_template}.d/${velkor_pc_key}/velkorthread.pc")
    file(WRITE "${velkor_pc_file}" "${velkor_pc}")
    file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${velkor_pc_destination}" TYPE FILE
         FILES "${velkor_pc_file}")
  ]] COMPONENT Development)
endif()

# The licence, in every install tree (the Debian packages carry it in their
# copyright files instead). A Windows archive also has it at its top, beside
# a README.txt that says what the archive holds and which compiler it is for.
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/velkorthread
        COMPONENT Documentation)
if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/VelkorWindowsAbi.cmake)
  if(VELKOR_WINDOWS_ABI STREQUAL "msvc")
    set(VELKOR_ARCHIVE_COMPILERS "The Visual C++ (MSVC) ABI: for programs built with Visual C++ or clang-cl")
    set(VELKOR_ARCHIVE_IMPORT_LIBRARY velkorthread.lib)
  else()
    set(VELKOR_ARCHIVE_COMPILERS "The GNU ABI: for programs built with MinGW-w64 g++")
    set(VELKOR_ARCHIVE_IMPORT_LIBRARY libvelkorthread.dll.a)
  endif()
  set(VELKOR_ARCHIVE_TITLE
      "velkorthread ${PROJECT_VERSION} for Windows: ${VELKOR_WINDOWS_ABI} ABI, ${VELKOR_WINDOWS_ARCH}")
  string(LENGTH "${VELKOR_ARCHIVE_TITLE}" velkor_length)
  string(REPEAT "=" ${velkor_length} VELKOR_ARCHIVE_TITLE_RULE)
  math(EXPR VELKOR_ARCHIVE_BITS "${CMAKE_SIZEOF_VOID_P} * 8")
  string(LENGTH "lib/${VELKOR_ARCHIVE_IMPORT_LIBRARY}" velkor_length)
  math(EXPR velkor_length "32 - ${velkor_length}")
  string(REPEAT " " ${velkor_length} VELKOR_ARCHIVE_IMPORT_PAD)
  configure_file(packaging/windows/README.txt.in ${CMAKE_CURRENT_BINARY_DIR}/README.txt @ONLY
                 NEWLINE_STYLE CRLF)
  install(FILES LICENSE ${CMAKE_CURRENT_BINARY_DIR}/README.txt DESTINATION .
          COMPONENT Documentation)
endif()
