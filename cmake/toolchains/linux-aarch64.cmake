# SPDX-License-Identifier: MIT
# 64-bit Arm Linux (Debian arm64), cross-compiled with Debian's GCC.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VELKOR_LINUX_TRIPLET aarch64-linux-gnu)
set(VELKOR_LINUX_MULTIARCH aarch64-linux-gnu)
set(VELKOR_DEBIAN_ARCHITECTURE arm64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-common.cmake)
