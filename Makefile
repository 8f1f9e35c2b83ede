# qo: the two commands of the README (make run, make test), and the ones
# around them. `make help` lists every target with one line each; `make`
# alone builds the viewer (all: build).
BUILD ?= build
# The Debian release make fresh-check makes its root of: 12 (bookworm) or 13 (trixie).
DEBIAN ?= 12
WIN_BUILD ?= build-win
# Folders as shell words, quoted: the clone may live in a folder whose name
# has a space ("qo space/").
Q = '$(subst ','\'',$(1))'

JOBS ?= $(shell nproc 2>/dev/null || echo 2)

# What building, running and testing need on Debian. libopengl-dev:
# libOpenGL.so, which CMake's OpenGL::OpenGL / OpenGL::GLX link with.
# libsystemd-dev: sd-bus, for F5 through the desktop portal on Wayland desktops.
# libegl-dev, libegl-mesa0 (Mesa's EGL, surfaceless platform), libpng-dev:
# qo --shot, off screen with no display.
BUILD_PACKAGES := cmake make g++ pkg-config libx11-dev libgl-dev libopengl-dev libgl1-mesa-dri \
                  libglx-mesa0 zlib1g-dev libxi-dev libxtst-dev libsystemd-dev \
                  libegl-dev libegl-mesa0 libpng-dev
# The F5 tests under headless sway with Xwayland (tests/wayland): the
# compositor, Xwayland, a virtual keyboard (wtype), a native Wayland window
# (wev), and what runs them as an unprivileged user (useradd from passwd,
# runuser from util-linux, stdbuf from coreutils).
WAYLAND_TEST_PACKAGES := sway xwayland wtype wev passwd util-linux coreutils
# The Debian release make runs on (VERSION_ID of /etc/os-release: 12, 13;
# empty elsewhere). Release-specific test cases follow it; so does
# tests/portal/CMakeLists.txt, by the same rule.
HOST_DEBIAN := $(shell . /etc/os-release 2>/dev/null && [ "$$ID" = debian ] && echo "$$VERSION_ID")
# dbus-daemon, python3-dbus, python3-gi, libglib2.0-bin (gdbus): the fake
# desktop portal of the portal scenarios on a private session bus; dbus-bin
# (dbus-monitor): what the real frontend sends;
# desktop-file-utils: the desktop entry's check. xdg-desktop-portal: the real
# frontend, which the portal scenarios also run against (and whose presence
# they must withstand). On Debian 12 only, xdg-desktop-portal-kde and
# libkf5globalaccel-bin (kglobalaccel5): KDE Plasma 5.27's backend, the
# desktop's shortcuts on an Xvfb of their own (without recommends, as every
# package here). Debian 13 ships Plasma 6.3, whose backend needs a whole
# desktop session: that case is in make desktop-check.
PLASMA5_PORTAL_TEST_PACKAGES := xdg-desktop-portal-kde libkf5globalaccel-bin
PORTAL_TEST_PACKAGES := dbus dbus-daemon dbus-bin python3 python3-dbus python3-gi libglib2.0-bin \
                        desktop-file-utils xdg-desktop-portal \
                        $(if $(filter 12,$(HOST_DEBIAN)),$(PLASMA5_PORTAL_TEST_PACKAGES))
