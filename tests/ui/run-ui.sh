#!/bin/sh
# Runs the UI test program; called inside xvfb-run.
# Usage: run-ui.sh <emulator or ""> <program> [args...]
#
# Under Wine the program gets a prefix of its own whose windows are not left
# to a window manager: Xvfb has none, and Wine would wait 2 s for one each
# time a managed window is hidden. Unmanaged, Wine also draws the captions,
# so the screenshots show the title bar.
emulator=$1
shift
if [ -n "$emulator" ]; then
  : "${WINEPREFIX:?WINEPREFIX must name the prefix of the UI tests}"
  export WINEPREFIX WINEDEBUG=-all
  if [ ! -f "$WINEPREFIX/.orvella-unmanaged" ]; then
    # through the emulator: it creates the prefix on first use
    "$emulator" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 &&
      touch "$WINEPREFIX/.orvella-unmanaged"
  fi
  # The server and the session's services outlive the run (the server is
  # persistent): start them here, away from the test's output, or they would
  # hold it open and the test runner would wait for them forever.
  wineserver -p >/dev/null 2>&1
  wine wineboot >/dev/null 2>&1
  exec "$emulator" "$@"
fi
exec "$@"
