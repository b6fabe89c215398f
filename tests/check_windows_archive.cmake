# SPDX-License-Identifier: MIT
cmake_minimum_required(VERSION 3.20)
# Makes the Windows archive of BUILD_DIR with CPack, checks its name and what
# it holds, then hands the unpacked folder to check_package.cmake, which
# builds (and where it can, runs) the client against it.
# -DCPACK=<cpack> -DBUILD_DIR=<build> -DWORK_DIR=<scratch> -DARCHIVE=<name without .zip>
# -DIMPORT_LIBRARY=<file name> -DCLIENT=<ON: build the client>, for the
# version resource the variables of check_version_resource.cmake, and for the
# client those of check_package.cmake.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
include(${CMAKE_CURRENT_LIST_DIR}/check_steps.cmake)
make_packages()
file(GLOB made RELATIVE ${WORK_DIR}/packages ${WORK_DIR}/packages/*.zip)
if(NOT made STREQUAL "${ARCHIVE}.zip")
  message(FATAL_ERROR "cpack made '${made}'; expected ${ARCHIVE}.zip")
endif()

set(unpacked ${WORK_DIR}/unpacked)
file(MAKE_DIRECTORY ${unpacked})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${WORK_DIR}/packages/${ARCHIVE}.zip
                WORKING_DIRECTORY ${unpacked} RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "could not unpack ${ARCHIVE}.zip")
endif()

# One top folder named as the archive, holding exactly what a user needs.
set(top ${unpacked}/${ARCHIVE})
file(GLOB_RECURSE files RELATIVE ${top} ${top}/*)
list(SORT files)
set(required bin/velkorthread.dll lib/${IMPORT_LIBRARY} include/jmutex.h include/jthread.h
             lib/cmake/velkorthread/velkorthreadConfig.cmake
             lib/cmake/velkorthread/velkorthreadConfigVersion.cmake
             lib/cmake/velkorthread/velkorthreadTargets.cmake)
foreach(file IN LISTS required)
  if(NOT file IN_LIST files)
    string(REPLACE ";" "\n  " listing "${files}")
    message(FATAL_ERROR "${ARCHIVE}.zip lacks ${file}; it holds\n  ${listing}")
  endif()
endforeach()
set(unexpected ${files})
list(FILTER unexpected INCLUDE REGEX "\\.(exe|pdb)$|^bin/.*\\.dll$")
list(REMOVE_ITEM unexpected bin/velkorthread.dll)
if(unexpected)
  message(FATAL_ERROR "${ARCHIVE}.zip holds programs or DLLs besides the library: ${unexpected}")
endif()
message(STATUS "${ARCHIVE}.zip: ${files}")

# The DLL as shipped (stripped) still carries its version resource.
set(LIBRARY ${top}/bin/velkorthread.dll)
include(${CMAKE_CURRENT_LIST_DIR}/check_version_resource.cmake)

if(CLIENT)
  set(PREFIX ${top})
  set(WORK_DIR ${WORK_DIR}/client)
  include(${CMAKE_CURRENT_LIST_DIR}/check_package.cmake)
endif()
