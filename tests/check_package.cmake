# SPDX-License-Identifier: MIT
# Installs the library from BUILD_DIR into a fresh prefix (or takes the
# installed tree PREFIX, an unpacked archive), then configures, builds and (if
# RUN) runs the client in CLIENT_SOURCE against that prefix. A client that
# cannot run here is copied into STAGE_DIR (if given), for a later run
# elsewhere (the emulated 32-bit machine). The tree must hold the headers in
# include/velkorthread and, if LICENSE is given, that licence in
# share/doc/velkorthread.
file(REMOVE_RECURSE ${WORK_DIR})
if(PREFIX)
  set(prefix ${PREFIX})
else()
  set(prefix ${WORK_DIR}/prefix)
endif()

include(${CMAKE_CURRENT_LIST_DIR}/check_steps.cmake)

if(NOT PREFIX)
  run_step(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
endif()

# The headers in a folder of their own, none straight in include/.
foreach(header IN ITEMS jmutex.h jthread.h)
  if(NOT EXISTS ${prefix}/include/velkorthread/${header})
    message(FATAL_ERROR "${prefix} lacks include/velkorthread/${header}")
  endif()
endforeach()
file(GLOB stray ${prefix}/include/*.h)
if(stray)
  message(FATAL_ERROR "headers straight in ${prefix}/include: ${stray}")
endif()
if(LICENSE)
  set(installed_licence ${prefix}/share/doc/velkorthread/LICENSE)
  if(NOT EXISTS ${installed_licence})
    message(FATAL_ERROR "${prefix} lacks share/doc/velkorthread/LICENSE")
  endif()
  file(READ ${LICENSE} expected)
  file(READ ${installed_licence} actual)
  if(NOT actual STREQUAL expected)
    message(FATAL_ERROR "${installed_licence} is not ${LICENSE}")
  endif()
  message(STATUS "${installed_licence}: the licence")
endif()
set(configure ${CMAKE_COMMAND} -S ${CLIENT_SOURCE} -B ${WORK_DIR}/build -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix})
if(TOOLCHAIN)
  list(APPEND configure -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN})
endif()
run_step(${configure})
run_step(${CMAKE_COMMAND} --build ${WORK_DIR}/build)

file(GLOB client ${WORK_DIR}/build/package_client ${WORK_DIR}/build/package_client.exe)
if(NOT RUN AND STAGE_DIR)
  file(COPY ${client} DESTINATION ${STAGE_DIR})
endif()

if(RUN)
  if(EXISTS ${prefix}/bin/velkorthread.dll)
    # Windows finds the DLL beside the program.
    file(COPY ${prefix}/bin/velkorthread.dll DESTINATION ${WORK_DIR}/build)
  endif()
  run_step(${EMULATOR} ${client})
endif()

# Natively, the pkg-config file must be enough to build and run the client.
if(NOT TOOLCHAIN)
  file(GLOB pc_dir ${prefix}/lib*/pkgconfig ${prefix}/lib/*/pkgconfig)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pc_dir}
                          pkg-config --cflags --libs velkorthread
                  OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "pkg-config does not know velkorthread")
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags}")
  # Plain paths, from the prefix the tree was installed into.
  list(FIND flags "-I${prefix}/include/velkorthread" include_flag)
  if(include_flag EQUAL -1)
    message(FATAL_ERROR "pkg-config gives '${flags}'; expected -I${prefix}/include/velkorthread")
  endif()
  run_step(c++ ${CLIENT_SOURCE}/main.cpp ${flags} -o ${WORK_DIR}/pkg_config_client)
  get_filename_component(lib_dir ${pc_dir} DIRECTORY)
  run_step(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${lib_dir} ${WORK_DIR}/pkg_config_client)
endif()
