# Strict warnings for the project's own targets (not for GoogleTest).
function(velkor_strict_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# Executables for Windows carry their C and C++ runtimes inside.
function(velkor_windows_static_runtime target)
  if(WIN32)
    target_link_options(${target} PRIVATE -static)
  endif()
endfunction()
