#!/usr/bin/env bash
# make-dist.sh LINUX_BUILD WINDOWS_BUILD
# Packs the two built programs with README.md, LICENSE, examples/ and docs/
# (the README's picture and the pages it links to, the manual page) into
#   dist/qo-<version>-linux-x86_64.tar.gz
#   dist/qo-<version>-windows-x86_64.zip
# each holding one folder qo-<version>-<platform>/ with the program at its
# top, and makes the Debian package of the Linux build with CPack
#   dist/qo_<version>_<arch>.deb
# The version is CMake's project(VERSION). The programs come from
# `cmake --install --strip` of each build, so the archives hold what an
# install gives.
set -euo pipefail
if [ $# -ne 2 ]; then
    echo "usage: make-dist.sh LINUX_BUILD WINDOWS_BUILD" >&2
    exit 2
fi
top=$(cd "$(dirname "$0")/.." && pwd)
linux_build=$(cd "$1" && pwd)
windows_build=$(cd "$2" && pwd)

version_of() {
    sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$1/CMakeCache.txt"
}
version=$(version_of "$linux_build")
if [ -z "$version" ] || [ "$version" != "$(version_of "$windows_build")" ]; then
    echo "make-dist.sh: the two builds disagree on the version (or have none):" \
        "'$version' and '$(version_of "$windows_build")'; configure both again" >&2
    exit 1
fi

dist="$top/dist"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$dist"

# stage PLATFORM BUILD PROGRAM: stages qo-<version>-PLATFORM/ in $work.
stage() {
    local platform=$1 build=$2 program=$3
    local folder="$work/qo-$version-$platform"
    cmake --install "$build" --prefix "$work/install-$platform" --strip >/dev/null
    mkdir -p "$folder"
    cp "$work/install-$platform/bin/$program" "$folder/"
    cp "$top/README.md" "$top/LICENSE" "$folder/"
    cp -R "$top/examples" "$folder/"
    # The README's picture and the pages it links to.
    cp -R "$top/docs" "$folder/"
}

stage linux-x86_64 "$linux_build" qo
stage windows-x86_64 "$windows_build" qo.exe

linux_archive="$dist/qo-$version-linux-x86_64.tar.gz"
windows_archive="$dist/qo-$version-windows-x86_64.zip"
rm -f "$linux_archive" "$windows_archive"
tar -C "$work" -czf "$linux_archive" --owner=0 --group=0 "qo-$version-linux-x86_64"
(cd "$work" && zip -q -r -X "$windows_archive" "qo-$version-windows-x86_64")

# The Debian package: the Linux build's install rules, stripped, with the
# dependencies dpkg-shlibdeps finds (CMakeLists.txt's packaging section);
# the licence is in its copyright file.
cpack -G DEB --config "$linux_build/CPackConfig.cmake" -B "$work/deb" >/dev/null
debs=("$work"/deb/qo_"$version"_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    echo "make-dist.sh: cpack made no qo_${version}_*.deb" >&2
    exit 1
fi
deb="$dist/$(basename "${debs[0]}")"
rm -f "$deb"
cp "${debs[0]}" "$deb"

echo "$linux_archive"
echo "$windows_archive"
echo "$deb"
