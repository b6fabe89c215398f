# SPDX-License-Identifier: MIT
# Strict warnings for the project's own targets (not for GoogleTest), in the
# spelling of the compiler family: cl and clang-cl, or GCC and clang.
function(velkor_strict_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  endif()
endfunction()

# MinGW executables carry their C and C++ runtimes inside. (Visual C++
# programs use the runtime DLLs their users install.)
function(velkor_windows_static_runtime target)
  if(WIN32 AND NOT MSVC)
    target_link_options(${target} PRIVATE -static)
  endif()
endfunction()
