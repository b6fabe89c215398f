# SPDX-License-Identifier: MIT
# Shared by the clang-msvc toolchain files: Windows binaries in the Visual C++
# ABI, built on Debian with clang in its cl-compatible mode (clang-cl) and
# lld-link, as a stand-in for Visual C++. There is no Windows SDK and no C++
# standard library here:
#   - Windows and C runtime headers are Wine's (libwine-dev);
#   - import libraries for KERNEL32.dll and the system msvcrt.dll are made
#     from the .def files beside this file with llvm-dlltool;
#   - clang-msvc/include has the few C++ headers the sources and tests use;
#   - clang-msvc/startup*.cpp are the entry points and operator new.
# Everything is linked with /NODEFAULTLIB, so nothing from a Visual C++
# runtime can slip in. Set VELKOR_MSVC_ARCH (i686, x86_64 or arm64) first.
set(CMAKE_SYSTEM_NAME Windows)
# Windows on Arm64 names its processor ARM64, as CMake does there.
if(VELKOR_MSVC_ARCH STREQUAL "arm64")
  set(CMAKE_SYSTEM_PROCESSOR ARM64)
else()
  set(CMAKE_SYSTEM_PROCESSOR ${VELKOR_MSVC_ARCH})
endif()
set(VELKOR_LLVM_BIN /usr/lib/llvm-16/bin)
set(VELKOR_MSVC_KIT ${CMAKE_CURRENT_LIST_DIR}/clang-msvc)
set(VELKOR_WINE_INCLUDE /usr/include/wine/wine)
if(VELKOR_MSVC_ARCH STREQUAL "i686")
  set(VELKOR_MSVC_TARGET i686-pc-windows-msvc)
  set(VELKOR_DLLTOOL_MACHINE i386)
elseif(VELKOR_MSVC_ARCH STREQUAL "arm64")
  set(VELKOR_MSVC_TARGET aarch64-pc-windows-msvc)
  set(VELKOR_DLLTOOL_MACHINE arm64)
else()
  set(VELKOR_MSVC_TARGET x86_64-pc-windows-msvc)
  set(VELKOR_DLLTOOL_MACHINE i386:x86-64)
endif()

# Generated once per build tree, and handed on to CMake's own test projects.
if(NOT VELKOR_MSVC_SDK_DIR)
  set(VELKOR_MSVC_SDK_DIR ${CMAKE_BINARY_DIR}/msvc-sdk)
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELKOR_MSVC_SDK_DIR)
set(sdk ${VELKOR_MSVC_SDK_DIR})

function(velkor_msvc_run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "clang-msvc toolchain: failed: ${ARGN}")
  endif()
endfunction()

