# SPDX-License-Identifier: MIT
# Makes the Debian packages of BUILD_DIR with CPack, checks what they declare
# and hold, unpacks both into a throwaway root (never the machine's own) and
# builds and runs the client there twice: with find_package and with
# pkg-config. Each package's copyright file must grant the licence in LICENSE
# (the MIT License, "Expat" in Debian's machine-readable format). Then
# lintian, which must report no error and no warning.
# -DBUILD_DIR=<build> -DWORK_DIR=<scratch> -DCLIENT_SOURCE=<tests/package_client>
# -DCPACK=<cpack> -DGENERATOR=<cmake generator> -DVERSION=<x.y.z> -DSOVERSION=<major>
# -DLICENSE=<the LICENSE file>
# A cross build adds -DARCH=<Debian architecture> -DMULTIARCH=<triplet>
# -DTOOLCHAIN=<file> -DCXX=<compiler> -DSTAGE_DIR=<folder>: its clients are
# cross-built, not run here, and staged with the packages and
# debian_packages_in_guest.sh for the emulated machine, which installs and
# runs them.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(root ${WORK_DIR}/root)
set(runtime_package libvelkorthread${SOVERSION})
set(dev_package libvelkorthread-dev)

include(${CMAKE_CURRENT_LIST_DIR}/check_steps.cmake)

function(capture variable)
  execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE out OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "failed: ${ARGN}")
  endif()
  set(${variable} "${out}" PARENT_SCOPE)
endfunction()

function(expect what actual pattern)
  if(NOT actual MATCHES "${pattern}")
    message(FATAL_ERROR "${what}: '${actual}' does not match '${pattern}'")
  endif()
endfunction()

make_packages()

if(ARCH)
  set(arch ${ARCH})
  set(multiarch ${MULTIARCH})
else()
  capture(arch dpkg --print-architecture)
  capture(multiarch dpkg-architecture -qDEB_HOST_MULTIARCH)
endif()
set(runtime_deb ${WORK_DIR}/packages/${runtime_package}_${VERSION}-1_${arch}.deb)
set(dev_deb ${WORK_DIR}/packages/${dev_package}_${VERSION}-1_${arch}.deb)
foreach(deb IN ITEMS ${runtime_deb} ${dev_deb})
  if(NOT EXISTS ${deb})
    message(FATAL_ERROR "cpack did not make ${deb}")
  endif()
  capture(fields dpkg-deb --field ${deb} Architecture Multi-Arch Section)
  expect("fields of ${deb}" "${fields}" "Architecture: ${arch}\nMulti-Arch: same\nSection: lib")
endforeach()

# The runtime package: the library under its SONAME, and what it links.
capture(depends dpkg-deb --field ${runtime_deb} Depends)
expect("${runtime_package} depends" "${depends}" "libc6 \\(>= [0-9.]+\\)")
expect("${runtime_package} depends" "${depends}" "libstdc\\+\\+6 \\(>= [0-9.]+\\)")
capture(runtime_files dpkg-deb --contents ${runtime_deb})
set(libdir usr/lib/${multiarch})
expect("${runtime_package} contents" "${runtime_files}"
       " ./${libdir}/libvelkorthread.so.${SOVERSION} -> libvelkorthread.so.${VERSION}(\n|$)")
expect("${runtime_package} contents" "${runtime_files}" " ./${libdir}/libvelkorthread.so.${VERSION}(\n|$)")
expect("${runtime_package} contents" "${runtime_files}" " ./usr/share/doc/${runtime_package}/copyright(\n|$)")
if(runtime_files MATCHES "include/|\\.so ->|pkgconfig|cmake/")
  message(FATAL_ERROR "${runtime_package} holds development files:\n${runtime_files}")
endif()

# The development package: exactly what building needs, bound to the runtime
# package of the same version. Its headers are in a folder of their own.
capture(depends dpkg-deb --field ${dev_deb} Depends)
expect("${dev_package} depends" "${depends}" "^${runtime_package} \\(= ${VERSION}-1\\)$")
capture(dev_files dpkg-deb --contents ${dev_deb})
foreach(path IN ITEMS usr/include/velkorthread/jmutex.h usr/include/velkorthread/jthread.h
        usr/include/velkorthread/velkorsched.h
        "${libdir}/libvelkorthread.so -> libvelkorthread.so.${SOVERSION}"
        ${libdir}/cmake/velkorthread/velkorthreadConfig.cmake ${libdir}/pkgconfig/velkorthread.pc)
  string(REPLACE "+" "\\+" pattern " ./${path}(\n|$)")
  expect("${dev_package} contents" "${dev_files}" "${pattern}")
endforeach()
if(dev_files MATCHES "(^|\n)-[^\n]*\\.so\\.")
  message(FATAL_ERROR "${dev_package} holds the runtime library:\n${dev_files}")
endif()
if(dev_files MATCHES " ./usr/include/[^/\n]+(\n|$)")
  message(FATAL_ERROR "${dev_package} puts files straight into /usr/include:\n${dev_files}")
endif()

run_step(dpkg-deb --extract ${runtime_deb} ${root})
run_step(dpkg-deb --extract ${dev_deb} ${root})

