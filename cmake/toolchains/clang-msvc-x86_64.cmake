# SPDX-License-Identifier: MIT
# 64-bit Windows in the Visual C++ ABI, built with clang-cl and lld-link.
set(VELKOR_MSVC_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/clang-msvc-common.cmake)
