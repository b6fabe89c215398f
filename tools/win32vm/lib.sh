# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Shared by build-image.sh and run.sh: cache layout, host package checks and
# the one place that knows how to boot the guest. Sourced, not executed.
# shellcheck disable=SC2034  # the paths below are used by the sourcing scripts

# vm_use_cache DIR: the guest's files. Another guest (tools/linuxvm) calls it
# again with its own folder; the run lock stays this one, shared by every
# guest, since two emulated machines at once starve each other.
vm_use_cache() {
    VM_CACHE=$1
    VM_KERNEL="$VM_CACHE/vmlinuz"
    VM_INITRD="$VM_CACHE/initrd.img"
    VM_IMAGE="$VM_CACHE/rootfs.raw"
    VM_STAMP="$VM_CACHE/stamp"
    VM_LOCK="$VM_CACHE/lock" # builder: exclusive; runners: shared
}
vm_use_cache "${VELKOR_VM_CACHE:-/var/cache/velkorthread-win32vm}"
VM_RUN_LOCK="$VM_CACHE/run.lock" # runners: exclusive, one guest at a time

# The emulator, its machine and the guest's console; another guest sets its own.
VM_NAME=win32vm
VM_QEMU=qemu-system-x86_64
VM_MACHINE=()
VM_CONSOLE=ttyS0

# 9p tags the guest init mounts: "ctl" carries the job script and results,
# "work" is the caller's folder with the .exe files (the guest's cwd).
VM_CTL_TAG=velkorctl
VM_WORK_TAG=velkorwork

log() { printf '%s: %s\n' "$VM_NAME" "$*" >&2; }
# die MESSAGE [EXIT_STATUS]
die() { log "error: $1"; exit "${2:-1}"; }

# The stamp names the exact build-image.sh that made the cache, so editing
# the script (guest packages, init, prefix setup) forces a rebuild.
vm_expected_version() {
    sha256sum "$VM_TOOLS_DIR/build-image.sh" | cut -d' ' -f1
}

vm_cache_is_current() {
    [[ -s $VM_KERNEL && -s $VM_INITRD && -s $VM_IMAGE && -f $VM_STAMP ]] || return 1
    [[ "$(sed -n 's/^version=//p' "$VM_STAMP")" == "$(vm_expected_version)" ]]
}

# Host tools come from Debian; "apt-get update" only when a package is not
# known to apt yet (fresh machine with empty lists), since it is slow.
vm_ensure_host_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' \
            || missing+=("$pkg")
    done
    ((${#missing[@]} == 0)) && return 0
    log "installing host packages: ${missing[*]}"
    if ! apt-cache show "${missing[@]}" >/dev/null 2>&1; then
        apt-get update -qq
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# Never ask for more virtual CPUs than the host has: with TCG each vCPU is a
# host thread, and oversubscribing makes the guest's spinlocks crawl.
vm_default_smp() {
    local n
    n=$(nproc)
    ((n > 2)) && n=2
    echo "$n"
}

# qemu splits -virtfs/-drive options on commas; a literal comma is ",,".
vm_qemu_escape() { printf '%s' "${1//,/,,}"; }

# vm_boot CTL_DIR WORK_DIR|"" SNAPSHOT(yes|no) TIMEOUT_S CONSOLE_LOG [SMP] [MEM_MB]
# Boots the guest once; its init runs CTL_DIR/job.sh and writes CTL_DIR/job.rc.
# Returns qemu's status (124/137 when the host-side timeout hit).
vm_boot() {
    local ctl=$1 work=$2 snapshot=$3 limit=$4 console=$5
    local smp=${6:-$(vm_default_smp)} mem=${7:-2048}
    # shellcheck disable=SC2054  # commas belong to qemu's option syntax
    local args=(
        ${VM_MACHINE[@]+"${VM_MACHINE[@]}"}
        -accel tcg,thread=multi -smp "$smp" -m "$mem"
        -display none -monitor none -serial stdio -no-reboot -nic none
        -kernel "$VM_KERNEL" -initrd "$VM_INITRD"
        # mitigations=off: the guest is a throwaway test box with no network,
        # and the mitigations cost a lot of emulated time on every syscall.
        -append "console=$VM_CONSOLE root=/dev/vda rw init=/sbin/velkor-init panic=1 quiet mitigations=off"
        -drive "file=$(vm_qemu_escape "$VM_IMAGE"),if=virtio,format=raw,cache=unsafe"
        -virtfs "local,path=$(vm_qemu_escape "$ctl"),mount_tag=$VM_CTL_TAG,security_model=none,id=ctl"
    )
    [[ -n $work ]] && args+=(
        -virtfs "local,path=$(vm_qemu_escape "$work"),mount_tag=$VM_WORK_TAG,security_model=none,id=work"
    )
    [[ $snapshot == yes ]] && args+=(-snapshot)
    # -k: a qemu that ignores TERM (stuck in TCG) still goes away.
    timeout -k 15 "$limit" "$VM_QEMU" "${args[@]}" </dev/null >"$console" 2>&1
}
