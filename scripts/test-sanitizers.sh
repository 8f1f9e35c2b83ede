#!/usr/bin/env bash
# Builds qo and its tests with AddressSanitizer + UndefinedBehaviorSanitizer
# (QO_SANITIZE) into build-asan, and runs the unit tests and the viewer's
# Linux scenarios through ctest under them. Any report fails the run: the
# sanitizers end the process with a failure status at the first error and
# at exit when memory leaked.
#
#   scripts/test-sanitizers.sh [build-folder] [ctest-regex]
#
# Default folder build-asan; default tests: the unit tests, the integration
# scenarios (linux., linux_keypoll.; linux.Shot. runs qo --shot off screen
# through EGL), the portal scenarios, the leak check's own cases (sanitizer.:
# a leak of the project's own is still reported under the suppressions) and
# the bad-input table, whose F5 cases rebuild hundreds of times. The 10,000-rebuild storm
# stays with the plain build: ASan's allocator keeps freed memory resident
# (quarantine, size-class caches), so resident memory measured under it means
# little. The sway cases stay with the plain build too: they run the viewer
# under stdbuf, whose preloaded library would come before ASan's runtime.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build-asan}
tests=${2:-^(unit|linux|linux_keypoll|portal|sanitizer)\.|^robust\.input}
jobs=${JOBS:-$(nproc 2>/dev/null || echo 2)}
case "$build" in /*) ;; *) build="$top/$build" ;; esac

cmake -S "$top" -B "$build" -DQO_SANITIZE=ON -DQO_TESTS=ON -DQO_TESTS_REQUIRED=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$jobs"

# Mesa unloads its driver (and the LLVM it links) when the viewer closes its
# display, before the leak check at exit: whatever the driver still held is
# then reported as leaked from an unknown module, and no suppression can name
# it. Loading the driver at start keeps it mapped to the end, so its memory
# stays reachable and its stacks keep their module names. Only the driver is
# preloaded; processes without the sanitizers (Xvfb) merely map it early.
driver=""
for candidate in /usr/lib/*/dri/swrast_dri.so /usr/lib64/dri/swrast_dri.so \
    /usr/lib/dri/swrast_dri.so; do
    if [ -f "$candidate" ]; then
        driver=$candidate
        break
    fi
done
if [ -z "$driver" ]; then
    echo "qo: no Mesa software driver (swrast_dri.so) found: install libgl1-mesa-dri" >&2
    exit 1
fi
export LD_PRELOAD="$driver${LD_PRELOAD:+ $LD_PRELOAD}"

# verify_asan_link_order=0: the preloaded driver comes before the ASan
# runtime in the library list, which is harmless here (it defines no
# allocator). halt_on_error: the first report ends the process.
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:verify_asan_link_order=0:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1"
export LSAN_OPTIONS="suppressions=$top/tests/sanitizer/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

cd "$build"
ctest --output-on-failure --no-tests=error --timeout 600 -R "$tests"
