# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# The arm64 guest for win32vm/lib.sh's boot and win32vm/run.sh: sourced after
# lib.sh. A Raspberry Pi 4's processor (Cortex-A72, Armv8.0: atomics by
# load-exclusive and store-exclusive pairs), as on many single-board computers.
# shellcheck disable=SC2034  # used by lib.sh and the sourcing scripts
VM_NAME=arm64vm
VM_TOOLS_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
vm_use_cache "${VELKOR_ARM64VM_CACHE:-/var/cache/velkorthread-arm64vm}"
VM_QEMU=qemu-system-aarch64
VM_MACHINE=(-machine virt -cpu cortex-a72)
VM_CONSOLE=ttyAMA0
