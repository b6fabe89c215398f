# SPDX-License-Identifier: MIT
# 32-bit Windows in the Visual C++ ABI, built with clang-cl and lld-link.
set(VELKOR_MSVC_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/clang-msvc-common.cmake)
