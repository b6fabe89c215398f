# SPDX-License-Identifier: MIT
# Names the C++ ABI and the architecture of a Windows build, for file names a
# user can tell apart: VELKOR_WINDOWS_ABI is "msvc" for compilers in the
# Visual C++ ABI (cl, clang-cl, clang --target=*-windows-msvc) and "gnu" for
# MinGW; VELKOR_WINDOWS_ARCH is "i686" or "x86_64". VELKOR_FILE_DESCRIPTION
# is the DLL's description in its version resource, VELKOR_WINDOWS_ARCHIVE the
# name of the build's .zip (without the extension).
if(MSVC OR CMAKE_CXX_SIMULATE_ID STREQUAL "MSVC")
  set(VELKOR_WINDOWS_ABI msvc)
else()
  set(VELKOR_WINDOWS_ABI gnu)
endif()
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(VELKOR_WINDOWS_ARCH x86_64)
else()
  set(VELKOR_WINDOWS_ARCH i686)
endif()
set(VELKOR_FILE_DESCRIPTION
    "velkorthread: recursive mutexes and killable threads (${VELKOR_WINDOWS_ABI} ABI, ${VELKOR_WINDOWS_ARCH})")
set(VELKOR_WINDOWS_ARCHIVE
    velkorthread-${PROJECT_VERSION}-windows-${VELKOR_WINDOWS_ABI}-${VELKOR_WINDOWS_ARCH})
