# SPDX-License-Identifier: MIT
# Compares the names a built library exports with a checked-in list.
# -DLIBRARY=<dll or so> -DTOOL=<objdump for PE, nm for ELF> -DEXPECTED=<list>
# -DWINDOWS=<bool>
if(WINDOWS)
  execute_process(COMMAND ${TOOL} -p ${LIBRARY} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
  # Each exported name stands on a line "[ n] name" of the name pointer table.
  string(REGEX MATCHALL "\n[\t ]*\\[ *[0-9]+\\] [A-Za-z_?][^\n ]*" rows "${dump}")
  set(actual "")
  foreach(row IN LISTS rows)
    string(REGEX REPLACE "^\n[\t ]*\\[ *[0-9]+\\] " "" name "${row}")
    list(APPEND actual "${name}")
  endforeach()
else()
  execute_process(COMMAND ${TOOL} -D --defined-only ${LIBRARY} OUTPUT_VARIABLE dump
                  RESULT_VARIABLE failed)
  string(REGEX MATCHALL "[^\n]+" rows "${dump}")
  set(actual "")
  foreach(row IN LISTS rows)
    # "<address> <type> <name>"; versioned names carry "@..." which we keep.
    string(REGEX REPLACE "^[0-9a-fA-F]+ [A-Za-z] " "" name "${row}")
    list(APPEND actual "${name}")
  endforeach()
endif()
if(failed)
  message(FATAL_ERROR "could not read the exports of ${LIBRARY}")
endif()

file(STRINGS ${EXPECTED} expected REGEX "^[^#]")
list(SORT actual)
list(SORT expected)
if(NOT actual STREQUAL expected)
  set(missing ${expected})
  list(REMOVE_ITEM missing ${actual})
  set(extra ${actual})
  list(REMOVE_ITEM extra ${expected})
  message(FATAL_ERROR "exports differ from ${EXPECTED}\n  missing: ${missing}\n  extra: ${extra}")
endif()
list(LENGTH actual count)
message(STATUS "${count} exported names, exactly as listed")
