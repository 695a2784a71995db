#!/bin/sh
# Cross-builds the FFmpeg of the Windows RTSP module: Debian's source of the
# version the Linux product links, static for 32-bit Windows (mingw-w64,
# Windows' own threads), with only what RTSP cameras need: the RTSP demuxer
# with RTP over TCP and UDP, rtsps:// through Windows' own TLS (Schannel), the
# H.264, H.265 and MJPEG decoders and parsers, swscale; no external library,
# nothing autodetected. Installed to
# PREFIX/ffmpeg-VERSION-KEY-i686/{include,lib}, KEY naming the options; prints
# that directory. An existing build of the same version and options is reused
# as it is: nothing is fetched or compiled again.
#
# Usage: ffmpeg-win32.sh PREFIX C_COMPILER
set -eu
. "$(cd "$(dirname "$0")" && pwd)/cross-build.sh"
cross_build_start "$1"
cc=$2

options="--arch=x86 --target-os=mingw32 --cross-prefix=i686-w64-mingw32- --enable-cross-compile --cc=$cc
  --enable-static --disable-shared --disable-autodetect --enable-w32threads --disable-everything
  --disable-programs --disable-doc --disable-debug --disable-avdevice --disable-avfilter --disable-postproc
  --disable-swresample --enable-swscale --enable-network --enable-schannel --enable-protocol=tcp,udp,rtp,tls
  --enable-demuxer=rtsp,rtp,sdp --enable-decoder=h264,hevc,mjpeg --enable-parser=h264,hevc,mjpeg"
version=$(dpkg-query -W -f='${Version}' libavformat-dev 2>/dev/null || true)
key=$(printf '%s' "$options" | md5sum | cut -c1-8)
stem=$(printf '%s' "${version:-latest}-$key" | tr ':~' '__')
out="$prefix/ffmpeg-$stem-i686"
cross_build_reuse "$out" lib/libavformat.a include/libavformat/avformat.h

work="$prefix/work-ffmpeg-$stem"
debian_source "$work" ffmpeg "$version"
{
  mkdir -p "$work/build"
  cd "$work/build"
  # shellcheck disable=SC2086  # the options are words
  "$work/src/tree/configure" --prefix="$out.tmp" $options
  make -j2
  make install
} >"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; exit 1; }
# The prefix is written into the pkg-config files only, which nothing reads.
rm -rf "$out" "$work" "$out.tmp/share" "$out.tmp/lib/pkgconfig"
mv "$out.tmp" "$out"
echo "$out"
