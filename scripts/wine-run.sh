#!/usr/bin/env bash
# wine-run.sh PREFIX PROGRAM.exe [ARGS...]
# Runs a Windows program under Wine in the Wine prefix PREFIX, creating the
# prefix on first use (several runs at once share one creation). Used as the
# cross-compiling emulator of the Windows build's tests, and for running
# build-win/qo.exe by hand. The program's exit status is this script's.
set -euo pipefail
if [ $# -lt 2 ]; then
    echo "usage: wine-run.sh PREFIX PROGRAM.exe [ARGS...]" >&2
    exit 2
fi
prefix=$1
shift
if ! command -v wine >/dev/null 2>&1; then
    echo "wine-run.sh: wine is not installed (scripts/install-deps.sh wine wine64)" >&2
    exit 1
fi
mkdir -p "$(dirname "$prefix")"
prefix=$(cd "$(dirname "$prefix")" && pwd)/$(basename "$prefix")
export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
# No .NET and no Gecko: nothing here needs them, and their installers would
# ask to download.
export WINEDLLOVERRIDES="mscoree,mshtml="
(
    flock 9
    if [ ! -f "$prefix/system.reg" ]; then
        wineboot -i >/dev/null 2>&1
        wineserver -w
    fi
) 9>"$prefix.lock"
exec wine "$@"
