#!/usr/bin/env bash
# The Debian package's tests, one step per ctest test:
#
#   package-test.sh build    BUILD DEB_DIR CPACK   cpack -G DEB of BUILD into DEB_DIR
#   package-test.sh lintian  DEB_DIR               lintian: no error
#   package-test.sh contents DEB_DIR SOURCE        files, modes, owners, control fields
#   package-test.sh resolves DEB_DIR               apt-get install --simulate resolves it
#   package-test.sh draws    DEB_DIR SCENARIO      the extracted qo draws the example
#   package-test.sh manpage  SOURCE                docs/qo.1 renders without a warning
#
# A tool that is missing fails the step (with the Debian package to install).
set -euo pipefail

fail() {
    echo "package-test: $*" >&2
    exit 1
}

# need PROGRAM PACKAGE: fails unless PROGRAM is on PATH.
need() {
    command -v "$1" >/dev/null 2>&1 || fail "$1 is missing: install $2 (make test does)"
}

# The one package in DEB_DIR, named qo_<version>_<arch>.deb.
the_package() {
    local folder=$1
    shopt -s nullglob
    local found=("$folder"/qo_*.deb)
    shopt -u nullglob
    [ ${#found[@]} -eq 1 ] || fail "expected one qo_*.deb in $folder, found ${#found[@]}" \
        "(run the package.build test first)"
    echo "${found[0]}"
}

# A temporary folder removed when the script ends.
work=""
scratch() {
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
}

step=${1:-}
shift || true
case "$step" in
build)
    build=$1 deb_dir=$2 cpack=$3
    need dpkg-shlibdeps dpkg-dev
    need dpkg-deb dpkg
    need file file
    need dpkg dpkg
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
    arch=$(dpkg --print-architecture)
    rm -rf "$deb_dir"
    "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$deb_dir"
    deb=$(the_package "$deb_dir")
    [ "$(basename "$deb")" = "qo_${version}_${arch}.deb" ] ||
        fail "the package is named $(basename "$deb"), not qo_${version}_${arch}.deb"
    ;;

lintian)
    deb=$(the_package "$1")
    need lintian lintian
    # Every tag, the informational ones too, so that the log shows what is
    # left; only errors (E:) fail.
    status=0
    output=$(lintian --display-info --pedantic --no-tag-display-limit "$deb" 2>&1) || status=$?
    [ -z "$output" ] || echo "$output"
    if grep -q '^E:' <<<"$output"; then
        fail "lintian reports errors"
    fi
    [ $status -eq 0 ] || fail "lintian ended with status $status"
    ;;

