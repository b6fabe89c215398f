# SPDX-License-Identifier: MIT
# Packages made by `cmake --build <dir> --target package` (CPack):
#
#   Linux:   two Debian packages, libvelkorthread1 (the Runtime component) and
#            libvelkorthread-dev (the Development component);
#   Windows: one .zip per ABI and architecture, with the DLL in bin/, the
#            import library, the headers and the package configs, the
#            licence and a README.txt, named
#            velkorthread-<version>-windows-<abi>-<architecture>.zip.
set(CPACK_PACKAGE_NAME velkorthread)
set(CPACK_PACKAGE_VENDOR "${VELKOR_VENDOR}")
set(CPACK_PACKAGE_CONTACT "velkorthread developers <maintainers@users.noreply.c-seed-1057cada.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_COMPONENTS_ALL Runtime Development)
# Packages carry no debugging information, and no build path in it.
set(CPACK_STRIP_FILES ON)

if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/VelkorWindowsAbi.cmake)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ${VELKOR_WINDOWS_ARCHIVE})
  # One archive holds every component: a Windows user unpacks one folder.
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
  list(APPEND CPACK_COMPONENTS_ALL Documentation)
elseif(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  include(${CMAKE_CURRENT_LIST_DIR}/VelkorDebian.cmake)
endif()

include(CPack)
