#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds (once) the emulated Debian arm64 guest that runs the arm64 Linux
# programs, and the Arm64 Windows programs under Debian's arm64 Wine: kernel,
# initrd and a raw ext4 image with a ready Wine prefix, cached outside the
# work tree. The root file system is made by debootstrap on this host; its
# second stage and Wine's installation run arm64 programs under qemu-user
# (registered with binfmt_misc), which is fine for installing packages but
# never for the tests (run.sh boots the guest's own kernel for those).
#
# Usage: build-image.sh [--force]
# Cache: ${VELKOR_ARM64VM_CACHE:-/var/cache/velkorthread-arm64vm}
set -euo pipefail

LINUXVM_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=../win32vm/lib.sh
source "$LINUXVM_DIR/../win32vm/lib.sh"
# shellcheck source=arm64.sh
source "$LINUXVM_DIR/arm64.sh"

SUITE=bookworm
# Sparse; Wine and its prefix bring the used part to about 0.9 GiB.
IMAGE_SIZE=4G
# Owned by root, who runs the job: Wine refuses a prefix of another user.
GUEST_WINEPREFIX=/opt/velkor/wine64
HOST_PACKAGES=(qemu-system-arm qemu-user-static debootstrap e2fsprogs)
BUILD_DIR=""
ROOTFS=""

# The archive apt on this host uses for SUITE: the only one reachable.
pick_mirror() {
    local m
    m=$(apt-cache policy 2>/dev/null | awk -v s="$SUITE/main" '$3 == s && $2 ~ /^http/ { print $2; exit }')
    echo "${m:-http://deb.debian.org/debian}"
}

# The second stage runs arm64 programs: register qemu-user for them as its
# package describes (with the F flag: the interpreter is found from inside
# the chroot too), where no service of the host has done it.
ensure_binfmt() {
    local dir=/proc/sys/fs/binfmt_misc
    mountpoint -q "$dir" || mount -t binfmt_misc binfmt_misc "$dir"
    [[ -e $dir/qemu-aarch64 ]] || cat /usr/lib/binfmt.d/qemu-aarch64.conf >"$dir/register"
}

cleanup() {
    [[ -n $ROOTFS ]] && cleanup_mounts_only
    [[ -n $BUILD_DIR && -d $BUILD_DIR ]] && rm -rf --one-file-system "$BUILD_DIR"
    return 0
}

# Retried once from scratch: a mirror caught mid-sync is the usual failure.
bootstrap_rootfs() {
    local mirror=$1 try
    for try in 1 2; do
        log "debootstrap $SUITE arm64 from $mirror"
        rm -rf --one-file-system "$ROOTFS"
        if debootstrap --arch=arm64 --foreign --variant=minbase \
            --include=linux-image-arm64,initramfs-tools,udev,kmod \
            "$SUITE" "$ROOTFS" "$mirror" >"$BUILD_DIR/debootstrap.log" 2>&1 &&
            small_initramfs &&
            chroot "$ROOTFS" /debootstrap/debootstrap --second-stage \
                >>"$BUILD_DIR/debootstrap.log" 2>&1; then
            return 0
        fi
        tail -n 20 "$BUILD_DIR/debootstrap.log" >&2
        cleanup_mounts_only
        sleep 20
    done
    die "debootstrap failed"
}

# The kernel's package makes the initramfs in the second stage, under
# qemu-user: with every driver (the default) that alone takes many minutes.
# The guest needs only its disk (virtio over PCI) and its file system.
small_initramfs() {
    mkdir -p "$ROOTFS/etc/initramfs-tools/conf.d" "$ROOTFS/usr/share/initramfs-tools/modules.d"
    echo MODULES=list >"$ROOTFS/etc/initramfs-tools/conf.d/velkor"
    printf '%s\n' virtio_pci virtio_blk ext4 >"$ROOTFS/usr/share/initramfs-tools/modules.d/velkor"
}

