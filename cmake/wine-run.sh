#!/bin/sh
# Usage: wine-run.sh PREFIX PROGRAM [ARGS...]
# Runs a Windows program of the cross build under Wine with a private prefix.
set -e
prefix="$1"; shift
if [ -x /usr/bin/wine ]; then launcher=/usr/bin/wine; else launcher=/usr/lib/wine/wine64; fi
export WINEPREFIX="$prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
exec "$launcher" "$@"
