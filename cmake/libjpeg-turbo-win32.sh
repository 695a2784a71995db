#!/bin/sh
# Cross-builds Debian's libjpeg-turbo (the version the Linux product links)
# for 32-bit Windows: static libjpeg with its SIMD code (NASM), installed to
# PREFIX/libjpeg-turbo-VERSION-i686/{include,lib}. Prints that directory.
#
# The source package comes through a private apt configuration
# (cross-build.sh), so the machine's apt sources are never touched. An
# existing build of the same version is reused as it is: nothing is fetched
# or compiled again.
#
# Usage: libjpeg-turbo-win32.sh PREFIX C_COMPILER
set -eu
. "$(cd "$(dirname "$0")" && pwd)/cross-build.sh"
cross_build_start "$1"
cc=$2

# The Linux product's version; the newest bookworm has when none is installed.
version=$(dpkg-query -W -f='${Version}' libjpeg62-turbo-dev 2>/dev/null || true)
stem=$(printf '%s' "${version:-latest}" | tr ':~' '__')
out="$prefix/libjpeg-turbo-$stem-i686"
cross_build_reuse "$out" lib/libjpeg.a include/jpeglib.h

work="$prefix/work-$stem"
debian_source "$work" libjpeg-turbo "$version"

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
