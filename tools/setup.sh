#!/usr/bin/env bash
# Installs everything a fresh Debian 12 machine needs to build and test both
# products. Idempotent; quiet when everything is already present.
set -euo pipefail

pkgs=(
  build-essential cmake ninja-build ccache pkg-config git
  libcurl4-openssl-dev libssl-dev libjpeg62-turbo-dev libturbojpeg0-dev libpng-dev
  libgtk-3-dev googletest libgtest-dev
  python3 python3-pyftpdlib python3-pil python3-numpy lighttpd lighttpd-mod-openssl openssl
  clang libclang-rt-14-dev
  g++-mingw-w64-i686-posix binutils-mingw-w64-i686
  nasm dpkg-dev  # libjpeg-turbo cross-built for the DLL (cmake/libjpeg-turbo-win32.sh)
  wine wine32:i386 xvfb xauth x11-utils imagemagick
  lintian
  libavformat-dev libavcodec-dev libswscale-dev libavutil-dev
  python3-gi gir1.2-gst-rtsp-server-1.0 gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly
)

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
echo "setup: installing ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -q i386; then
  $SUDO dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
