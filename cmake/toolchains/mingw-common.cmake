# SPDX-License-Identifier: MIT
# Shared by the MinGW-w64 toolchain files. The posix-threads flavour of the
# compiler is the one whose C++ runtime has std::thread, which the tests use.
set(CMAKE_C_COMPILER ${VELKOR_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELKOR_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VELKOR_MINGW_TRIPLET}-windres)
set(CMAKE_OBJDUMP ${VELKOR_MINGW_TRIPLET}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${VELKOR_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
