# SPDX-License-Identifier: MIT
# Configures, builds and runs the client in CLIENT_SOURCE, which takes the
# velkorthread tree SOURCE_DIR into its own build (TAKES: FetchContent or
# add_subdirectory) with GoogleTest and Google Benchmark hidden from it: the
# library must need neither, and nothing of velkorthread's but the library may
# be compiled. TOOLCHAIN, GENERATOR and EMULATOR as for check_package.cmake.
file(REMOVE_RECURSE ${WORK_DIR})
include(${CMAKE_CURRENT_LIST_DIR}/check_steps.cmake)

set(configure ${CMAKE_COMMAND} -S ${CLIENT_SOURCE} -B ${WORK_DIR} -G ${GENERATOR} --no-warn-unused-cli
    -DCLIENT_VELKORTHREAD_SOURCE=${SOURCE_DIR} -DCLIENT_TAKES=${TAKES}
    -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON)
if(TOOLCHAIN)
  list(APPEND configure -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN})
endif()
run_step(${configure})
run_step(${CMAKE_COMMAND} --build ${WORK_DIR})

# Each object file lies in the folder of the target it was compiled for,
# CMakeFiles/<target>.dir.
file(GLOB_RECURSE objects ${WORK_DIR}/*.o ${WORK_DIR}/*.obj)
set(targets "")
foreach(object IN LISTS objects)
  if(NOT object MATCHES "/CMakeFiles/([^/]+)\\.dir/")
    message(FATAL_ERROR "an object file outside any target's folder: ${object}")
  endif()
  list(APPEND targets ${CMAKE_MATCH_1})
endforeach()
list(REMOVE_DUPLICATES targets)
list(SORT targets)
list(LENGTH objects count)
if(NOT targets STREQUAL "subproject_client;velkorthread")
  message(FATAL_ERROR "${count} objects compiled for the targets ${targets}; "
                      "expected only subproject_client and velkorthread")
endif()
message(STATUS "${count} objects, all of subproject_client and velkorthread")

# As the client's project leaves it: on Windows the DLL must already lie
# beside the program.
file(GLOB client ${WORK_DIR}/subproject_client ${WORK_DIR}/subproject_client.exe)
run_step(${EMULATOR} ${client})
