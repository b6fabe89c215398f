# SPDX-License-Identifier: MIT
# Checks that a Windows DLL is in the expected PE format and depends on no
# DLL but the system's own (the C and C++ runtimes are linked in).
# -DLIBRARY=<dll> -DTOOL=<objdump> -DFORMAT=<pei-i386 | pei-x86-64 (GNU) | coff-arm64 (LLVM)>
execute_process(COMMAND ${TOOL} -p ${LIBRARY} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "could not read ${LIBRARY}")
endif()
if(NOT dump MATCHES "file format ${FORMAT}\n")
  message(FATAL_ERROR "${LIBRARY} is not in format ${FORMAT}")
endif()
if(NOT dump MATCHES "Characteristics [^\n]*\n([^\n]*\n)*[\t ]*DLL\n")
  message(FATAL_ERROR "${LIBRARY} is not marked as a DLL")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
string(REPLACE "DLL Name: " "" imports "${imports}")
list(SORT imports)
if(NOT imports STREQUAL "KERNEL32.dll;msvcrt.dll")
  message(FATAL_ERROR "${LIBRARY} imports ${imports}; expected KERNEL32.dll and msvcrt.dll only")
endif()
message(STATUS "${LIBRARY}: ${FORMAT} DLL importing ${imports}")
