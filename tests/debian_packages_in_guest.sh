#!/bin/sh
# SPDX-License-Identifier: MIT
# In the emulated machine of a cross build: installs the Debian packages that
# the debian_packages test made and staged here, then runs the two clients it
# built against them (CMake package config, pkg-config). Each must load the
# installed library from the multiarch folder, not a copy in the build.
set -eu
cd "$(dirname "$0")"
multiarch=$(cat multiarch)
dpkg -i ./libvelkorthread*.deb
for client in package_client pkg_config_client; do
    loaded=$(ldd "./$client")
    case $loaded in
        # /lib is /usr/lib on Debian: the loader may name either.
        *"libvelkorthread.so.1 => /usr/lib/$multiarch/libvelkorthread.so.1 "* | \
            *"libvelkorthread.so.1 => /lib/$multiarch/libvelkorthread.so.1 "*) ;;
        *) echo "$client does not load the installed library:"; echo "$loaded"; exit 1 ;;
    esac
    "./$client"
done
dpkg -r libvelkorthread-dev libvelkorthread1
test ! -e "/usr/lib/$multiarch/libvelkorthread.so.1"
echo "installed, used by both clients and removed"
