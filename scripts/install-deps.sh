#!/usr/bin/env bash
# Installs the Debian packages given as arguments that are not installed yet,
# with apt-get, through sudo when not root. Fails, naming them, when packages
# can't be had.
#
# Runs at the same time (make -j, two dependency steps) take turns: the check
# and the install happen under a lock file. Where dpkg-query or apt-get is
# missing (not a Debian-like system), it prints what the build needs, by
# upstream and Debian name, and exits 0: the build goes on and CMake names
# whatever is still missing.
set -euo pipefail

# Upstream names of the Debian packages the Makefile lists.
upstream_name() {
    case "$1" in
        cmake) echo "CMake 3.20 or later" ;;
        make) echo "GNU make" ;;
        g++) echo "a C++17 compiler (GCC or Clang)" ;;
        pkg-config) echo "pkg-config" ;;
        libx11-dev) echo "libX11" ;;
        libgl-dev) echo "libGL (libglvnd)" ;;
        libopengl-dev) echo "libOpenGL (libglvnd)" ;;
        libgl1 | libglx-mesa0) echo "Mesa's GLX" ;;
        libgl1-mesa-dri) echo "Mesa's DRI drivers (llvmpipe)" ;;
        zlib1g-dev) echo "zlib" ;;
        libxi-dev) echo "libXi" ;;
        libxtst-dev) echo "libXtst" ;;
        libsystemd-dev) echo "libsystemd's sd-bus (optional: F5 on Wayland desktops)" ;;
        libegl-dev) echo "libEGL (libglvnd; qo --shot)" ;;
        libegl-mesa0) echo "Mesa's EGL (surfaceless platform; qo --shot)" ;;
        libpng-dev) echo "libpng 1.6 (qo --shot)" ;;
        sway) echo "sway" ;;
        xwayland) echo "Xwayland" ;;
        dbus | dbus-daemon) echo "D-Bus (dbus-daemon)" ;;
        dbus-bin) echo "D-Bus's tools (dbus-monitor)" ;;
        python3-dbus) echo "dbus-python" ;;
        python3-gi) echo "PyGObject" ;;
        libglib2.0-bin) echo "GLib's tools (gdbus)" ;;
        xdg-desktop-portal) echo "xdg-desktop-portal (the portal tests' real frontend)" ;;
        xdg-desktop-portal-kde) echo "xdg-desktop-portal-kde (KDE's portal backend, for the tests)" ;;
        libkf5globalaccel-bin) echo "KDE's kglobalaccel (kglobalaccel5, for the tests)" ;;
        vim-nox) echo "Vim" ;;
        dpkg-dev) echo "dpkg-dev (dpkg-shlibdeps)" ;;
        lintian) echo "lintian" ;;
        groff) echo "groff" ;;
        mandoc) echo "mandoc" ;;
        libgtest-dev) echo "GoogleTest" ;;
        googletest) echo "GoogleTest's source" ;;
        xvfb) echo "Xvfb" ;;
        xauth) echo "xauth" ;;
        mingw-w64) echo "MinGW-w64 (x86_64-w64-mingw32-g++)" ;;
        wine | wine64) echo "Wine" ;;
        libxrender1) echo "libXrender" ;;
        libxrandr2) echo "libXrandr" ;;
        libxi6) echo "libXi" ;;
        libxcursor1) echo "libXcursor" ;;
        libxfixes3) echo "libXfixes" ;;
        libxcomposite1) echo "libXcomposite" ;;
        libxinerama1) echo "libXinerama" ;;
        libxxf86vm1) echo "libXxf86vm" ;;
        *) echo "$1" ;;
    esac
}

if ! command -v dpkg-query >/dev/null 2>&1 || ! command -v apt-get >/dev/null 2>&1; then
    echo "qo: no apt-get/dpkg-query here; install these with your system's package manager:"
    for package in "$@"; do
        echo "  $(upstream_name "$package") (Debian: $package)"
    done
    echo "qo: going on with the build; CMake names what is still missing"
    exit 0
fi

missing_packages() {
    local package
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
            echo "$package"
        fi
    done
}

mapfile -t missing < <(missing_packages "$@")
[ ${#missing[@]} -eq 0 ] && exit 0

# One install at a time: a second apt-get started beside the first fails on
# dpkg's lock. The lock file is this user's own (the runs that meet here come
# from one make); apt itself also waits for a lock another program holds.
lock="${TMPDIR:-/tmp}/qo-install-deps.$(id -u).lock"
exec 9>>"$lock"
flock 9
mapfile -t missing < <(missing_packages "$@")
[ ${#missing[@]} -eq 0 ] && exit 0

echo "qo: installing ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
# sudo resets the environment: the setting goes through env, after sudo.
apt=("${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600)
if ! "${apt[@]}" update -qq; then
    echo "qo: apt-get update failed; could not install ${missing[*]}" >&2
    exit 1
fi
if ! "${apt[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; then
    echo "qo: apt-get install failed; could not install ${missing[*]}" >&2
    exit 1
fi
mapfile -t failed < <(missing_packages "${missing[@]}")
if [ ${#failed[@]} -ne 0 ]; then
    echo "qo: could not install ${failed[*]}" >&2
    exit 1
fi
