# SPDX-License-Identifier: MIT
# Windows on Arm64 in the Visual C++ ABI, built with clang-cl and lld-link.
set(VELKOR_MSVC_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/clang-msvc-common.cmake)
