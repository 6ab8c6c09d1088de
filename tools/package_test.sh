#!/usr/bin/env bash
# tools/package_test.sh [PACKAGE_DIR]: unpack the built packages into a
# scratch root and run the main job from the installed files.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
pkgs=${1:-$top/out/packages}
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
for deb in "$pkgs"/*.deb; do
  case $deb in *-dbgsym_*) continue ;; esac
  dpkg -x "$deb" "$root"
done

fail() { echo "package test: $*" >&2; exit 1; }
for f in usr/sbin/dayward usr/sbin/revod usr/sbin/quillsetup usr/sbin/arborctl usr/bin/revoctl \
  usr/bin/kdx usr/include/kdx/kdx.h usr/include/pdksa.h usr/include/ical/ical.h \
  usr/include/streams/lwstream.h lib/systemd/system/revod.service lib/systemd/system/dayward.service \
  usr/share/man/man8/dayward.8.gz usr/share/man/man3/libkdx.3.gz; do
  [ -e "$root/$f" ] || fail "$f is missing"
done
libdir=$(dirname "$(find "$root/usr/lib" -name 'libkdx.so.1' | head -n 1)")
[ -L "$libdir/libkdx.so.1" ] || fail "libkdx.so.1 is not the SONAME link"
# The standard library folder is searched by the loader: no RPATH or RUNPATH.
for f in "$root"/usr/sbin/* "$root"/usr/bin/* "$libdir"/lib*.so.*.*; do
  if readelf -d "$f" | grep -qE 'R(UN)?PATH'; then fail "$f carries a library search path"; fi
done
for p in dayward revod quillsetup arborctl; do
  LD_LIBRARY_PATH=$libdir "$root/usr/sbin/$p" --version | grep -q "^$p " || fail "$p --version"
done

# The units, with their programs where the scratch root has them.
units=$(mktemp -d -p "$root")
for u in revod dayward; do
  sed "s|/usr/sbin/|$root/usr/sbin/|" "$root/lib/systemd/system/$u.service" >"$units/$u.service"
done
MANPATH=$root/usr/share/man systemd-analyze verify "$units"/*.service ||
  fail "systemd-analyze verify"

# pkg-config finds the library and its headers in the installed tree.
PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_LIBDIR=$libdir/pkgconfig pkg-config --cflags --libs libkdx |
  grep -q -- '-lkdx' || fail "pkg-config libkdx"

ARBOR_ROOT=$root ARBOR_DEMO_DIR=$root/demo bash "$top/tools/demo.sh"
echo "package test: the main job ran from the installed packages"
