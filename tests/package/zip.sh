#!/bin/sh
# The Windows zip as a user gets it: made from the install rules, exactly the
# files it promises, a stripped DLL and RTSP module (their debug information
# left in the build tree), its README's first command works (under Wine,
# orvella-host.exe starts orvella-simcam.exe beside it and saves the images
# it grabs), and the DLL finds its RTSP module.
# Usage: zip.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1
source=$2
fail() { echo "zip: $*"; exit 1; }

cmake --build "$build" --target package >"$build/package.log" 2>&1 || { cat "$build/package.log"; fail "no package"; }
zip=$(ls "$build"/packages/Orvella-*-win32.zip)
version=$(basename "$zip" -win32.zip | sed 's/^Orvella-//')

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && cmake -E tar xf "$zip")
dir=$work/Orvella-$version-win32
files=$(cd "$dir" && ls | tr '\n' ' ')
[ "$files" = "Orvella.dll Orvella.h Orvella.ini README.txt orvella orvella-host.exe orvella-simcam.exe " ] ||
  fail "unexpected files: $files"
[ "$(ls "$dir/orvella")" = orvella-rtsp.dll ] || fail "unexpected files in orvella/: $(ls "$dir/orvella")"
for dll in Orvella.dll orvella/orvella-rtsp.dll; do
  name=$(basename "$dll")
  if i686-w64-mingw32-objdump -h "$dir/$dll" | grep -q '\.debug_'; then fail "$name is not stripped"; fi
  i686-w64-mingw32-objdump -h "$(find "$build" -name "$name.debug" | head -n 1)" | grep -q '\.debug_info' ||
    fail "no $name.debug with the debug information in the build tree"
done

wine() { WINEPREFIX=$build/wineprefix sh "$source/cmake/wine-run.sh" "$@"; }
(cd "$dir" && wine orvella-host.exe --version) | tr -d '\r' >"$work/version.out"
cat "$work/version.out"
grep -qx "orvella-host $version" "$work/version.out" || fail "the host does not print its version $version"
grep -q "^driver .*Orvella.dll $version\$" "$work/version.out" || fail "the DLL's version resource is not $version"

# The README's first command, run from the unpacked folder.
(cd "$dir" && wine orvella-host.exe) | tr -d '\r' | tail -n 1
first=$dir/orvella-images/image-0001.bmp
[ -f "$first" ] && [ "$(head -c 2 "$first")" = BM ] || fail "orvella-host.exe saved no image"

# The RTSP module is found in its folder: a camera nobody answers fails for
# want of an answer, not of the module.
(cd "$dir" && wine orvella-host.exe --url rtsp://127.0.0.1:9/x --count 2 --timeout-ms 3000 --verbose 2>&1) |
  tr -d '\r' | grep 'ERR: ' >"$work/rtsp.out" || true
head -n 1 "$work/rtsp.out"
grep -q 'reason: ' "$work/rtsp.out" || fail "an RTSP camera that never answers logs no failure"
if grep -q 'RTSP needs' "$work/rtsp.out"; then fail "orvella/orvella-rtsp.dll is not found in the unpacked folder"; fi
echo "zip: $zip passes"