# Wine for the Arm64 Windows programs: wine64 runs them natively on this
# processor (no emulation of another one inside the guest); "wine" gives the
# launcher. Recommends (fonts, GUI helpers, 32-bit Wine) are not needed by
# console test programs.
install_wine() {
    local mirror=$1 try
    mount -t proc proc "$ROOTFS/proc"
    mount --bind /dev "$ROOTFS/dev"
    mount --bind /dev/pts "$ROOTFS/dev/pts"
    echo "deb $mirror $SUITE main" >"$ROOTFS/etc/apt/sources.list"
    cp /etc/resolv.conf "$ROOTFS/etc/resolv.conf"
    for try in 1 2 3 4; do
        in_chroot apt-get update -qq && break
        ((try < 4)) || die "apt-get update in the guest keeps failing"
        sleep $((try * 15))
    done
    in_chroot apt-get install -y -qq --no-install-recommends wine wine64 \
        >"$BUILD_DIR/apt.log" 2>&1 || { tail -n 30 "$BUILD_DIR/apt.log" >&2; die "installing wine failed"; }
    in_chroot apt-get clean
    cleanup_mounts_only
}

in_chroot() {
    LANG=C.UTF-8 LC_ALL=C.UTF-8 DEBIAN_FRONTEND=noninteractive \
        chroot "$ROOTFS" /usr/bin/env PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"
}

cleanup_mounts_only() {
    local m
    for m in dev/pts dev sys proc; do
        mountpoint -q "$ROOTFS/$m" && umount -l "$ROOTFS/$m"
    done
    return 0
}

# PID 1: mount, run the job from the control share, store its status, power
# off. No systemd, so a boot takes seconds even under emulation.
install_guest_init() {
    cat >"$ROOTFS/sbin/velkor-init" <<'INIT'
#!/bin/sh
PATH=/usr/sbin:/usr/bin:/sbin:/bin
export PATH
say() { echo "velkor-init: $*" >/dev/console; }
mountpoint -q /proc || mount -t proc proc /proc
mountpoint -q /sys || mount -t sysfs sysfs /sys
mountpoint -q /dev || mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /dev/shm
mount -t devpts -o gid=5,mode=620 devpts /dev/pts
mount -t tmpfs -o mode=1777 tmpfs /dev/shm
mount -t tmpfs -o mode=755 tmpfs /run
mount -t tmpfs -o mode=1777 tmpfs /tmp
hostname velkor-arm64vm
modprobe 9pnet_virtio 2>/dev/null
modprobe 9p 2>/dev/null
mkdir -p /velkor/ctl /velkor/work
opts=trans=virtio,version=9p2000.L,msize=262144
if mount -t 9p -o "$opts" velkorctl /velkor/ctl; then
    mount -t 9p -o "$opts" velkorwork /velkor/work 2>/dev/null
    say "job start"
    /bin/bash /velkor/ctl/job.sh >/velkor/ctl/job.log 2>&1 </dev/null
    rc=$?
    say "job done, status $rc"
    echo "$rc" >/velkor/ctl/job.rc
else
    say "cannot mount the control share"
fi
sync
mount -o remount,ro / 2>/dev/null
sync
echo o >/proc/sysrq-trigger
sleep 60
INIT
    chmod 755 "$ROOTFS/sbin/velkor-init"
    # run.sh's job reads this file, for Linux programs too (which ignore it).
    mkdir -p "$ROOTFS/$(dirname "$GUEST_WINEPREFIX")"
    cat >"$ROOTFS/etc/velkor-wine.env" <<EOF
export HOME=/root
export WINEARCH=win64
export WINEPREFIX=$GUEST_WINEPREFIX
export WINEDEBUG=-all
EOF
    echo velkor-arm64vm >"$ROOTFS/etc/hostname"
}

extract_kernel() {
    local k i
    k=$(ls "$ROOTFS"/boot/vmlinuz-* | sort -V | tail -n1)
    i=$(ls "$ROOTFS"/boot/initrd.img-* | sort -V | tail -n1)
    [[ -f $k && -f $i ]] || die "no kernel or initrd in the guest /boot"
    cp "$k" "$BUILD_DIR/vmlinuz"
    cp "$i" "$BUILD_DIR/initrd.img"
}