contents)
    deb=$(the_package "$1")
    source=$2
    need dpkg-deb dpkg
    need file file
    scratch
    faults=0
    fault() {
        echo "package-test: $*" >&2
        faults=$((faults + 1))
    }

    # Files (not folders), owners and modes, as dpkg-deb lists them.
    listing=$(dpkg-deb -c "$deb")
    echo "$listing"
    : >"$work/files"
    while read -r mode owner _size _date _time path rest; do
        [ -z "$rest" ] || fault "unexpected listing line: $mode $owner $path $rest"
        path=${path#./}
        [ "$owner" = root/root ] || fault "$path is owned by $owner, not root/root"
        case "$mode" in
        d*) [ "$mode" = drwxr-xr-x ] || fault "folder $path has mode $mode, not drwxr-xr-x" ;;
        -*)
            echo "$path" >>"$work/files"
            want=-rw-r--r--
            [ "$path" != usr/bin/qo ] || want=-rwxr-xr-x
            [ "$mode" = "$want" ] || fault "$path has mode $mode, not $want"
            ;;
        *) fault "$path is neither a file nor a folder ($mode)" ;;
        esac
    done <<<"$listing"
    sort -o "$work/files" "$work/files"
    grep -v '^#' "$source/tests/package/contents.txt" | sed '/^$/d' | sort >"$work/expected"
    if ! diff -u "$work/expected" "$work/files" >"$work/diff"; then
        fault "the files differ from tests/package/contents.txt (- expected, + packed):"
        cat "$work/diff" >&2
    fi

    # The control fields: placeholders that name nobody else, and Depends
    # worked out from the binary (the libraries qo links).
    version=$(grep -m1 -o 'project(qo VERSION [0-9.]*' "$source/CMakeLists.txt" | awk '{print $3}')
    check_field() {
        local value
        value=$(dpkg-deb -f "$deb" "$1")
        [ "$value" = "$2" ] || fault "control field $1 is '$value', not '$2'"
    }
    check_field Package qo
    check_field Version "$version"
    check_field Architecture "$(dpkg --print-architecture)"
    check_field Maintainer "qo maintainers <maintainers@qo.example>"
    check_field Homepage "https://qo.example/"
    check_field Section graphics
    check_field Priority optional
    # qo --record's videos: ffmpeg, an optional feature's program.
    check_field Suggests ffmpeg
    depends=$(dpkg-deb -f "$deb" Depends)
    for library in libc6 libx11-6 libxi6; do
        grep -Eq "(^|, )$library( |,|$)" <<<"$depends" ||
            fault "Depends ($depends) lacks $library: dpkg-shlibdeps did not run?"
    done
    # sed reads it all: head would end first, and dpkg-deb's later write
    # would die of SIGPIPE, failing the step under pipefail.
    synopsis=$(dpkg-deb -f "$deb" Description | sed -n 1p)
    [ "$synopsis" = "live GLSL shader viewer" ] || fault "the synopsis is '$synopsis'"

    # What the files hold: a stripped program, the tree's man page and
    # documents, the examples as they are in the tree.
    dpkg-deb -x "$deb" "$work/root"
    kind=$(file -b "$work/root/usr/bin/qo")
    case "$kind" in
    *ELF*", stripped"*) ;;
    *) fault "usr/bin/qo is not a stripped ELF program: $kind" ;;
    esac
    same() {
        cmp -s "$1" "$2" || fault "${1#"$work"/root/} differs from ${2#"$source"/}"
    }
    gzip -dc "$work/root/usr/share/man/man1/qo.1.gz" >"$work/qo.1"
    same "$work/qo.1" "$source/docs/qo.1"
    gzip -dc "$work/root/usr/share/doc/qo/changelog.gz" >"$work/changelog"
    same "$work/changelog" "$source/packaging/changelog"
    same "$work/root/usr/share/doc/qo/README.md" "$source/README.md"
    same "$work/root/usr/share/doc/qo/copyright" "$source/packaging/copyright"
    # The copyright file gives LICENSE's holder and text, in Debian's format
    # (the text of the stand-alone "License: Expat" paragraph, " ." for a
    # blank line).
    copyright=$work/root/usr/share/doc/qo/copyright
    holder=$(sed -n 's/^Copyright (c) //p' "$source/LICENSE")
    grep -qxF "Copyright: $holder" "$copyright" ||
        fault "the copyright file does not name '$holder' as LICENSE does"
    grep -qx "License: Expat" "$copyright" || fault "the copyright file has no License: Expat"
    awk '/^License: Expat$/ { text = 1; next } text && /^ / { print }' "$copyright" |
        sed 's/^ //; s/^\.$//' >"$work/licence-deb"
    sed -n '/^Permission is hereby granted/,$p' "$source/LICENSE" >"$work/licence"
    if [ ! -s "$work/licence" ] || ! cmp -s "$work/licence" "$work/licence-deb"; then
        fault "the copyright file's Expat text differs from LICENSE"
    fi
    for example in "$source"/examples/*; do
        same "$work/root/usr/share/doc/qo/examples/$(basename "$example")" "$example"
    done
    # The version the man page and the changelog name is the package's.
    grep -q "^\.TH QO 1 [0-9-]* \"qo $version\" " "$source/docs/qo.1" ||
        fault "docs/qo.1's .TH line does not name qo $version"
    [ "$(head -n1 "$source/packaging/changelog" | cut -d' ' -f1-2)" = "qo ($version)" ] ||
        fault "packaging/changelog's latest entry is not for $version"
    [ $faults -eq 0 ] || fail "$faults faults in the package"
    ;;

resolves)
    deb=$(the_package "$1")
    need apt-get apt
    # --simulate takes no lock and installs nothing; it fails when a
    # dependency can't be had from the configured sources.
    output=$(apt-get install --simulate --no-install-recommends "$deb" 2>&1) || {
        echo "$output"
        fail "apt-get cannot install $deb"
    }
    echo "$output"
    grep -q '^Inst qo ' <<<"$output" || fail "apt-get would not install qo"
    ;;

draws)
    deb=$(the_package "$1")
    scenario=$2
    need dpkg-deb dpkg
    scratch
    dpkg-deb -x "$deb" "$work/root"
    QO_TEST_VIEWER="$work/root/usr/bin/qo" \
        QO_PACKAGE_EXAMPLES="$work/root/usr/share/doc/qo/examples" "$scenario"
    ;;

manpage)
    source=$1
    need groff groff
    need mandoc mandoc
    for lint in "groff -ww -z -man" "mandoc -T lint -W all"; do
        status=0
        output=$($lint "$source/docs/qo.1" 2>&1) || status=$?
        if [ $status -ne 0 ] || [ -n "$output" ]; then
            echo "$output"
            fail "$lint docs/qo.1: status $status, the warnings above"
        fi
    done
    ;;

*)
    echo "usage: package-test.sh build|lintian|contents|resolves|draws|manpage ..." >&2
    exit 2
    ;;
esac
