#!/bin/sh
# Runs a Windows program under Wine with a private prefix under the build tree.
# The wineserver is kept alive (-p) so later test programs start quickly.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
if [ -z "$WINEPREFIX" ]; then
  # the program lives somewhere below the build tree: find its top (CMakeCache.txt)
  d=$(cd "$(dirname "$1")" && pwd)
  while [ "$d" != "/" ] && [ ! -f "$d/CMakeCache.txt" ]; do d=$(dirname "$d"); done
  [ "$d" = "/" ] && d=${TMPDIR:-/tmp}
  export WINEPREFIX="$d/wineprefix"
fi
if [ ! -d "$WINEPREFIX" ]; then
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1
fi
wineserver -p >/dev/null 2>&1
# The session's services live as long as the persistent server: start them
# away from the test's output, or ctest would wait for them to close it.
wine wineboot >/dev/null 2>&1
exec wine "$@"