# The licence, read back from each package: the copyright file in Debian's
# machine-readable format, every file under the MIT ("Expat") licence, whose
# text is that of LICENSE.
file(READ ${LICENSE} licence)
string(REGEX REPLACE "^.*\n(Permission is hereby granted)" "\\1" licence_text "${licence}")
string(REGEX REPLACE "\n+$" "" licence_text "${licence_text}")
string(REGEX MATCH "Copyright \\(c\\) ([0-9]+) ([^\n]+)" licence_notice "${licence}")
set(copyright_line "Copyright: ${CMAKE_MATCH_1} ${CMAKE_MATCH_2}")
foreach(package IN ITEMS ${runtime_package} ${dev_package})
  set(copyright_file ${root}/usr/share/doc/${package}/copyright)
  file(READ ${copyright_file} copyright)
  string(REGEX REPLACE "\n+$" "" copyright "${copyright}")
  expect("${package} copyright" "${copyright}"
         "^Format: https://www\\.debian\\.org/doc/packaging-manuals/copyright-format/1\\.0/\n")
  expect("${package} copyright" "${copyright}"
         "\nFiles: \\*\n${copyright_line}\nLicense: Expat\n")
  if(NOT copyright MATCHES "\n\nLicense: Expat\n(.*)$")
    message(FATAL_ERROR "${copyright_file} has no text for the Expat licence")
  endif()
  # The text of a licence paragraph: each line indented by one space, an
  # empty line written as " .".
  string(REGEX REPLACE "\n\n.*$" "" text "${CMAKE_MATCH_1}")
  string(REGEX REPLACE "(^|\n) \\.(\n|$)" "\\1\\2" text "${text}")
  string(REGEX REPLACE "(^|\n) " "\\1" text "${text}")
  if(NOT text STREQUAL licence_text)
    message(FATAL_ERROR "${copyright_file}: the Expat text differs from ${LICENSE}:\n${text}")
  endif()
endforeach()
message(STATUS "both packages: ${copyright_line}, License: Expat (the text of LICENSE)")
capture(dynamic readelf --dynamic ${root}/${libdir}/libvelkorthread.so.${VERSION})
expect("SONAME" "${dynamic}" "\\(SONAME\\)[^\n]*\\[libvelkorthread\\.so\\.${SOVERSION}\\]")

# The clients must load the library from the throwaway root.
set(run_env ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${root}/${libdir})
function(run_client client)
  if(TOOLCHAIN)
    return()
  endif()
  capture(loaded ${run_env} ldd ${client})
  expect("libraries of ${client}" "${loaded}" "libvelkorthread\\.so\\.${SOVERSION} => ${root}/")
  run_step(${run_env} ${client})
endfunction()

set(client_toolchain "")
set(compiler c++)
if(TOOLCHAIN)
  set(client_toolchain -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN})
  set(compiler ${CXX})
endif()
run_step(${CMAKE_COMMAND} -S ${CLIENT_SOURCE} -B ${WORK_DIR}/client -G ${GENERATOR}
         -DCMAKE_PREFIX_PATH=${root}/usr -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF ${client_toolchain})
run_step(${CMAKE_COMMAND} --build ${WORK_DIR}/client)
run_client(${WORK_DIR}/client/package_client)

# pkg-config: plain paths from the prefix /usr, the headers' own folder.
set(pkg_config_env ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${root}/${libdir}/pkgconfig
    PKG_CONFIG_LIBDIR=${root}/${libdir}/pkgconfig)
capture(cflags ${pkg_config_env} pkg-config --cflags velkorthread)
if(NOT cflags STREQUAL "-I/usr/include/velkorthread")
  message(FATAL_ERROR "pkg-config --cflags gives '${cflags}'; expected -I/usr/include/velkorthread")
endif()
foreach(variable IN ITEMS prefix libdir includedir)
  capture(value ${pkg_config_env} pkg-config --variable=${variable} velkorthread)
  if(value MATCHES "/\\.\\.?(/|$)" OR NOT value MATCHES "^/usr(/|$)")
    message(FATAL_ERROR "pkg-config: ${variable} is '${value}', not a plain path in /usr")
  endif()
endforeach()
# The client is built against the throwaway root, which pkg-config puts in
# front of every path it gives.
capture(flags ${pkg_config_env} PKG_CONFIG_SYSROOT_DIR=${root}
        pkg-config --cflags --libs velkorthread)
separate_arguments(flags UNIX_COMMAND "${flags}")
list(FIND flags "-I${root}/usr/include/velkorthread" include_flag)
if(include_flag EQUAL -1)
  message(FATAL_ERROR "pkg-config does not give the headers in ${root}/usr/include/velkorthread: ${flags}")
endif()
run_step(${compiler} ${CLIENT_SOURCE}/main.cpp ${flags} -o ${WORK_DIR}/pkg_config_client)
run_client(${WORK_DIR}/pkg_config_client)

find_program(LINTIAN lintian REQUIRED)
run_step(${LINTIAN} --info --pedantic --fail-on error,warning ${runtime_deb} ${dev_deb})
if(TOOLCHAIN)
  file(REMOVE_RECURSE ${STAGE_DIR})
  file(COPY ${runtime_deb} ${dev_deb} ${WORK_DIR}/client/package_client ${WORK_DIR}/pkg_config_client
       DESTINATION ${STAGE_DIR})
  file(COPY_FILE ${CMAKE_CURRENT_LIST_DIR}/debian_packages_in_guest.sh ${STAGE_DIR}/in_guest.sh)
  file(WRITE ${STAGE_DIR}/multiarch "${multiarch}\n")
  message(STATUS "${runtime_package} and ${dev_package} (${arch}): checked, clients built, "
                 "staged in ${STAGE_DIR} for the emulated machine")
  return()
endif()
message(STATUS "${runtime_package} and ${dev_package}: installed into ${root}, clients ran")
