#!/usr/bin/env bash
# Cross-builds the minimal FFmpeg an RTSP module of the Windows product would
# need, from Debian's source package, and prints how long each step took.
# Not part of the build yet: the Windows DLL has no RTSP module.
#
# Only RTSP/RTP demuxing (TCP and UDP), the H.264, H.265 and MJPEG decoders and
# swscale; no external libraries; static, i686 (mingw-w64), Win32 threads.
# The source comes through a private apt configuration (the machine's own apt
# sources are never changed) and is kept in the cache directory.
#
# Usage: tools/ffmpeg-win32.sh [CACHE_DIR]   (default build/ffmpeg-win32)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cache=$(mkdir -p "${1:-$root/build/ffmpeg-win32}" && cd "${1:-$root/build/ffmpeg-win32}" && pwd)
mkdir -p "$cache/apt/lists/partial" "$cache/apt/cache/archives/partial" "$cache/src"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
cat > "$cache/apt/sources.list" <<SOURCES
deb-src [signed-by=$keyring] http://deb.debian.org/debian $codename main
deb-src [signed-by=$keyring] http://deb.debian.org/debian-security $codename-security main
SOURCES
apt=(-o Dir::Etc::SourceList="$cache/apt/sources.list" -o Dir::Etc::SourceParts=/nonexistent
     -o Dir::State::Lists="$cache/apt/lists" -o Dir::Cache="$cache/apt/cache")
step() { local t0=$SECONDS; "$@"; echo "ffmpeg-win32: $1 ... $((SECONDS - t0)) s" >&2; }

fetch() {
  [ -d "$cache/src/ffmpeg" ] && return 0
  apt-get "${apt[@]}" update -qq
  (cd "$cache/src" && apt-get "${apt[@]}" source --download-only -qq ffmpeg && dpkg-source -x ffmpeg_*.dsc ffmpeg >/dev/null)
}

configure() {
  mkdir -p "$cache/build" && cd "$cache/build"
  "$cache/src/ffmpeg/configure" --prefix="$cache/prefix" --arch=x86 --target-os=mingw32 \
    --cross-prefix=i686-w64-mingw32- --enable-cross-compile --disable-autodetect \
    --disable-everything --disable-programs --disable-doc --disable-debug --disable-avdevice \
    --disable-avfilter --disable-postproc --disable-swresample --enable-static --disable-shared \
    --enable-network --enable-w32threads --enable-protocol=tcp,udp,rtp --enable-demuxer=rtsp,rtp,sdp \
    --enable-decoder=h264,hevc,mjpeg --enable-parser=h264,hevc,mjpeg --enable-swscale >"$cache/configure.log"
}

build() { make -C "$cache/build" -j2 install >"$cache/make.log" 2>&1; }

step fetch
step configure
step build
echo "ffmpeg-win32: static libraries in $cache/prefix/lib" >&2
