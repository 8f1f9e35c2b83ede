#!/usr/bin/env bash
# The Wine prefix the wine scenarios share during one ctest run.
#   wine_prefix.sh create DIR   makes a fresh prefix in DIR (wineboot -i)
#   wine_prefix.sh remove DIR   ends its wineserver and deletes DIR
# Made without a display, so no dialog can show; no Mono or Gecko installer
# is offered (WINEDLLOVERRIDES). Its graphics driver is X11 alone: the
# scenarios run on X servers, and Wine 10 (Debian 13) would otherwise try
# its Wayland driver where X11 fails, whose library writes a line of its own
# on stderr ("XDG_RUNTIME_DIR is invalid or not set"). Fails when Wine is
# missing.
set -euo pipefail
action=${1:?usage: wine_prefix.sh create|remove DIR}
prefix=${2:?usage: wine_prefix.sh create|remove DIR}
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

for tool in wine wineboot wineserver; do
    if ! command -v "$tool" >/dev/null; then
        echo "wine_prefix.sh: $tool is missing: install wine and wine64" >&2
        exit 1
    fi
done

case "$action" in
create)
    if [ -d "$prefix" ]; then
        wineserver -k 2>/dev/null || true
        wineserver -w 2>/dev/null || true
        rm -rf "$prefix"
    fi
    mkdir -p "$(dirname "$prefix")"
    wineboot -i
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d x11 /f >/dev/null
    wineserver -w
    if [ ! -f "$prefix/system.reg" ]; then
        echo "wine_prefix.sh: wineboot made no prefix in $prefix" >&2
        exit 1
    fi
    echo "wine_prefix.sh: prefix ready in $prefix"
    ;;
remove)
    if [ -d "$prefix" ]; then
        wineserver -k 2>/dev/null || true
        wineserver -w 2>/dev/null || true
        rm -rf "$prefix"
    fi
    ;;
*)
    echo "usage: wine_prefix.sh create|remove DIR" >&2
    exit 2
    ;;
esac
