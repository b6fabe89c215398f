# SPDX-License-Identifier: MIT
# Names the C++ ABI and the architecture of a Windows build, for file names a
# user can tell apart: VELKOR_WINDOWS_ABI is "msvc" for compilers in the
# Visual C++ ABI (cl, clang-cl, clang --target=*-windows-msvc) and "gnu" for
# MinGW; VELKOR_WINDOWS_ARCH is "i686", "x86_64" or "arm64" (Windows on Arm's
# own name for its processor). VELKOR_FILE_DESCRIPTION
# is the DLL's description in its version resource, VELKOR_WINDOWS_ARCHIVE the
# name of the build's .zip (without the extension).
if(MSVC OR CMAKE_CXX_SIMULATE_ID STREQUAL "MSVC")
  set(VELKOR_WINDOWS_ABI msvc)
else()
  set(VELKOR_WINDOWS_ABI gnu)
endif()
# Visual Studio and clang-cl report the processor the compiler targets as
# ARM64; a cross toolchain names it in CMAKE_SYSTEM_PROCESSOR.
if(CMAKE_CXX_COMPILER_ARCHITECTURE_ID STREQUAL "ARM64"
   OR CMAKE_SYSTEM_PROCESSOR MATCHES "^(ARM64|arm64|aarch64)$")
  set(VELKOR_WINDOWS_ARCH arm64)
elseif(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(VELKOR_WINDOWS_ARCH x86_64)
else()
  set(VELKOR_WINDOWS_ARCH i686)
endif()
set(VELKOR_FILE_DESCRIPTION
    "velkorthread: recursive mutexes and killable threads (${VELKOR_WINDOWS_ABI} ABI, ${VELKOR_WINDOWS_ARCH})")
set(VELKOR_WINDOWS_ARCHIVE
    velkorthread-${PROJECT_VERSION}-windows-${VELKOR_WINDOWS_ABI}-${VELKOR_WINDOWS_ARCH})
