#!/usr/bin/env bash
# Builds what the benchmarks need and runs them all, printing their tables:
# the driver end to end (bench/driver_bench) against libcurl + libjpeg-turbo,
# memcpy and a Python + OpenCV loop at 640×480 to 3840×2160, ten cameras,
# and an MJPEG camera against ffmpeg and GStreamer on the same stream; an
# RTSP camera against the ffmpeg command line, GStreamer and OpenCV
# (bench/rtsp_bench); and, when mingw-w64 and Wine are there, the Windows
# DLL under Wine (bench/wine_bench) against the Linux product, run in turn.
# Ratios, not times, are the results: both sides are measured in the same
# run. Each row shows its goal and "yes" or "NO"; "informational" rows
# explain another (a floor the libraries set, an older goal).
#
# Usage: tools/bench.sh [--quick]
# Build directories: $ORVELLA_BUILD_DIR (default build/native) and
# $ORVELLA_WIN32_BUILD_DIR (default build/win32).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${ORVELLA_BUILD_DIR:-$root/build/native}
win32=${ORVELLA_WIN32_BUILD_DIR:-$root/build/win32}

./tools/setup.sh
# The comparisons need Debian's OpenCV for the system Python, the ffmpeg
# command line, and GStreamer's libav decoders (decodebin in gst_rtsp.py).
if ! /usr/bin/python3 -c 'import cv2' 2>/dev/null || ! command -v ffmpeg >/dev/null ||
  [ ! -e /usr/lib/x86_64-linux-gnu/gstreamer-1.0/libgstlibav.so ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  echo "bench: installing python3-opencv ffmpeg gstreamer1.0-libav"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends python3-opencv ffmpeg \
    gstreamer1.0-libav >/dev/null
fi

echo "bench: building the Linux driver and the benchmarks in $build"
cmake --preset native -B "$build" >/dev/null
cmake --build "$build" --target driver_bench orvella-simcam orvella decode_bench rtsp_bench >/dev/null

args=(--python /usr/bin/python3 "$@")

if command -v i686-w64-mingw32-g++ >/dev/null && command -v wine >/dev/null; then
  echo "bench: building the Windows DLL and its benchmark in $win32"
  if cmake --preset win32 -B "$win32" >/dev/null && cmake --build "$win32" --target wine_bench orvella_rtsp >/dev/null; then
    wine_bench=$(find "$win32" -name wine_bench.exe -type f | head -n 1)
    [ -n "$wine_bench" ] && args+=(--wine-run "$root/cmake/wine-run.sh" --wine-bench "$wine_bench")
  else
    echo "bench: the Windows build failed; no Wine line"
  fi
fi

echo "bench: running (a few minutes; progress on stderr)"
"$build/bench/driver_bench" "${args[@]}"
rtsp_args=(--python /usr/bin/python3)
[ -n "${wine_bench:-}" ] && rtsp_args+=(--wine-run "$root/cmake/wine-run.sh" --wine-bench "$wine_bench")
"$build/bench/rtsp_bench" "${rtsp_args[@]}"
