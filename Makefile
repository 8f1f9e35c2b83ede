# qo: the two commands of the README, and the ones around them.
#   make run    the viewer on the bundled example shaders
#   make test   every test, through ctest (Linux, then Windows under Wine)
#   make windows  build-win/qo.exe, cross-built with MinGW-w64
#   make dist   dist/qo-<version>-linux-x86_64.tar.gz, -windows-x86_64.zip and
#               qo_<version>_amd64.deb
#   make bench  the viewer against a bare GL loop (docs/performance.md)
BUILD ?= build
WIN_BUILD ?= build-win
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

# What building, running and testing need on Debian.
# libsystemd-dev: sd-bus, for F5 through the desktop portal on Wayland desktops.
BUILD_PACKAGES := cmake make g++ pkg-config libx11-dev libgl-dev libgl1-mesa-dri libglx-mesa0 \
                  zlib1g-dev libxi-dev libxtst-dev libsystemd-dev
# The F5 tests under headless sway with Xwayland (tests/wayland): the
# compositor, Xwayland, a virtual keyboard (wtype), a native Wayland window
# (wev), and what runs them as an unprivileged user (useradd from passwd,
# runuser from util-linux, stdbuf from coreutils).
WAYLAND_TEST_PACKAGES := sway xwayland wtype wev passwd util-linux coreutils
# dbus-daemon, python3-dbus, python3-gi, libglib2.0-bin (gdbus): the fake
# desktop portal of the portal scenarios on a private session bus;
# desktop-file-utils: the desktop entry's check.
PORTAL_TEST_PACKAGES := dbus dbus-daemon python3 python3-dbus python3-gi libglib2.0-bin \
                        desktop-file-utils
# The Debian package: cpack -G DEB runs dpkg-shlibdeps (dpkg-dev) on what
# `file` says is ELF.
DEB_PACKAGES := dpkg-dev file
# wine, wine64: the wine scenarios run qo.exe (Wine's X11 libraries come
# with WINDOWS_TEST_PACKAGES, which make test installs too). vim-nox: Vim
# reads the viewer's compile errors as a quickfix list (editor.* tests).
# dpkg-dev, file, lintian, groff, mandoc: the Debian package's tests (cpack
# with dpkg-shlibdeps, then Debian's checker) and the man page's lint.
TEST_PACKAGES := $(BUILD_PACKAGES) libgtest-dev xvfb xauth libxtst-dev libxi-dev openbox \
                 wine wine64 vim-nox $(WAYLAND_TEST_PACKAGES) $(PORTAL_TEST_PACKAGES) \
                 $(DEB_PACKAGES) lintian groff mandoc
# The Windows program and its tests: the cross compiler, GoogleTest's source,
# Wine, and the libraries Wine's X11 and OpenGL drivers load (only
# recommended by Wine's packages).
WINDOWS_PACKAGES := cmake make mingw-w64
WINDOWS_TEST_PACKAGES := $(WINDOWS_PACKAGES) googletest wine wine64 libgl1 libgl1-mesa-dri \
                         libxrender1 libxrandr2 libxi6 libxcursor1 libxfixes3 libxcomposite1 \
                         libxinerama1 libxxf86vm1
# dbus-daemon, python3-dbus, python3-gi: the bench's portal variant (QO_BENCH_PORTAL=1).
BENCH_PACKAGES := $(BUILD_PACKAGES) xvfb xauth valgrind python3 dbus-daemon python3-dbus \
                  python3-gi
BENCH_BUILD ?= build-bench
DIST_PACKAGES := $(BUILD_PACKAGES) $(WINDOWS_PACKAGES) $(DEB_PACKAGES) zip
WINDOWS_CONFIGURE := cmake -S . -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake

.PHONY: all deps test-deps build run test test-sanitizers clean windows windows-deps \
        windows-test-deps test-windows dist bench

all: build

deps:
	@scripts/install-deps.sh $(BUILD_PACKAGES)

test-deps:
	@scripts/install-deps.sh $(TEST_PACKAGES)

build: deps
	cmake -S . -B $(BUILD) -DQO_TESTS_REQUIRED=OFF
	cmake --build $(BUILD) -j $(JOBS)

run: build
	@scripts/run-example.sh $(BUILD)

windows-deps:
	@scripts/install-deps.sh $(WINDOWS_PACKAGES)

windows-test-deps:
	@scripts/install-deps.sh $(WINDOWS_TEST_PACKAGES)

windows: windows-deps
	$(WINDOWS_CONFIGURE) -DQO_TESTS_REQUIRED=OFF
	cmake --build $(WIN_BUILD) -j $(JOBS) --target qo

# The Windows build's unit tests, under Wine (a prefix in $(WIN_BUILD)).
test-windows: windows-test-deps
	$(WINDOWS_CONFIGURE) -DQO_TESTS=ON -DQO_TESTS_REQUIRED=ON
	cmake --build $(WIN_BUILD) -j $(JOBS)
	cd $(WIN_BUILD) && ctest --output-on-failure --timeout 600

dist:
	@scripts/install-deps.sh $(DIST_PACKAGES)
	$(MAKE) build windows
	scripts/make-dist.sh $(BUILD) $(WIN_BUILD)

# A few minutes of measures on a private Xvfb; figures only, no verdict.
bench:
	@scripts/install-deps.sh $(BENCH_PACKAGES)
	cmake -S . -B $(BENCH_BUILD) -DQO_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BENCH_BUILD) -j $(JOBS) \
	      --target qo qo_bench_bare qo_bench_swap_hook qo_bench_runner
	bench/run-bench.sh $(BENCH_BUILD)

# The unit tests, the Linux scenarios and the bad-input cases again, built
# with AddressSanitizer and UBSan into build-asan.
test-sanitizers: test-deps
	@scripts/test-sanitizers.sh build-asan

test: test-deps test-sanitizers test-windows
	cmake -S . -B $(BUILD) -DQO_TESTS=ON -DQO_TESTS_REQUIRED=ON \
	      -DQO_WINDOWS_EXE=$(abspath $(WIN_BUILD)/qo.exe)
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure --timeout 600

clean:
	rm -rf $(BUILD) $(WIN_BUILD) dist
