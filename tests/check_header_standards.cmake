# SPDX-License-Identifier: MIT
# Compiles a client of the public headers under each C++ standard, warnings
# as errors, and fails on the first standard that gives a diagnostic.
# -DCOMPILER=<path> -DSTYLE=<gnu | msvc> -DSTANDARDS=<comma-separated>
# -DSOURCE=<client> -DINCLUDE=<public headers>
# [-DEXTRA=<comma-separated flags, e.g. a --target>]
string(REPLACE "," ";" STANDARDS "${STANDARDS}")
string(REPLACE "," ";" EXTRA "${EXTRA}")
if(STYLE STREQUAL "msvc")
  set(flags /nologo /W4 /WX /Zs -I${INCLUDE})
  set(end_of_options --)  # clang-cl reads a path that starts with / as an option
else()
  set(flags -fsyntax-only -Wall -Wextra -pedantic -Werror -I${INCLUDE})
  set(end_of_options)
endif()
foreach(standard IN LISTS STANDARDS)
  if(STYLE STREQUAL "msvc" AND standard MATCHES "^c\\+\\+(98|03|11)$")
    set(std_flag /clang:-std=${standard})  # clang-cl: /std: starts at c++14
  elseif(STYLE STREQUAL "msvc")
    set(std_flag /std:${standard})
  else()
    set(std_flag -std=${standard})
  endif()
  execute_process(COMMAND ${COMPILER} ${EXTRA} ${flags} ${std_flag} ${end_of_options} ${SOURCE}
                  RESULT_VARIABLE failed OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(failed OR out MATCHES "warning")
    message(FATAL_ERROR "${COMPILER} ${EXTRA} ${std_flag}: the headers are not clean\n${out}")
  endif()
  message(STATUS "${std_flag} ${EXTRA}: clean")
endforeach()
