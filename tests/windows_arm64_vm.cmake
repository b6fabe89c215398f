# SPDX-License-Identifier: MIT
# Windows on Arm64: the same programs under Debian's arm64 Wine inside the
# emulated arm64 machine of tools/linuxvm (its image has Wine and a prefix),
# all in one boot. The package client is built (from the install tree and the
# .zip) but not run there: it checks a dynamic_cast, and Wine 8.0's arm64
# msvcrt.dll fails every dynamic_cast of an Arm64 program (a program of a
# dozen lines without this library crashes in its __RTDynamicCast, while the
# same source built for x86_64 passes under wine64).
option(VELKOR_ARM64_VM "Run the Arm64 Windows programs inside the emulated arm64 machine" OFF)
if(VELKOR_ARM64_VM AND WIN32 AND VELKOR_WINDOWS_ARCH STREQUAL "arm64")
  set(vm_job ${CMAKE_CURRENT_BINARY_DIR}/arm64vm.job)
  file(WRITE ${vm_job} ${VELKOR_VM_PROGRAMS})
  add_test(NAME arm64vm_image COMMAND ${PROJECT_SOURCE_DIR}/tools/linuxvm/build-image.sh)
  set_tests_properties(arm64vm_image PROPERTIES FIXTURES_SETUP arm64vm TIMEOUT 2400)
  add_test(NAME arm64vm_programs
    COMMAND ${PROJECT_SOURCE_DIR}/tools/win32vm/run.sh --guest ${PROJECT_SOURCE_DIR}/tools/linuxvm/arm64.sh
            --no-build --out ${CMAKE_CURRENT_BINARY_DIR}/arm64vm_out ${PROJECT_BINARY_DIR}/bin
            --job ${vm_job})
  set_tests_properties(arm64vm_programs PROPERTIES FIXTURES_REQUIRED arm64vm
                       TIMEOUT 3600 RESOURCE_LOCK win32vm)
endif()
