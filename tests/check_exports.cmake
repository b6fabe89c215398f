# SPDX-License-Identifier: MIT
# Compares the names a built library exports with a checked-in list.
# -DLIBRARY=<dll or so> -DTOOL=<GNU or LLVM objdump for PE, nm for ELF> -DEXPECTED=<list>
# -DWINDOWS=<bool>
if(WINDOWS)
  execute_process(COMMAND ${TOOL} -p ${LIBRARY} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
  # GNU objdump: each exported name stands on a line "[ n] name" of the name
  # pointer table. LLVM's (Arm64): on a line "ordinal 0xRVA name" after
  # "Export Table:".
  if(dump MATCHES "\nExport Table:\n")
    string(REGEX REPLACE ".*\nExport Table:\n" "" dump "${dump}")
    set(row_pattern "\n[\t ]*[0-9]+[\t ]+0x[0-9a-f]+[\t ]+")
  else()
    set(row_pattern "\n[\t ]*\\[ *[0-9]+\\] ")
  endif()
  string(REGEX MATCHALL "${row_pattern}[A-Za-z_?][^\n ]*" rows "${dump}")
  set(actual "")
  foreach(row IN LISTS rows)
    string(REGEX REPLACE "^${row_pattern}" "" name "${row}")
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
