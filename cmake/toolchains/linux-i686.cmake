# SPDX-License-Identifier: MIT
# 32-bit x86 Linux (Debian i386), cross-compiled with Debian's GCC.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VELKOR_LINUX_TRIPLET i686-linux-gnu)
set(VELKOR_LINUX_MULTIARCH i386-linux-gnu)
set(VELKOR_DEBIAN_ARCHITECTURE i386)
include(${CMAKE_CURRENT_LIST_DIR}/linux-common.cmake)
