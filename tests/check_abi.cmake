# SPDX-License-Identifier: MIT
# The binary interface of the Linux library, against the checked-in baseline
# made by libabigail's abidw from the 1.0 library.
#
#   -DMODE=check  compares LIBRARY with BASELINE (abidiff) and fails on any
#                 change: a symbol removed, added or changed in type, or a
#                 change of size or layout of JMutex or JThread, of a member's
#                 type or of the virtual table. Changes inside the library
#                 that no exported symbol reaches are not part of it.
#   -DMODE=write  writes BASELINE from LIBRARY (a deliberate ABI change).
#
# -DLIBRARY=<.so> -DBASELINE=<.abi> -DHEADERS=<include dir> -DSOURCE_DIR=<tree>
# -DWORK_DIR=<scratch> -DABIDW=<abidw> -DABIDIFF=<abidiff>
foreach(tool IN ITEMS ABIDW ABIDIFF)
  if(NOT ${tool})
    message(FATAL_ERROR "libabigail's tools are missing (Debian: abigail-tools)")
  endif()
endforeach()
file(MAKE_DIRECTORY ${WORK_DIR})
set(current ${WORK_DIR}/current.abi)

# What is recorded: the ELF symbols and the types of the public headers they
# reach; not where the sources were, not the libraries this one needs.
execute_process(
  COMMAND ${ABIDW} --headers-dir ${HEADERS} --drop-private-types --drop-undefined-syms
          --no-corpus-path --no-comp-dir-path --no-show-locs --no-elf-needed
          --no-parameter-names --type-id-style hash --out-file ${current} ${LIBRARY}
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "abidw could not read ${LIBRARY}")
endif()
# Source paths relative to the tree, so that a baseline made in any checkout
# reads the same.
file(READ ${current} abi)
string(REPLACE "path='${SOURCE_DIR}/" "path='" abi "${abi}")
file(WRITE ${current} "${abi}")

if(MODE STREQUAL "write")
  file(COPY_FILE ${current} ${BASELINE})
  message(STATUS "wrote ${BASELINE}")
  return()
endif()

if(NOT EXISTS ${BASELINE})
  message(FATAL_ERROR "no ABI baseline ${BASELINE}: a new SONAME needs a new baseline "
                      "(cmake --build <dir> --target abi_baseline)")
endif()
execute_process(COMMAND ${ABIDIFF} --harmless ${BASELINE} ${current}
                OUTPUT_VARIABLE report RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the ABI differs from ${BASELINE} (abidiff status ${status}):\n${report}")
endif()
message(STATUS "ABI as in ${BASELINE}")
