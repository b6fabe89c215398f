# SPDX-License-Identifier: MIT
# Every source, header, script and CMake file of ours says its licence on its
# first line, or on its second after a script's "#!" line:
#   // SPDX-License-Identifier: MIT       (C++, resource scripts)
#   # SPDX-License-Identifier: MIT        (CMake, shell)
# Data files (export lists, the ABI baseline, Markdown, JSON, the Debian
# control files, templates of generated data such as the .pc and Doxyfile)
# need none. Fails, naming them, on the files that lack it.
# -DSOURCE_DIR=<top of the sources> [-DGIT=<git>: list the files git knows of,
# tracked or new but not ignored; without git, every file outside build/]
if(GIT AND EXISTS ${SOURCE_DIR}/.git)
  execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} ls-files --cached --others --exclude-standard
                  OUTPUT_VARIABLE listing RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "git ls-files failed in ${SOURCE_DIR}")
  endif()
  string(REGEX MATCHALL "[^\n]+" files "${listing}")
else()
  file(GLOB_RECURSE files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*)
  list(FILTER files EXCLUDE REGEX "^(build|\\.git)/")
endif()
list(REMOVE_DUPLICATES files)
list(SORT files)

set(checked 0)
set(lacking "")
foreach(file IN LISTS files)
  set(path ${SOURCE_DIR}/${file})
  if(NOT EXISTS ${path} OR IS_DIRECTORY ${path} OR IS_SYMLINK ${path})
    continue()  # removed from the work tree, not yet from git's index
  endif()
  get_filename_component(name ${file} NAME)
  file(READ ${path} head LIMIT 512)
  if(name STREQUAL "CMakeLists.txt"
     OR name MATCHES "\\.(c|cc|cpp|cxx|h|hh|hpp|inl|cmake|sh|bash|py|rc)$"
     OR name MATCHES "\\.(c|cc|cpp|h|hpp|cmake|rc)\\.in$"
     # The stand-ins for standard headers: C++ headers without an extension.
     OR file MATCHES "(^|/)include/[^./]+$"
     # A script of any name.
     OR head MATCHES "^#!")
    math(EXPR checked "${checked} + 1")
    string(REGEX REPLACE "^#![^\n]*\n" "" head "${head}")
    string(REGEX MATCH "^[^\n]*" first_line "${head}")
    if(NOT first_line MATCHES "^(//|#) SPDX-License-Identifier: MIT\r?$")
      list(APPEND lacking ${file})
    endif()
  endif()
endforeach()

list(LENGTH lacking count)
if(count)
  string(REPLACE ";" "\n  " listing "${lacking}")
  message(FATAL_ERROR "${count} file(s) of ours lack the line SPDX-License-Identifier: MIT at "
          "the top (after a #! line):\n  ${listing}")
endif()
message(STATUS "${checked} files of ours begin with SPDX-License-Identifier: MIT")
