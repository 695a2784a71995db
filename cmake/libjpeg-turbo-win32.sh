#!/bin/sh
# Cross-builds Debian's libjpeg-turbo (the version the Linux product links)
# for 32-bit Windows: static libjpeg with its SIMD code (NASM), installed to
# PREFIX/libjpeg-turbo-VERSION-i686/{include,lib}. Prints that directory.
#
# The source package comes through a private apt configuration (its own
# sources list with deb-src lines for bookworm and its updates, lists and
# cache under PREFIX), so the machine's apt sources are never touched. An
# existing build of the same version is reused as it is: nothing is fetched
# or compiled again.
#
# Usage: libjpeg-turbo-win32.sh PREFIX C_COMPILER
set -eu
prefix=$1
cc=$2
mkdir -p "$prefix"
prefix=$(cd "$prefix" && pwd)
# Two build trees configuring at once build it once.
exec 9>"$prefix/.lock"
flock 9

# The Linux product's version; the newest bookworm has when none is installed.
version=$(dpkg-query -W -f='${Version}' libjpeg62-turbo-dev 2>/dev/null || true)
stem=$(printf '%s' "${version:-latest}" | tr ':~' '__')
out="$prefix/libjpeg-turbo-$stem-i686"
if [ -f "$out/lib/libjpeg.a" ] && [ -f "$out/include/jpeglib.h" ]; then
  echo "$out"
  exit 0
fi

work="$prefix/work-$stem"
rm -rf "$work"
mkdir -p "$work/apt/lists/partial" "$work/apt/cache/archives/partial" "$work/apt/sources.list.d" "$work/src"
cat >"$work/apt/sources.list" <<EOF
deb-src http://deb.debian.org/debian bookworm main
deb-src http://deb.debian.org/debian bookworm-updates main
deb-src http://deb.debian.org/debian-security bookworm-security main
EOF
apt() {
  apt-get -q -o Dir::Etc::SourceList="$work/apt/sources.list" -o Dir::Etc::SourceParts="$work/apt/sources.list.d" \
    -o Dir::State::Lists="$work/apt/lists" -o Dir::Cache="$work/apt/cache" -o APT::Sandbox::User=root "$@"
}
{
  apt update
  cd "$work/src"
  apt source --download-only "libjpeg-turbo${version:+=$version}"
  # apt has checked the files against the signed index already.
  dpkg-source --no-check -x ./*.dsc tree
} >"$work/fetch.log" 2>&1 || { cat "$work/fetch.log" >&2; exit 1; }

# Only the static library: no tools, no TurboJPEG, no tests.
cat >"$work/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER $cc)
set(CMAKE_ASM_NASM_COMPILER nasm)
EOF
{
  cmake -S "$work/src/tree" -B "$work/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$out" -DENABLE_SHARED=OFF -DENABLE_STATIC=ON \
    -DWITH_TURBOJPEG=OFF -DWITH_SIMD=ON -DREQUIRE_SIMD=ON -DWITH_JPEG8=OFF
  cmake --build "$work/build" --target jpeg-static
} >"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; exit 1; }

mkdir -p "$out.tmp/lib" "$out.tmp/include"
cp "$work/build/libjpeg.a" "$out.tmp/lib/"
cp "$work/build/jconfig.h" "$work/src/tree/jpeglib.h" "$work/src/tree/jmorecfg.h" "$work/src/tree/jerror.h" \
  "$out.tmp/include/"
rm -rf "$out" "$work"
mv "$out.tmp" "$out"
echo "$out"
