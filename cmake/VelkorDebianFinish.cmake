# SPDX-License-Identifier: MIT
# Runs in CPack after the Debian packages are made (CPACK_POST_BUILD_SCRIPTS)
# and finishes them as Debian's own tools would have made them, where CPack
# cannot:
#   - both packages are "Multi-Arch: same": they install only into the
#     multiarch folder (or identical headers), so the packages of two
#     architectures can be installed side by side;
#   - the runtime package has no postinst/postrm calling ldconfig (its
#     ldconfig trigger does that job), and its library has no .comment and
#     .note sections (dh_strip removes them), with md5sums that match.
find_program(DPKG_DEB dpkg-deb REQUIRED)
find_program(OBJCOPY NAMES ${CPACK_VELKOR_OBJCOPY} objcopy REQUIRED)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "failed: ${ARGN}")
  endif()
endfunction()

function(write_md5sums tree)
  file(GLOB_RECURSE files RELATIVE ${tree} ${tree}/usr/*)
  list(SORT files)
  set(md5sums "")
  foreach(file IN LISTS files)
    if(NOT IS_SYMLINK ${tree}/${file})
      file(MD5 ${tree}/${file} sum)
      string(APPEND md5sums "${sum}  ${file}\n")
    endif()
  endforeach()
  file(WRITE ${tree}/DEBIAN/md5sums "${md5sums}")
endfunction()

function(finish_runtime tree)
  file(REMOVE ${tree}/DEBIAN/postinst ${tree}/DEBIAN/postrm)
  file(GLOB_RECURSE libraries ${tree}/usr/lib/*.so.*)
  foreach(library IN LISTS libraries)
    if(NOT IS_SYMLINK ${library})
      run(${OBJCOPY} --remove-section=.comment --remove-section=.note ${library})
    endif()
  endforeach()
endfunction()

foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(name ${deb} NAME)
  set(tree ${CPACK_TOPLEVEL_DIRECTORY}/finish)
  file(REMOVE_RECURSE ${tree})
  run(${DPKG_DEB} --raw-extract ${deb} ${tree})

  file(READ ${tree}/DEBIAN/control control)
  string(REPLACE "\nPriority:" "\nMulti-Arch: same\nPriority:" control "${control}")
  file(WRITE ${tree}/DEBIAN/control "${control}")
  if(name MATCHES "^${CPACK_DEBIAN_RUNTIME_PACKAGE_NAME}_")
    finish_runtime(${tree})
  endif()
  write_md5sums(${tree})

  execute_process(COMMAND ${DPKG_DEB} --root-owner-group -Zxz --build ${tree} ${deb}
                  OUTPUT_QUIET RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "dpkg-deb could not rebuild ${name}")
  endif()
  file(REMOVE_RECURSE ${tree})
  message(STATUS "finished ${name}")
endforeach()
