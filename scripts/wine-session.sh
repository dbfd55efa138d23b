#!/bin/sh
# Usage: wine-session.sh BUILD_DIR COMMAND...
# Prepares the build's private Wine prefix, runs COMMAND, then stops the Wine
# server so that no Wine process outlives the run.
set -e
build="$1"; shift
export WINEPREFIX="$(cd "$build" && pwd)/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ -x /usr/bin/wine ]; then launcher=/usr/bin/wine; else launcher=/usr/lib/wine/wine64; fi
wineserver=/usr/bin/wineserver
[ -x "$wineserver" ] || wineserver=/usr/lib/wine/wineserver64
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Creating Wine prefix in $WINEPREFIX"
    "$launcher" wineboot -i >/dev/null 2>&1 </dev/null || true
fi
# A persistent server, and Wine's own background services started now with
# their output detached: otherwise the first test would start them holding its
# output pipe open, and CTest would wait for them.
"$wineserver" -p >/dev/null 2>&1 </dev/null || true
"$launcher" wineboot >/dev/null 2>&1 </dev/null || true
status=0
"$@" || status=$?
"$wineserver" -k >/dev/null 2>&1 || true
exit $status
