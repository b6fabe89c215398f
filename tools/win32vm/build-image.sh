#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds (once) the emulated Debian guest that runs 32-bit Windows test
# programs under 32-bit Wine: kernel, initrd and a raw ext4 image with a
# ready 32-bit Wine prefix, cached outside the work tree.
#
# Usage: build-image.sh [--force]
#   --force   rebuild even if the cached image is complete and current
# Cache: ${VELKOR_VM_CACHE:-/var/cache/velkorthread-win32vm}
set -euo pipefail

VM_TOOLS_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=lib.sh
source "$VM_TOOLS_DIR/lib.sh"

SUITE=bookworm
# A 32-bit-only prefix: needs no wine64, halves the image, and is what the
# 32-bit DLL is shipped for.
GUEST_WINEPREFIX=/opt/velkor/wine32
# Sparse; about a third of it is used.
IMAGE_SIZE=6G
HOST_PACKAGES=(qemu-system-x86 debootstrap e2fsprogs coreutils util-linux)

BUILD_DIR=""
ROOTFS=""

usage() { sed -n '2,10s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"; }

# --- mirror ---------------------------------------------------------------

# Prints the first URI that apt on this host uses for SUITE (optionally a
# suffixed suite such as bookworm-security), from one-line .list files or
# deb822 .sources files. The guest must use the same archive as the host:
# it is the only one reachable.
host_mirror_for() {
    local suite=$1 f
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [[ -f $f ]] || continue
        awk -v s="$suite" '$1 == "deb" {
            i = 2; if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
            if ($(i + 1) == s) { print $i; exit } }' "$f"
    done
    for f in /etc/apt/sources.list.d/*.sources; do
        [[ -f $f ]] || continue
        awk -v s="$suite" 'BEGIN { RS = ""; FS = "\n" } {
            uri = ""; hit = 0; deb = 0
            for (i = 1; i <= NF; i++) {
                if ($i ~ /^URIs:/)   { split($i, a, /[ \t]+/); uri = a[2] }
                if ($i ~ /^Types:/ && $i ~ /(^|[ \t])deb([ \t]|$)/) deb = 1
                if ($i ~ /^Suites:/) { n = split($i, a, /[ \t]+/)
                    for (j = 2; j <= n; j++) if (a[j] == s) hit = 1 }
            }
            if (hit && deb && uri != "") { print uri; exit } }' "$f"
    done
}

pick_mirror() {
    local m
    m=$(host_mirror_for "$SUITE" | head -n1)
    [[ -n $m ]] || m=http://deb.debian.org/debian
    echo "${m%/}"
}

# --- chroot helpers -------------------------------------------------------

# Bind mounts into the rootfs; each is undone by umount_chroot, also on error.
mount_chroot() {
    mount -t proc proc "$ROOTFS/proc"
    mount --bind /dev "$ROOTFS/dev"
    mount --bind /dev/pts "$ROOTFS/dev/pts"
}

umount_chroot() {
    [[ -n $ROOTFS && -d $ROOTFS ]] || return 0
    local m
    for m in dev/pts dev proc; do
        mountpoint -q "$ROOTFS/$m" && umount -l "$ROOTFS/$m"
    done
    return 0
}

in_chroot() {
    LANG=C.UTF-8 LC_ALL=C.UTF-8 DEBIAN_FRONTEND=noninteractive \
        chroot "$ROOTFS" /usr/bin/env PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"
}

cleanup() {
    umount_chroot
    [[ -n $BUILD_DIR && -d $BUILD_DIR ]] && rm -rf --one-file-system "$BUILD_DIR"
    return 0
}

# --- steps ----------------------------------------------------------------

# Retried once from scratch: a download caught mid-sync on the mirror is the
# usual failure, and debootstrap cannot resume.
bootstrap_rootfs() {
    local mirror=$1 try
    for try in 1 2; do
        log "debootstrap $SUITE from $mirror"
        rm -rf --one-file-system "$ROOTFS"
        debootstrap --variant=minbase \
            --include=linux-image-amd64,initramfs-tools,udev,kmod \
            "$SUITE" "$ROOTFS" "$mirror" >"$BUILD_DIR/debootstrap.log" 2>&1 && return 0
        tail -n 20 "$BUILD_DIR/debootstrap.log" >&2
        sleep 20
    done
    die "debootstrap failed"
}

# Only the release suite: the guest is offline and throwaway, and every extra
# suite is one more index that can be caught mid-sync on the mirror.
write_guest_sources() {
    echo "deb $1 $SUITE main" >"$ROOTFS/etc/apt/sources.list"
    cp /etc/resolv.conf "$ROOTFS/etc/resolv.conf"
}

# A mirror caught mid-sync fails "apt-get update" for a while; try again.
chroot_apt_update() {
    local try
    for try in 1 2 3 4; do
        in_chroot apt-get update -qq && return 0
        log "apt-get update failed (try $try), retrying"
        sleep $((try * 15))
    done
    die "apt-get update in the guest keeps failing"
}

# wine32:i386 satisfies the "wine" package's dependency on its own, so no
# 64-bit Wine is pulled in. Recommends (fonts, GUI helpers) are not needed
# by console test programs.
install_wine() {
    log "installing 32-bit Wine in the guest"
    in_chroot dpkg --add-architecture i386
    chroot_apt_update
    in_chroot apt-get install -y -qq --no-install-recommends wine wine32:i386 \
        >"$BUILD_DIR/apt.log" 2>&1 \
        || { tail -n 30 "$BUILD_DIR/apt.log" >&2; die "installing wine failed"; }
    in_chroot dpkg -s wine64 >/dev/null 2>&1 && log "note: wine64 got installed too"
    in_chroot apt-get clean
    rm -rf "$ROOTFS"/var/lib/apt/lists/* "$ROOTFS"/var/cache/apt/*.bin
}

# PID 1 of the guest. Kept tiny: no systemd, so a boot takes seconds even
# under software emulation. The job and its results live on the ctl share.
install_guest_init() {
    cat >"$ROOTFS/sbin/velkor-init" <<'EOF'
#!/bin/sh
# velkorthread win32vm guest init: mount, run ctl/job.sh, store its status, power off.
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
hostname velkor-win32vm
modprobe 9pnet_virtio 2>/dev/null
modprobe 9p 2>/dev/null
mkdir -p /velkor/ctl /velkor/work
opts=trans=virtio,version=9p2000.L,msize=262144
if mount -t 9p -o "$opts" velkorctl /velkor/ctl; then
    # The work share is optional (the image build boots without one).
    mount -t 9p -o "$opts" velkorwork /velkor/work 2>/dev/null
    say "job start"
    /bin/bash /velkor/ctl/job.sh >/velkor/ctl/job.log 2>&1 </dev/null
    rc=$?
    say "job done, status $rc"
    echo "$rc" >/velkor/ctl/job.rc
else
    say "cannot mount the control share"
fi
# Flush the disk before the abrupt power-off: the image build keeps changes.
sync
mount -o remount,ro / 2>/dev/null
sync
echo o >/proc/sysrq-trigger
sleep 60
EOF
    chmod 755 "$ROOTFS/sbin/velkor-init"
    # The job runs as root; Wine refuses a prefix not owned by the user.
    mkdir -p "$ROOTFS/$(dirname "$GUEST_WINEPREFIX")"
    cat >"$ROOTFS/etc/velkor-wine.env" <<EOF
export HOME=/root
export WINEARCH=win32
export WINEPREFIX=$GUEST_WINEPREFIX
export WINEDEBUG=-all
EOF
}

extract_kernel() {
    local k i
    k=$(ls "$ROOTFS"/boot/vmlinuz-* | sort -V | tail -n1)
    i=$(ls "$ROOTFS"/boot/initrd.img-* | sort -V | tail -n1)
    [[ -f $k && -f $i ]] || die "no kernel or initrd in the guest /boot"
    cp "$k" "$BUILD_DIR/vmlinuz"
    cp "$i" "$BUILD_DIR/initrd.img"
}

make_image() {
    log "writing ext4 image ($IMAGE_SIZE sparse)"
    truncate -s "$IMAGE_SIZE" "$BUILD_DIR/rootfs.raw"
    mkfs.ext4 -q -F -L velkor-root -d "$ROOTFS" "$BUILD_DIR/rootfs.raw"
}

# First boot keeps its changes (no -snapshot): creates the Wine prefix and
# proves that a 32-bit Windows program (cmd.exe) runs, so every later
# -snapshot boot starts from a warm, known-good prefix.
create_prefix() {
    local ctl=$BUILD_DIR/ctl rc
    mkdir -p "$ctl"
    cat >"$ctl/job.sh" <<'EOF'
set -eu
. /etc/velkor-wine.env
# No Mono/Gecko: Debian ships neither and the tests do not need them.
export WINEDLLOVERRIDES="mscoree,mshtml="
wine wineboot -i >/velkor/ctl/wineboot.log 2>&1
wineserver -w
test -f "$WINEPREFIX/system.reg"
wine cmd.exe /c echo velkor-wine-ok >/velkor/ctl/smoke.out 2>&1
wineserver -w
grep -q velkor-wine-ok /velkor/ctl/smoke.out
test ! -d "$WINEPREFIX/drive_c/windows/syswow64"
EOF
    log "first boot: creating the 32-bit Wine prefix"
    # Point the image paths at the build copies for this boot.
    VM_KERNEL=$BUILD_DIR/vmlinuz VM_INITRD=$BUILD_DIR/initrd.img VM_IMAGE=$BUILD_DIR/rootfs.raw \
        vm_boot "$ctl" "" no 900 "$BUILD_DIR/console.log" || true
    rc=$(cat "$ctl/job.rc" 2>/dev/null || echo none)
    if [[ $rc != 0 ]]; then
        tail -n 40 "$BUILD_DIR/console.log" >&2 || true
        cat "$ctl/job.log" "$ctl/wineboot.log" >&2 2>/dev/null || true
        die "prefix creation failed (guest job status: $rc)"
    fi
}

# Moves the finished files into the cache; the stamp goes last, so a build
# that dies half-way is never taken for a complete one.
install_into_cache() {
    local f
    for f in vmlinuz initrd.img rootfs.raw; do
        mv -f "$BUILD_DIR/$f" "$VM_CACHE/$f"
    done
    {
        echo "version=$(vm_expected_version)"
        echo "built=$(date -u +%Y-%m-%dT%H:%M:%SZ)"
        echo "mirror=$1"
        echo "seconds=$2"
    } >"$VM_STAMP.tmp"
    mv -f "$VM_STAMP.tmp" "$VM_STAMP"
}

# timed STEP [ARG...]: runs a step and logs how long it took, so slow
# mirrors or a slow first boot are visible in the build log.
timed() {
    local t0=$SECONDS
    "$@"
    log "  $1: $((SECONDS - t0)) s"
}

# The rootfs (~2 GiB) and the image (~2 GiB used) coexist for a moment.
check_free_space() {
    local free_kb
    free_kb=$(df -Pk "$VM_CACHE" | awk 'NR == 2 { print $4 }')
    ((free_kb > 6 * 1024 * 1024)) || die "need 6 GiB free in $VM_CACHE, have $((free_kb / 1024)) MiB"
}

build() {
    local start mirror
    start=$(date +%s)
    check_free_space
    mirror=$(pick_mirror)
    rm -f "$VM_STAMP"
    BUILD_DIR=$(mktemp -d "$VM_CACHE/build.XXXXXX")
    ROOTFS=$BUILD_DIR/rootfs
    timed bootstrap_rootfs "$mirror"
    write_guest_sources "$mirror"
    mount_chroot
    timed install_wine
    umount_chroot
    install_guest_init
    extract_kernel
    timed make_image
    rm -rf --one-file-system "$ROOTFS"
    timed create_prefix
    install_into_cache "$mirror" "$(($(date +%s) - start))"
    log "image ready in $(($(date +%s) - start)) s: $VM_CACHE ($(du -sh "$VM_IMAGE" | cut -f1) used)"
}

main() {
    local force=no
    while (($#)); do
        case $1 in
            --force) force=yes ;;
            -h | --help) usage; exit 0 ;;
            *) usage >&2; exit 2 ;;
        esac
        shift
    done
    # Fast path without the lock: the stamp is written last and removed
    # first, so a current stamp means a complete image, and runners that
    # hold the lock shared do not make this wait.
    if [[ $force == no ]] && vm_cache_is_current; then
        return 0
    fi
    [[ $(id -u) == 0 ]] || die "must run as root (debootstrap, chroot, mounts)"
    mkdir -p "$VM_CACHE"
    # One builder at a time; runners hold a shared lock while they boot.
    exec 9>"$VM_LOCK"
    flock 9
    if [[ $force == no ]] && vm_cache_is_current; then
        return 0
    fi
    vm_ensure_host_packages "${HOST_PACKAGES[@]}"
    trap cleanup EXIT
    build
}

main "$@"
