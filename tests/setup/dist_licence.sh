#!/usr/bin/env bash
# make dist on a clone: the tarball and the zip each hold the licence
# (LICENSE, as in the tree) beside the program and the README, and the
# Debian package holds it as its copyright file.
. "$(dirname "$0")/lib.sh"
clone="$work/qo"
copy_tree "$clone"
if ! make -C "$clone" dist >"$work/dist.log" 2>&1; then
    tail -n 40 "$work/dist.log" >&2
    fail "make dist failed"
fi
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$clone/build/CMakeCache.txt")
dist="$clone/dist"
mkdir -p "$work/linux" "$work/windows" "$work/deb"
tar -xzf "$dist/qo-$version-linux-x86_64.tar.gz" -C "$work/linux" ||
    fail "cannot unpack the tarball"
python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' \
    "$dist/qo-$version-windows-x86_64.zip" "$work/windows" || fail "cannot unpack the zip"
for folder in "linux/qo-$version-linux-x86_64" "windows/qo-$version-windows-x86_64"; do
    cmp -s "$work/$folder/LICENSE" "$source_dir/LICENSE" || fail "$folder/LICENSE is not LICENSE"
    [ -f "$work/$folder/README.md" ] || fail "$folder has no README.md"
done
debs=("$dist"/qo_"$version"_*.deb)
dpkg-deb -x "${debs[0]}" "$work/deb" || fail "cannot unpack ${debs[0]}"
cmp -s "$work/deb/usr/share/doc/qo/copyright" "$source_dir/packaging/copyright" ||
    fail "the package's copyright file is not packaging/copyright"
grep -q "^License: Expat$" "$work/deb/usr/share/doc/qo/copyright" ||
    fail "the package's copyright file has no License: Expat"
finish
