#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine and runs every test of both products:
# the Linux library (plain, ASan+UBSan, TSan) and the Windows DLL under Wine,
# with the .deb and the zip built from those builds and tried (ctest label
# "package"), then a 20 s smoke run of each fuzzer (fuzz/; long runs: see
# fuzz/smoke.sh).
# The clang preset checks the lock annotations and runs the unit tests on the
# scalar pixel paths.
# Usage: tools/test.sh [preset...]   (default: native win32 asan tsan clang fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."
./tools/setup.sh

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(native win32 asan tsan clang fuzz)

failed=()
for preset in "${presets[@]}"; do
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)"
  echo "=== $preset: test"
  if ! ctest --preset "$preset"; then
    failed+=("$preset")
  fi
done

# Stop the Wine server the Windows tests kept alive.
command -v wineserver >/dev/null && for p in build/*/wineprefix; do
  [ -d "$p" ] && WINEPREFIX="$PWD/$p" wineserver -k 2>/dev/null || true
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "FAILED presets: ${failed[*]}"
  exit 1
fi
echo "all presets passed: ${presets[*]}"