# The first boot keeps its changes (no -snapshot): the guest's kernel reports
# its processor and C library, Wine creates its prefix and runs a Windows
# program of its own, so every later boot starts from a warm, known-good
# prefix.
first_boot() {
    local ctl=$BUILD_DIR/ctl rc
    mkdir -p "$ctl"
    cat >"$ctl/job.sh" <<'EOF'
set -eu
uname -m >/velkor/ctl/smoke.out
ldd --version | head -n1 >>/velkor/ctl/smoke.out
. /etc/velkor-wine.env
# No Mono/Gecko: Debian ships neither and the tests do not need them.
export WINEDLLOVERRIDES="mscoree,mshtml="
wine wineboot -i >/velkor/ctl/wineboot.log 2>&1
wineserver -w
test -f "$WINEPREFIX/system.reg"
wine cmd.exe /c echo velkor-wine-ok >>/velkor/ctl/smoke.out 2>&1
wineserver -w
grep -q velkor-wine-ok /velkor/ctl/smoke.out
EOF
    VM_KERNEL=$BUILD_DIR/vmlinuz VM_INITRD=$BUILD_DIR/initrd.img VM_IMAGE=$BUILD_DIR/rootfs.raw \
        vm_boot "$ctl" "" no 1500 "$BUILD_DIR/console.log" || true
    rc=$(cat "$ctl/job.rc" 2>/dev/null || echo none)
    if [[ $rc != 0 ]] || ! grep -qx aarch64 "$ctl/smoke.out"; then
        tail -n 40 "$BUILD_DIR/console.log" >&2 || true
        cat "$ctl/job.log" "$ctl/wineboot.log" >&2 2>/dev/null || true
        die "the first boot failed (guest job status: $rc)"
    fi
    log "guest: $(tr '\n' ' ' <"$ctl/smoke.out")"
}

timed() {
    local t0=$SECONDS
    "$@"
    log "  $1: $((SECONDS - t0)) s"
}

build() {
    local start=$SECONDS mirror
    mirror=$(pick_mirror)
    rm -f "$VM_STAMP"
    BUILD_DIR=$(mktemp -d "$VM_CACHE/build.XXXXXX")
    ROOTFS=$BUILD_DIR/rootfs
    ensure_binfmt
    timed bootstrap_rootfs "$mirror"
    cleanup_mounts_only
    timed install_wine "$mirror"
    rm -rf "$ROOTFS"/var/cache/apt/archives/*.deb "$ROOTFS"/var/lib/apt/lists/*
    install_guest_init
    extract_kernel
    truncate -s "$IMAGE_SIZE" "$BUILD_DIR/rootfs.raw"
    mkfs.ext4 -q -F -L velkor-root -d "$ROOTFS" "$BUILD_DIR/rootfs.raw"
    rm -rf --one-file-system "$ROOTFS"
    timed first_boot
    local f
    for f in vmlinuz initrd.img rootfs.raw; do mv -f "$BUILD_DIR/$f" "$VM_CACHE/$f"; done
    printf 'version=%s\nbuilt=%s\nmirror=%s\nseconds=%s\n' "$(vm_expected_version)" \
        "$(date -u +%Y-%m-%dT%H:%M:%SZ)" "$mirror" "$((SECONDS - start))" >"$VM_STAMP.tmp"
    mv -f "$VM_STAMP.tmp" "$VM_STAMP"
    log "image ready in $((SECONDS - start)) s: $VM_CACHE"
}

main() {
    local force=no
    case ${1:-} in
        --force) force=yes ;;
        "") ;;
        *) sed -n '2,12s/^# \{0,1\}//p' "${BASH_SOURCE[0]}" >&2; exit 2 ;;
    esac
    if [[ $force == no ]] && vm_cache_is_current; then return 0; fi
    [[ $(id -u) == 0 ]] || die "must run as root (debootstrap, chroot, binfmt_misc)"
    mkdir -p "$VM_CACHE"
    exec 9>"$VM_LOCK"
    flock 9
    if [[ $force == no ]] && vm_cache_is_current; then return 0; fi
    vm_ensure_host_packages "${HOST_PACKAGES[@]}"
    trap cleanup EXIT
    build
}

main "$@"