# The one line make test ends with, passed or failed: the release-specific
# cases it ran, and where the others are.
ifeq ($(HOST_DEBIAN),12)
RELEASE_CASES := release-specific cases on Debian 12: ran portal.KdeBackend (KDE Plasma 5.27's \
                 backend with kglobalaccel5); the real desktops' cases (GNOME, KDE Plasma 6) \
                 are in make desktop-check
else
RELEASE_CASES := release-specific cases on Debian $(or $(HOST_DEBIAN),?): portal.KdeBackend \
                 (KDE Plasma 5.27) not built, this release has no Plasma 5.27; the real \
                 desktops' cases (GNOME, KDE Plasma 6, whose backend needs a whole desktop \
                 session) are in make desktop-check
endif
# The Debian package: cpack -G DEB runs dpkg-shlibdeps (dpkg-dev) on what
# `file` says is ELF.
DEB_PACKAGES := dpkg-dev file
# wine, wine64: the wine scenarios run qo.exe (Wine's X11 libraries come
# with WINDOWS_TEST_PACKAGES, which make test installs too). vim-nox: Vim
# reads the viewer's compile errors as a quickfix list (editor.* tests).
# dpkg-dev, file, lintian, groff, mandoc: the Debian package's tests (cpack
# with dpkg-shlibdeps, then Debian's checker) and the man page's lint.
# ffmpeg: qo --record's videos are made by it, and read back with its
# ffprobe and ffmpeg by the record scenarios.
TEST_PACKAGES := $(BUILD_PACKAGES) libgtest-dev xvfb xauth libxtst-dev libxi-dev openbox \
                 wine wine64 sudo vim-nox $(WAYLAND_TEST_PACKAGES) $(PORTAL_TEST_PACKAGES) \
                 $(DEB_PACKAGES) lintian groff mandoc ffmpeg
# The Windows program and its tests: the cross compiler, GoogleTest's source,
# Wine, and the libraries Wine's X11 and OpenGL drivers load (only
# recommended by Wine's packages).
WINDOWS_PACKAGES := cmake make mingw-w64
WINDOWS_TEST_PACKAGES := $(WINDOWS_PACKAGES) googletest wine wine64 libgl1 libgl1-mesa-dri \
                         libxrender1 libxrandr2 libxi6 libxcursor1 libxfixes3 libxcomposite1 \
                         libxinerama1 libxxf86vm1
# dbus-daemon, python3-dbus, python3-gi: the bench's portal variant (QO_BENCH_PORTAL=1).
# ffmpeg: qo --record's mp4 measures.
BENCH_PACKAGES := $(BUILD_PACKAGES) xvfb xauth valgrind python3 dbus-daemon python3-dbus time \
                  python3-gi ffmpeg
BENCH_BUILD ?= build-bench
DIST_PACKAGES := $(BUILD_PACKAGES) $(WINDOWS_PACKAGES) $(DEB_PACKAGES) zip
# make fresh-check, on the machine that runs it (the root it makes gets
# only git and make).
FRESH_CHECK_PACKAGES := debootstrap git
# make desktop-check: what its Debian 13 root gets (never the machine that
# runs it), with BUILD_PACKAGES. GNOME 48: the shell (Xwayland, Mutter's
# RemoteDesktop for keys and clicks, its screenshot interface), the portal
# and its GNOME backend, whose "Add Keyboard Shortcuts" dialog comes from
# gnome-control-center, and dconf, where the answer is kept. KDE Plasma 6.3:
# kwin_wayland with kglobalacceld, the portal's KDE backend (which needs
# qt6-wayland), kbuildsycoca6 (libkf6service-bin: KWin offers its
# fake-input protocol only to a program a desktop file names) and pywayland
# with Plasma's protocol files, to press keys through it. Both: the
# harness's python3 with dbus and GTK 4 (a window that takes the focus from
# the viewer; GdkPixbuf reads screenshots), gdbus, stdbuf.
DESKTOP_PACKAGES := gnome-shell xwayland xdg-desktop-portal xdg-desktop-portal-gnome \
                    gnome-control-center gnome-settings-daemon-common dconf-service dconf-cli \
                    dbus dbus-user-session kwin-wayland kglobalacceld xdg-desktop-portal-kde \
                    qt6-wayland libxcb-cursor0 libkf6service-bin python3-pywayland \
                    python3-cffi-backend plasma-wayland-protocols python3 python3-dbus \
                    python3-gi gir1.2-gtk-4.0 gir1.2-gdkpixbuf-2.0 libglib2.0-bin coreutils
DESKTOP_BUILD ?= build-desktop
WINDOWS_CONFIGURE := cmake -S . -B $(call Q,$(WIN_BUILD)) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake

.PHONY: all deps test-deps build run test test-sanitizers clean windows windows-deps \
        windows-test-deps test-windows dist bench fresh-check test-configure desktop-check \
        desktop-scenarios help

all: build

# One line per target, and the variables that change where they work.
help:
	@printf '%s\n' \
	  'qo: make TARGET [VARIABLE=VALUE ...]; make alone is make build.' \
	  '' \
	  '  run              install what is missing, build, run the viewer on examples/' \
	  '                   (headless: draw frame 240 with qo --shot into BUILD/example.png)' \
	  '  test             install what is missing, build everything, run every test through ctest' \
	  '                   (test-sanitizers and test-windows first); ends with the release line' \
	  '  build            the viewer and the screenshot tool in BUILD' \
	  '  windows          qo.exe in WIN_BUILD, cross-built with MinGW-w64' \
	  '  test-windows     the Windows build with its unit tests, run under Wine' \
	  '  test-sanitizers  unit tests, Linux and portal scenarios under ASan and UBSan (build-asan)' \
	  '  dist             dist/: the .tar.gz, the .zip and the Debian package' \
	  '  bench            the viewer against a bare GL loop, figures only (build-bench)' \
	  '  fresh-check      make run and make test in a minimal Debian root (DEBIAN=12 or 13;' \
	  '                   root or sudo)' \
	  '  desktop-check    F5 on the real GNOME 48 and KDE Plasma 6.3, headless, in a Debian 13' \
	  '                   root of its own (root or sudo)' \
	  '  desktop-scenarios  the desktops'"'"' packages and scenarios (inside that root only)' \
	  '  deps, test-deps, windows-deps, windows-test-deps' \
	  '                   install the Debian packages of build, test, windows, test-windows' \
	  '  test-configure   the configure step of make test alone' \
	  '  clean            remove BUILD, WIN_BUILD and dist/' \
	  '  help             this list' \
	  '' \
	  'Variables: BUILD=DIR (build), WIN_BUILD=DIR (build-win), JOBS=N (nproc),' \
	  'DEBIAN=12|13 (fresh-check), QO_FRESH_MIRROR=URL (the Debian mirror of the checks).' \
	  'How the tests and the checks work: CONTRIBUTING.md.'

deps:
	@scripts/install-deps.sh $(BUILD_PACKAGES)

test-deps:
	@scripts/install-deps.sh $(TEST_PACKAGES)

# The viewer and the screenshot tool only (what make run runs); make test
# builds the tests.
build: deps
	cmake -S . -B $(call Q,$(BUILD)) -DQO_TESTS=OFF -DQO_TESTS_REQUIRED=OFF \
	      -DQO_SCREENSHOT_REQUIRED=ON
	cmake --build $(call Q,$(BUILD)) -j $(JOBS) --target qo qo_screenshot

run: build
	@scripts/run-example.sh $(call Q,$(BUILD))

windows-deps:
	@scripts/install-deps.sh $(WINDOWS_PACKAGES)

windows-test-deps:
	@scripts/install-deps.sh $(WINDOWS_TEST_PACKAGES)

windows: windows-deps
	$(WINDOWS_CONFIGURE) -DQO_TESTS_REQUIRED=OFF
	cmake --build $(call Q,$(WIN_BUILD)) -j $(JOBS) --target qo

# The Windows build's unit tests, under Wine (a prefix in $(WIN_BUILD)).
test-windows: windows-test-deps
	$(WINDOWS_CONFIGURE) -DQO_TESTS=ON -DQO_TESTS_REQUIRED=ON
	cmake --build $(call Q,$(WIN_BUILD)) -j $(JOBS)
	cd $(call Q,$(WIN_BUILD)) && ctest --output-on-failure --timeout 600

dist:
	@scripts/install-deps.sh $(DIST_PACKAGES)
	$(MAKE) build windows
	scripts/make-dist.sh $(call Q,$(BUILD)) $(call Q,$(WIN_BUILD))

# A few minutes of measures on a private Xvfb; figures only, no verdict.
bench:
	@scripts/install-deps.sh $(BENCH_PACKAGES)
	cmake -S . -B $(call Q,$(BENCH_BUILD)) -DQO_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(call Q,$(BENCH_BUILD)) -j $(JOBS) \
	      --target qo qo_bench_bare qo_bench_bare_shot qo_bench_swap_hook qo_bench_runner \
	      qo_bench_seek
	bench/run-bench.sh $(call Q,$(BENCH_BUILD))

# The unit tests, the Linux scenarios and the bad-input cases again, built
# with AddressSanitizer and UBSan into build-asan.
test-sanitizers: test-deps
	@scripts/test-sanitizers.sh build-asan

# qo.exe's full path: $(abspath) would split a folder name at its spaces.
WIN_EXE = $(if $(filter /%,$(WIN_BUILD)),$(WIN_BUILD),$(CURDIR)/$(WIN_BUILD))/qo.exe

TEST_CONFIGURE = cmake -S . -B $(call Q,$(BUILD)) -DQO_TESTS=ON -DQO_TESTS_REQUIRED=ON \
                 -DQO_WINDOWS_EXE=$(call Q,$(WIN_EXE))

# The configure step of make test alone (tests/setup checks it).
test-configure:
	$(TEST_CONFIGURE)

test: test-deps test-sanitizers test-windows
	$(TEST_CONFIGURE)
	cmake --build $(call Q,$(BUILD)) -j $(JOBS)
	cd $(call Q,$(BUILD)) && ctest --output-on-failure --timeout 600; status=$$?; \
	    echo "qo: $(strip $(RELEASE_CASES))"; exit $$status

# The two commands above on a machine that has nothing else: a minimal
# Debian root (DEBIAN=12, the default, or DEBIAN=13 for Debian 13; debootstrap),
# git and make, this commit cloned into it as
# /root/qo (mode 0700, as a root user's clone), then make run (headless) and
# make test in it. Needs root (or sudo); QO_FRESH_MIRROR=URL picks the mirror.
fresh-check:
	@scripts/install-deps.sh $(FRESH_CHECK_PACKAGES)
	QO_DEBIAN=$(DEBIAN) scripts/fresh-check.sh build-fresh$(if $(filter-out 12,$(DEBIAN)),-$(DEBIAN))

# F5 pressed in the real GNOME 48 and KDE Plasma 6.3 (Debian 13's), headless,
# while the viewer's window is not focused: a Debian 13 root made as for
# make fresh-check DEBIAN=13, and make desktop-scenarios run in it. Needs
# root (or sudo).
desktop-check:
	@scripts/install-deps.sh $(FRESH_CHECK_PACKAGES)
	QO_DEBIAN=13 scripts/fresh-check.sh build-desktop-check 'make desktop-scenarios'

# Inside that root only (it refuses elsewhere): the desktops' packages, the
# viewer, the scenarios (tests/desktop).
desktop-scenarios:
	@scripts/desktop-scenarios.sh $(call Q,$(DESKTOP_BUILD)) $(BUILD_PACKAGES) $(DESKTOP_PACKAGES)

clean:
	rm -rf $(call Q,$(BUILD)) $(call Q,$(WIN_BUILD)) dist
