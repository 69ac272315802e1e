#!/usr/bin/env bash
# Runs a test command against the Windows build under Wine, in a prefix of the
# tests' own under that build, with one wineserver kept alive for the run.
#   run_under_wine.sh WINDOWS_BUILD_DIR COMMAND...
set -u
export WINEDEBUG=-all WINEPREFIX="$(cd "$1" && pwd)/wineprefix" LANG=C.UTF-8 LC_ALL=C.UTF-8 WINEDLLOVERRIDES="mscoree,mshtml="
shift
[ -f "$WINEPREFIX/system.reg" ] || { wineboot -i >/dev/null 2>&1 </dev/null; wineserver -w; }
wineserver -p
# The first program in a fresh server starts Wine's background services; they
# must not inherit the pipes a test reads the program's output through.
wine cmd.exe /c exit </dev/null >/dev/null 2>&1
"$@"
status=$?
wineserver -k
exit $status
