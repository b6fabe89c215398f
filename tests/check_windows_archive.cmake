# SPDX-License-Identifier: MIT
cmake_minimum_required(VERSION 3.20)
# Makes the Windows archive of BUILD_DIR with CPack, checks its name and what
# it holds, then hands the unpacked folder to check_package.cmake, which
# builds (and where it can, runs) the client against it.
# -DCPACK=<cpack> -DBUILD_DIR=<build> -DWORK_DIR=<scratch> -DARCHIVE=<name without .zip>
# -DIMPORT_LIBRARY=<file name> -DCLIENT=<ON: build the client>
# -DLICENSE=<the LICENSE file> -DABI=<gnu|msvc> -DARCH=<i686|x86_64>, for the
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
set(required bin/velkorthread.dll lib/${IMPORT_LIBRARY} include/velkorthread/jmutex.h
             include/velkorthread/jthread.h LICENSE README.txt share/doc/velkorthread/LICENSE
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
set(unexpected ${files})
list(FILTER unexpected INCLUDE REGEX "^include/[^/]+$")
if(unexpected)
  message(FATAL_ERROR "${ARCHIVE}.zip holds headers outside include/velkorthread: ${unexpected}")
endif()
message(STATUS "${ARCHIVE}.zip: ${files}")

# The licence, at the top and in share/doc/velkorthread, as in LICENSE.
file(READ ${LICENSE} expected)
foreach(file IN ITEMS LICENSE share/doc/velkorthread/LICENSE)
  file(READ ${top}/${file} actual)
  if(NOT actual STREQUAL expected)
    message(FATAL_ERROR "${ARCHIVE}.zip: ${file} is not ${LICENSE}")
  endif()
endforeach()
# README.txt, in Windows line endings: what is inside, the compiler ABI and
# the architecture it is for, where the documentation and the licence are.
# (file(READ) drops the CRs: count them in the bytes. The text is ASCII, so
# "0a" and "0d0a" are found only at byte boundaries.)
file(READ ${top}/README.txt readme_bytes HEX)
string(REGEX MATCHALL "0a" line_ends "${readme_bytes}")
string(REGEX MATCHALL "0d0a" crlf_ends "${readme_bytes}")
list(LENGTH line_ends lines)
list(LENGTH crlf_ends crlf_lines)
if(NOT lines EQUAL crlf_lines OR NOT readme_bytes MATCHES "0d0a$")
  message(FATAL_ERROR "${ARCHIVE}.zip: README.txt has lines that do not end in CR LF")
endif()
file(READ ${top}/README.txt readme)
string(REPLACE "\r" "" readme "${readme}")
if(ABI STREQUAL "msvc")
  set(compilers "Visual C\\+\\+")
else()
  set(compilers "MinGW-w64 g\\+\\+")
endif()
string(REPLACE "." "\\." version_pattern "${VERSION}")
foreach(pattern IN ITEMS "^velkorthread ${version_pattern} for Windows: ${ABI} ABI, ${ARCH}\n"
        "\nWhich compiler[^\n]*\n-+\n[^\n]*${compilers}"
        "\n  bin/velkorthread\\.dll " "\n  lib/${IMPORT_LIBRARY} " "\n  include/velkorthread/ "
        "\n  LICENSE +the licence \\(the MIT License\\)" "\nDocumentation\n"
        "#include <jthread\\.h>")
  if(NOT readme MATCHES "${pattern}")
    message(FATAL_ERROR "${ARCHIVE}.zip: README.txt does not match '${pattern}':\n${readme}")
  endif()
endforeach()
message(STATUS "${ARCHIVE}.zip: LICENSE, share/doc/velkorthread/LICENSE and README.txt")

# The DLL as shipped (stripped) still carries its version resource.
set(LIBRARY ${top}/bin/velkorthread.dll)
include(${CMAKE_CURRENT_LIST_DIR}/check_version_resource.cmake)

if(CLIENT)
  set(PREFIX ${top})
  set(WORK_DIR ${WORK_DIR}/client)
  include(${CMAKE_CURRENT_LIST_DIR}/check_package.cmake)
endif()
