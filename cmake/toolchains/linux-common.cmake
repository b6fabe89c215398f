# SPDX-License-Identifier: MIT
# Shared by the Linux cross toolchain files: Debian's cross compilers, and the
# target's libraries (Google Benchmark) from the multiarch folders of its
# foreign-architecture packages.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${VELKOR_LINUX_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VELKOR_LINUX_TRIPLET}-g++)
# The multiarch folder: where find_package looks for the target's packages
# and where the install and the Debian packages put the library.
set(CMAKE_LIBRARY_ARCHITECTURE ${VELKOR_LINUX_MULTIARCH})

set(CMAKE_FIND_ROOT_PATH /usr/${VELKOR_LINUX_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
