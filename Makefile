# qo: the two commands of the README, and the ones around them.
#   make run    the viewer on the bundled example shaders
#   make test   every test, through ctest
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

# What building, running and testing need on Debian.
BUILD_PACKAGES := cmake make g++ pkg-config libx11-dev libgl-dev libgl1-mesa-dri libglx-mesa0 \
                  zlib1g-dev
TEST_PACKAGES := $(BUILD_PACKAGES) libgtest-dev xvfb xauth libxtst-dev libxi-dev openbox

.PHONY: all deps test-deps build run test test-sanitizers clean

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

# The unit tests and the Linux scenarios again, built with AddressSanitizer
# and UBSan into build-asan.
test-sanitizers: test-deps
	@scripts/test-sanitizers.sh build-asan

test: test-deps test-sanitizers
	cmake -S . -B $(BUILD) -DQO_TESTS=ON -DQO_TESTS_REQUIRED=ON
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure --timeout 600

clean:
	rm -rf $(BUILD)
