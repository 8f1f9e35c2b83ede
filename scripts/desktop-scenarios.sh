#!/usr/bin/env bash
# make desktop-scenarios, the part of make desktop-check that runs inside
# the root fresh-check.sh makes: installs the desktops' packages there,
# builds the viewer, and runs the scenarios on the real GNOME and KDE Plasma
# (tests/desktop/run_desktops.py).
#
#   scripts/desktop-scenarios.sh BUILD PACKAGE...
#
# It refuses to run anywhere else: a developer's own machine never gets the
# desktops' packages (fresh-check.sh marks its roots with /etc/qo-fresh-root).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -lt 1 ]; then
    echo "usage: desktop-scenarios.sh BUILD PACKAGE..." >&2
    exit 2
fi
build=$1
shift
if [ ! -e /etc/qo-fresh-root ] || [ "$(id -u)" -ne 0 ]; then
    echo "desktop-scenarios: this installs two desktops; it runs only as root inside the" \
        "root that make desktop-check makes (no /etc/qo-fresh-root here): run make desktop-check" >&2
    exit 2
fi
started=$(date +%s)
say() { echo "desktop-scenarios: $* ($(($(date +%s) - started)) s)"; }
# A root thrown away at the end: dpkg need not sync every file it unpacks,
# nor write the translations, manuals and documentation (a third of the
# desktops' files, 380 MB), which no scenario reads.
cat >/etc/dpkg/dpkg.cfg.d/qo-desktop-scenarios <<'END'
force-unsafe-io
path-exclude=/usr/share/locale/*
path-include=/usr/share/locale/locale.alias
path-exclude=/usr/share/doc/*
path-exclude=/usr/share/man/*
path-exclude=/usr/share/info/*
path-exclude=/usr/share/help/*
END
"$top/scripts/install-deps.sh" "$@"
say "$# packages and what they need installed"
mkdir -p "$build"
log="$build/desktop-scenarios-build.log"
cmake -S "$top" -B "$build" -DQO_TESTS=OFF -DQO_TESTS_REQUIRED=OFF >"$log" 2>&1 &&
    cmake --build "$build" -j "$(nproc)" --target qo >>"$log" 2>&1 || {
    tail -n 30 "$log" >&2
    exit 1
}
say "viewer built"
python3 "$top/tests/desktop/run_desktops.py" "$build"
