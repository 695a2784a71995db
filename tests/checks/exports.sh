#!/bin/sh
# The library exports exactly the 17 names of src/driver/exports.txt,
# undecorated, and Orvella.h declares exactly those; the DLL and its RTSP
# module need no DLL beyond Windows' own.
# Usage: exports.sh BUILD_DIR PLATFORM SOURCE_DIR
set -eu
build=$1
platform=$2
driver=$3/src/driver
sorted() { sort | tr '\n' ' ' | sed 's/ $//'; }
# The build's own file, never a copy staged for a package.
built() { find "$build" -path "$build/packages" -prune -o -name "$1" -print | head -n 1; }
expected=$(grep -E '^[A-Za-z_]' "$driver/exports.txt" | sorted)
declared=$(sed -n 's/^ORVELLA_API .* ORVELLA_CALL \([A-Za-z_0-9]*\)(.*/\1/p' "$driver/Orvella.h" | sorted)

if [ "$(echo "$expected" | wc -w)" -ne 17 ]; then
  echo "exports.txt lists $(echo "$expected" | wc -w) names, not 17"
  exit 1
fi
if [ "$declared" != "$expected" ]; then
  echo "Orvella.h and exports.txt differ"
  echo "exports.txt: $expected"
  echo "Orvella.h:   $declared"
  exit 1
fi

if [ "$platform" = win32 ]; then
  # A DLL's export names, and a failure for any DLL it needs that is not Windows' own.
  exported() { sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | tail -n +2 | grep -o '\] [A-Za-z_@0-9?]*$' | cut -c3- | sorted; }
  windows_only() {
    for d in $(i686-w64-mingw32-objdump -p "$1" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u); do
      case "$d" in
        kernel32.dll|user32.dll|gdi32.dll|ole32.dll|oleaut32.dll|wininet.dll|crypt32.dll|gdiplus.dll|comctl32.dll|msvcrt.dll|advapi32.dll|shell32.dll|ws2_32.dll|bcrypt.dll|secur32.dll|api-ms-win-*) ;;
        *) echo "$(basename "$1") depends on $d, which is not part of Windows"; exit 1 ;;
      esac
    done
  }
  dll=$(built Orvella.dll)
  windows_only "$dll"
  actual=$(i686-w64-mingw32-objdump -p "$dll" | exported)
  # The RTSP module beside it: one entry point, FFmpeg and the runtime linked in.
  module=$(dirname "$dll")/orvella/orvella-rtsp.dll
  windows_only "$module"
  [ "$(i686-w64-mingw32-objdump -p "$module" | exported)" = orvellaRtspGetApi ] ||
    { echo "orvella-rtsp.dll must export orvellaRtspGetApi alone"; exit 1; }
else
  so=$(built liborvella.so)
  actual=$(nm -D --defined-only "$so" | awk '$2 ~ /^[TW]$/ {print $3}' | sorted)
fi

if [ "$actual" != "$expected" ]; then
  echo "exports differ"
  echo "expected: $expected"
  echo "actual:   $actual"
  exit 1
fi
echo "17 exports, undecorated"
