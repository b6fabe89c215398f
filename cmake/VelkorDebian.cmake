# SPDX-License-Identifier: MIT
# The Debian packages: libvelkorthread1 (the shared library under its SONAME)
# and libvelkorthread-dev (what building against it needs), as Debian splits
# a C++ library.
set(VELKOR_DEBIAN_DIR ${PROJECT_SOURCE_DIR}/packaging/debian)
set(VELKOR_RUNTIME_PACKAGE libvelkorthread${PROJECT_VERSION_MAJOR})
set(VELKOR_DEV_PACKAGE libvelkorthread-dev)

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Installed into the package's tree with DESTDIR, under the prefix /usr
# itself: the pkg-config file, written at install time, names /usr.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# A cross build names its processor (CPack would name the host's).
if(VELKOR_DEBIAN_ARCHITECTURE)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${VELKOR_DEBIAN_ARCHITECTURE})
  set(CPACK_VELKOR_OBJCOPY ${CMAKE_OBJCOPY})
endif()

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${VELKOR_RUNTIME_PACKAGE})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# dpkg-shlibdeps finds the C and C++ runtime packages the library links.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
# A shlibs file, a symbols file (made from the checked-in export list) and
# the ldconfig trigger, as for any Debian shared library. CPack writes
# postinst and postrm scripts that call ldconfig themselves; Debian has
# replaced those by the trigger, so the finishing step below removes them.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(VELKOR_DEBIAN_CONTROL ${PROJECT_BINARY_DIR}/debian/control-runtime)
file(MAKE_DIRECTORY ${VELKOR_DEBIAN_CONTROL})
file(WRITE ${VELKOR_DEBIAN_CONTROL}/triggers "activate-noawait ldconfig\n")
file(STRINGS ${PROJECT_SOURCE_DIR}/tests/exports/linux.txt velkor_exports REGEX "^[^#]")
set(velkor_symbols "libvelkorthread.so.${PROJECT_VERSION_MAJOR} ${VELKOR_RUNTIME_PACKAGE} #MINVER#\n")
string(APPEND velkor_symbols "* Build-Depends-Package: ${VELKOR_DEV_PACKAGE}\n")
foreach(symbol IN LISTS velkor_exports)
  string(APPEND velkor_symbols " ${symbol}@Base ${PROJECT_VERSION}\n")
endforeach()
file(WRITE ${VELKOR_DEBIAN_CONTROL}/symbols "${velkor_symbols}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/tests/exports/linux.txt)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    ${VELKOR_DEBIAN_CONTROL}/triggers ${VELKOR_DEBIAN_CONTROL}/symbols)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/VelkorDebianFinish.cmake)
# Each package's synopsis is the first line of its component's description
# (CPack would put one common summary in front of both).
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "recursive mutexes and killable threads for C++ (shared library)
velkorthread gives C++ programs two classes: JMutex, a recursive lock over
one operating-system mutex (owned by its locker, abandoned when its owner
ends), and JThread, an abstract thread class with a start handshake, a
running query, the body's return value and forced termination.
.
This package contains the shared library.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${VELKOR_DEV_PACKAGE})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
    "${VELKOR_RUNTIME_PACKAGE} (= ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
    "recursive mutexes and killable threads for C++ (development files)
velkorthread gives C++ programs two classes: JMutex, a recursive lock over
one operating-system mutex (owned by its locker, abandoned when its owner
ends), and JThread, an abstract thread class with a start handshake, a
running query, the body's return value and forced termination.
.
This package contains the headers, the link name of the library, its CMake
package configuration and its pkg-config file.")

# Directories as Debian makes them, whatever the umask of the build.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# Every Debian package carries its copyright file and a compressed changelog
# in /usr/share/doc/<package>.
find_program(VELKOR_GZIP gzip REQUIRED)
set(VELKOR_DEBIAN_CHANGELOG ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz)
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/debian)
execute_process(COMMAND ${VELKOR_GZIP} -9 -n -c ${VELKOR_DEBIAN_DIR}/changelog
                OUTPUT_FILE ${VELKOR_DEBIAN_CHANGELOG} COMMAND_ERROR_IS_FATAL ANY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${VELKOR_DEBIAN_DIR}/changelog)

set(velkor_components Runtime Development)
set(velkor_packages ${VELKOR_RUNTIME_PACKAGE} ${VELKOR_DEV_PACKAGE})
foreach(component package IN ZIP_LISTS velkor_components velkor_packages)
  install(FILES ${VELKOR_DEBIAN_DIR}/copyright ${VELKOR_DEBIAN_CHANGELOG}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
  if(EXISTS ${VELKOR_DEBIAN_DIR}/${package}.lintian-overrides)
    install(FILES ${VELKOR_DEBIAN_DIR}/${package}.lintian-overrides
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
            RENAME ${package} COMPONENT ${component})
  endif()
endforeach()
