#!/usr/bin/env bash
# Soak and churn under ThreadSanitizer: ten cameras at 60 images/s against a
# server failing 10 % of its answers, with cameras closed and reopened all the
# time, for N minutes (default 10). Not part of tools/test.sh.
# Usage: tools/soak.sh [minutes] [build dir]   (other options: see bench/soak.cpp)
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-10}
build=${2:-build/soak-tsan}
cmake --preset tsan -B "$build" -DORVELLA_BENCH=ON >/dev/null
nice cmake --build "$build" -j "$(nproc)" --target soak
export TSAN_OPTIONS="suppressions=$PWD/tests/sanitizers/tsan.supp:second_deadlock_stack=1"
exec /usr/bin/python3 tests/servers/with_servers.py -- "$build/bench/soak" --minutes "$minutes"