# Made again whenever a file of the kit changes.
file(GLOB kit_files ${VELKOR_MSVC_KIT}/*.def* ${VELKOR_MSVC_KIT}/*.cpp)
set(kit_hashes "${VELKOR_MSVC_ARCH}")
foreach(kit_file IN LISTS kit_files)
  file(SHA256 ${kit_file} kit_hash)
  string(APPEND kit_hashes " ${kit_hash}")
endforeach()
if(EXISTS ${sdk}/stamp)
  file(READ ${sdk}/stamp previous_hashes)
else()
  set(previous_hashes "")
endif()
if(NOT previous_hashes STREQUAL kit_hashes)
  file(REMOVE_RECURSE ${sdk})
endif()

# Debian ships no clang-cl command; clang picks its cl mode from its name.
if(NOT EXISTS ${sdk}/clang-cl)
  file(MAKE_DIRECTORY ${sdk})
  file(CREATE_LINK ${VELKOR_LLVM_BIN}/clang ${sdk}/clang-cl SYMBOLIC)
endif()

if(NOT EXISTS ${sdk}/kernel32.lib)
  file(READ ${VELKOR_MSVC_KIT}/kernel32.def.in kernel32_def)
  if(NOT VELKOR_MSVC_ARCH STREQUAL "i686")
    string(REGEX REPLACE "@[0-9]+" "" kernel32_def "${kernel32_def}")
  endif()
  file(WRITE ${sdk}/kernel32.def "${kernel32_def}")
  # -k: the 32-bit KERNEL32 exports its __stdcall functions without the @N.
  velkor_msvc_run(${VELKOR_LLVM_BIN}/llvm-dlltool -m ${VELKOR_DLLTOOL_MACHINE} -k
                  -d ${sdk}/kernel32.def -l ${sdk}/kernel32.lib)
  velkor_msvc_run(${VELKOR_LLVM_BIN}/llvm-dlltool -m ${VELKOR_DLLTOOL_MACHINE}
                  -d ${VELKOR_MSVC_KIT}/msvcrt.def -l ${sdk}/msvcrt.lib)
endif()

set(VELKOR_MSVC_COMPILE_FLAGS
    "--target=${VELKOR_MSVC_TARGET} /GS- /imsvc ${VELKOR_MSVC_KIT}/include /imsvc ${VELKOR_WINE_INCLUDE}/msvcrt /imsvc ${VELKOR_WINE_INCLUDE}/windows")
# Wine's C runtime headers describe the system msvcrt.dll, not the UCRT.
string(APPEND VELKOR_MSVC_COMPILE_FLAGS " -D_MSVCR_VER=0")
# Wine's winnt.h defines fallbacks under the names of compiler intrinsics
# that clang treats as builtins; renamed, they are harmless and unused.
foreach(name IN ITEMS _InterlockedAnd64 _InterlockedCompareExchangePointer _InterlockedDecrement64
                      _InterlockedExchangeAdd64 _InterlockedExchangePointer _InterlockedIncrement64
                      _InterlockedOr64 _InterlockedXor64 _InterlockedCompareExchange128)
  string(APPEND VELKOR_MSVC_COMPILE_FLAGS " -D${name}=velkor_wine${name}")
endforeach()

if(NOT EXISTS ${sdk}/velkor_startup.lib)
  separate_arguments(startup_flags WINDOWS_COMMAND "${VELKOR_MSVC_COMPILE_FLAGS}")
  # One object per entry point: a DLL must not pull in the program's.
  foreach(part IN ITEMS startup startup_dll new_delete type_info)
    velkor_msvc_run(${sdk}/clang-cl ${startup_flags} /nologo /c /O2 /W4 /WX
                    /Fo${sdk}/${part}.obj -- ${VELKOR_MSVC_KIT}/${part}.cpp)
  endforeach()
  velkor_msvc_run(${VELKOR_LLVM_BIN}/llvm-lib /nologo /out:${sdk}/velkor_startup.lib
                  ${sdk}/startup.obj ${sdk}/startup_dll.obj ${sdk}/new_delete.obj
                  ${sdk}/type_info.obj)
endif()
file(WRITE ${sdk}/stamp "${kit_hashes}")

set(CMAKE_C_COMPILER ${sdk}/clang-cl)
set(CMAKE_CXX_COMPILER ${sdk}/clang-cl)
set(CMAKE_LINKER ${VELKOR_LLVM_BIN}/lld-link)
set(CMAKE_AR ${VELKOR_LLVM_BIN}/llvm-lib)
set(CMAKE_RC_COMPILER ${VELKOR_LLVM_BIN}/llvm-rc)
set(CMAKE_MT ${VELKOR_LLVM_BIN}/llvm-mt)
# For the export and format checks: GNU objdump reads the x86 PE files, but
# MinGW's binutils know no Arm64; LLVM's objdump reads those.
if(VELKOR_MSVC_ARCH STREQUAL "arm64")
  set(CMAKE_OBJDUMP ${VELKOR_LLVM_BIN}/llvm-objdump)
else()
  find_program(CMAKE_OBJDUMP NAMES x86_64-w64-mingw32-objdump i686-w64-mingw32-objdump REQUIRED)
endif()
# Without a runtime, CMake's test programs cannot link: compile them only.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# Resource scripts (version resources) find winver.h and friends in Wine's
# headers too.
set(CMAKE_RC_FLAGS_INIT "/I ${VELKOR_WINE_INCLUDE}/windows /I ${VELKOR_WINE_INCLUDE}/msvcrt")
set(CMAKE_C_FLAGS_INIT "${VELKOR_MSVC_COMPILE_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${VELKOR_MSVC_COMPILE_FLAGS}")
set(VELKOR_MSVC_LINK_FLAGS "/NODEFAULTLIB /LIBPATH:${sdk}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${VELKOR_MSVC_LINK_FLAGS}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${VELKOR_MSVC_LINK_FLAGS}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${VELKOR_MSVC_LINK_FLAGS}")
set(CMAKE_C_STANDARD_LIBRARIES "kernel32.lib msvcrt.lib velkor_startup.lib"
    CACHE STRING "" FORCE)
set(CMAKE_CXX_STANDARD_LIBRARIES "kernel32.lib msvcrt.lib velkor_startup.lib"
    CACHE STRING "" FORCE)

# No C++ standard library: the project builds its stand-alone tests only.
set(VELKOR_NO_CXX_STDLIB ON)
