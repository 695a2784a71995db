#!/bin/sh
# The Debian package as a user gets it: made from the install rules, no
# lintian error, unpacked into a throw-away root (no root needed). A small
# host builds against it once with pkg-config and once with find_package and
# grabs an image from the packaged simulated camera through the packaged
# example settings; the packaged host finds the driver the system's way and
# tells both versions.
# Usage: deb.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1
here=$2/tests/package
fail() { echo "deb: $*"; exit 1; }

cmake --build "$build" --target package >"$build/package.log" 2>&1 || { cat "$build/package.log"; fail "no package"; }
deb=$(ls "$build"/packages/orvella_*.deb)
version=$(dpkg-deb -f "$deb" Version)
work=$(mktemp -d)
simcam=
trap 'if [ -n "$simcam" ]; then kill $simcam; fi; rm -rf "$work"' EXIT

status=0
lintian --fail-on error "$deb" >"$work/lintian.out" 2>&1 || status=$?
grep -v 'root privileges' "$work/lintian.out" || true
[ $status -eq 0 ] || fail "lintian reports errors"
root=$work/root
dpkg-deb -x "$deb" "$root"
libdir=$(dirname "$(find "$root" -name liborvella.so.1)")
[ -f "$libdir/orvella/liborvella-dialog.so" ] || fail "the dialog module is not in the driver's private folder"

"$root/usr/bin/orvella-simcam" --port 0 >"$work/simcam.out" &
simcam=$!
for _ in $(seq 100); do
  url=$(sed -n 's/^listening on //p' "$work/simcam.out")
  [ -n "$url" ] && break
  sleep 0.1
done
[ -n "$url" ] || fail "the packaged simulated camera did not start"
# The packaged example settings, pointed at the camera's port.
sed "s|^ImageUrl=.*|ImageUrl=$url|" "$root/usr/share/doc/orvella/examples/Orvella.ini" >"$work/Orvella.ini"

# pkg-config, the root standing in for /
flags=$(PKG_CONFIG_LIBDIR="$libdir/pkgconfig" PKG_CONFIG_SYSROOT_DIR="$root" PKG_CONFIG_ALLOW_SYSTEM_LIBS=1 \
  PKG_CONFIG_ALLOW_SYSTEM_CFLAGS=1 pkg-config --cflags --libs "orvella = $version")
cc -Wall -Werror "$here/consumer.c" $flags -o "$work/consumer"
LD_LIBRARY_PATH=$libdir "$work/consumer" "$work" || fail "the pkg-config build grabbed no image"

# find_package(Orvella): the imported target carries the root's paths.
cmake -S "$here" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$root/usr" -DCMAKE_C_FLAGS="-Wall -Werror" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer" "$work" || fail "the find_package build grabbed no image"

LD_LIBRARY_PATH=$libdir "$root/usr/bin/orvella-host" --version >"$work/version.out"
cat "$work/version.out"
grep -qx "orvella-host $version" "$work/version.out" || fail "the host does not print its version $version"
grep -qx "driver $libdir/liborvella.so.$version $version" "$work/version.out" ||
  fail "the host did not load the packaged driver $version"
echo "deb: $deb passes"
