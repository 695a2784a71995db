#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine needs, then checks that every
# program and Python module is there (stops with the missing package's name).
# Idempotent; quiet when everything is already present.
# Usage: tools/setup.sh [run|rtsp|all]          (default: all)
#   run   the main job: the Linux driver, the sample host, the simulated camera
#   rtsp  run, plus RTSP cameras (the FFmpeg module) and the simulated camera's
#         RTSP stream (GStreamer's RTSP server)
#   all   everything the tests of both products, their servers and tools use
set -euo pipefail
level=${1:-all}
case "$level" in run | rtsp | all) ;; *) echo "usage: $0 [run|rtsp|all]" >&2; exit 2 ;; esac

run_pkgs=(
  g++ cmake ninja-build ccache pkg-config
  libcurl4-openssl-dev libssl-dev libjpeg62-turbo-dev libturbojpeg0-dev libpng-dev libgdk-pixbuf-2.0-dev
)
rtsp_pkgs=(
  libavformat-dev libavcodec-dev libswscale-dev libavutil-dev
  libgnutls28-dev  # the module reads the certificates of Debian's FFmpeg's rtsps connections
  python3 python3-gi python3-numpy gir1.2-gst-rtsp-server-1.0 gstreamer1.0-plugins-base
  gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly
)
test_pkgs=(
  build-essential git libgtk-3-dev googletest libgtest-dev
  python3-pyftpdlib python3-pil lighttpd lighttpd-mod-openssl openssl
  python3-zeep python3-requests python3-lxml onvif-tools iproute2  # clients that check the ONVIF cameras (tests/servers/onvif_check.py)
  glib-networking  # TLS for GStreamer's RTSP server (rtsps)
  gstreamer1.0-libav  # decodebin's H.264 and H.265 decoders (bench/gst_rtsp.py)
  clang libclang-rt-14-dev
  g++-mingw-w64-i686-posix binutils-mingw-w64-i686
  nasm dpkg-dev  # libjpeg-turbo cross-built for the DLL (cmake/libjpeg-turbo-win32.sh)
  wine wine32:i386 xvfb xauth x11-utils imagemagick
  lintian
)

# What the tests, servers and tools run, as "package what": a program on the
# PATH, a Python module (py:NAME), a GStreamer element (gst:NAME) or a file.
run_checks=(
  "g++ g++" "cmake cmake" "ninja-build ninja" "pkg-config pkg-config"
  "libcurl4-openssl-dev /usr/include/x86_64-linux-gnu/curl/curl.h" "libssl-dev /usr/include/openssl/ssl.h"
  "libturbojpeg0-dev /usr/include/turbojpeg.h" "libpng-dev /usr/include/png.h"
  "libgdk-pixbuf-2.0-dev /usr/include/gdk-pixbuf-2.0/gdk-pixbuf/gdk-pixbuf.h"
)
rtsp_checks=(
  "libavformat-dev /usr/include/x86_64-linux-gnu/libavformat/avformat.h"
  "libswscale-dev /usr/include/x86_64-linux-gnu/libswscale/swscale.h"
  "libgnutls28-dev /usr/include/gnutls/gnutls.h"
  "python3 python3" "python3-numpy py:numpy" "python3-gi py:gi"
  "gir1.2-gst-rtsp-server-1.0 gi:GstRtspServer" "gstreamer1.0-plugins-base gst:videotestsrc"
  "gstreamer1.0-plugins-good gst:rtph264pay" "gstreamer1.0-plugins-bad gst:h265parse"
  "gstreamer1.0-plugins-ugly gst:x264enc" "gstreamer1.0-plugins-bad gst:x265enc"
)
test_checks=(
  "git git" "make make" "googletest /usr/src/googletest/CMakeLists.txt" "libgtk-3-dev /usr/include/gtk-3.0/gtk/gtk.h"
  "python3-pyftpdlib py:pyftpdlib" "python3-pil py:PIL" "lighttpd lighttpd"
  "lighttpd-mod-openssl /usr/lib/lighttpd/mod_openssl.so" "openssl openssl"
  "python3-zeep py:zeep" "python3-requests py:requests" "python3-lxml py:lxml" "onvif-tools onvif-util" "iproute2 ip"
  "glib-networking /usr/lib/x86_64-linux-gnu/gio/modules/libgiognutls.so"
  "gstreamer1.0-libav gst:avdec_h264" "gstreamer1.0-libav gst:avdec_h265"
  "clang clang++" "libclang-rt-14-dev /usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a"
  "g++-mingw-w64-i686-posix i686-w64-mingw32-g++-posix" "binutils-mingw-w64-i686 i686-w64-mingw32-objdump"
  "binutils-mingw-w64-i686 i686-w64-mingw32-windres" "nasm nasm" "dpkg-dev dpkg-source"
  "wine wine" "wine wineserver" "wine32:i386 /usr/lib/wine/wine" "wine32:i386 /usr/lib/i386-linux-gnu/wine/i386-windows/kernel32.dll"
  "xvfb xvfb-run" "xvfb Xvfb" "xauth xauth" "imagemagick import" "lintian lintian"
)

pkgs=("${run_pkgs[@]}")
checks=("${run_checks[@]}")
if [ "$level" != run ]; then pkgs+=("${rtsp_pkgs[@]}"); checks+=("${rtsp_checks[@]}"); fi
if [ "$level" = all ]; then pkgs+=("${test_pkgs[@]}"); checks+=("${test_checks[@]}"); fi

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -ne 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  echo "setup: installing ${missing[*]}"
  if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -q i386; then
    $SUDO dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# A package can be installed and still lack what we use (a renamed file, a
# plug-in split off): check the things themselves, with Debian's Python, which
# the test servers run on.
py=/usr/bin/python3
absent=()
for c in "${checks[@]}"; do
  pkg=${c%% *} what=${c#* }
  case "$what" in
    py:*) $py -c "import ${what#py:}" 2>/dev/null || absent+=("$pkg ($what)") ;;
    gi:*) $py -c "import gi; gi.require_version('${what#gi:}', '1.0'); from gi.repository import ${what#gi:}" \
            2>/dev/null || absent+=("$pkg ($what)") ;;
    gst:*) $py -c "import gi, sys; gi.require_version('Gst', '1.0'); from gi.repository import Gst; Gst.init(None)
sys.exit(0 if Gst.ElementFactory.find('${what#gst:}') else 1)" 2>/dev/null || absent+=("$pkg ($what)") ;;
    /*) [ -e "$what" ] || absent+=("$pkg ($what)") ;;
    *) command -v "$what" >/dev/null || absent+=("$pkg ($what)") ;;
  esac
done
if [ ${#absent[@]} -ne 0 ]; then
  printf 'setup: missing after install: %s\n' "${absent[@]}" >&2
  exit 1
fi
