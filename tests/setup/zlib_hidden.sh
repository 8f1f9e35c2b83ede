#!/usr/bin/env bash
# The plain build (cmake -S . -B b && cmake --build b) with zlib hidden
# gives qo and says at configure time what it leaves out; with the tests or
# the screenshot tool required, the missing zlib stops the configure step
# and is named.
. "$(dirname "$0")/lib.sh"
build="$work/plain"
if ! cmake -S "$source_dir" -B "$build" -DCMAKE_DISABLE_FIND_PACKAGE_ZLIB=ON \
    >"$work/configure.log" 2>&1; then
    cat "$work/configure.log" >&2
    fail "configure without zlib failed"
else
    grep -q "zlib not found.*building the viewer only" "$work/configure.log" ||
        fail "configure did not say what it leaves out without zlib"
    if ! cmake --build "$build" -j 2 >"$work/build.log" 2>&1; then
        tail -n 40 "$work/build.log" >&2
        fail "build without zlib failed"
    fi
    [ -x "$build/qo" ] || fail "no qo after the build without zlib"
    [ ! -e "$build/qo_screenshot" ] || fail "qo_screenshot built without zlib"
fi

# What needs the screenshot tool: make test (the tests required) and make
# run (the tool required).
for required in "-DQO_TESTS=ON -DQO_TESTS_REQUIRED=ON" "-DQO_TESTS=OFF -DQO_SCREENSHOT_REQUIRED=ON"; do
    rm -rf "$work/required"
    # shellcheck disable=SC2086
    if cmake -S "$source_dir" -B "$work/required" -DCMAKE_DISABLE_FIND_PACKAGE_ZLIB=ON $required \
        >"$work/required.log" 2>&1; then
        fail "configure with $required passed without zlib"
    else
        grep -q "zlib is missing: install zlib1g-dev" "$work/required.log" || {
            cat "$work/required.log" >&2
            fail "the configure with $required that failed does not name zlib"
        }
    fi
done
finish
