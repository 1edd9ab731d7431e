# A thin wrapper around CMake: `make`, `make test`, `make demo`, `make install`.
PREFIX ?= /usr/local
DESTDIR ?=
BUILD ?= build
CMAKE_FLAGS ?=

.PHONY: all build deps configure need-root test check check-unit format-check sanitize fuzz demo install package package-check system-test clean
FUZZ_SECONDS ?= 30

all: build

deps:
	scripts/install-deps

configure:
	@if [ ! -f $(BUILD)/CMakeCache.txt ]; then \
		cmake -S . -B $(BUILD) -G Ninja -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_FLAGS); \
	fi

build: configure
	cmake --build $(BUILD)

# Everything CI runs: the formatting, the suite, the suite again under the
# sanitizers, a bounded run of every fuzz target, and the package installed
# and removed.
test: need-root deps
	$(MAKE) format-check
	$(MAKE) rules-check
	$(MAKE) check
	$(MAKE) sanitize
	$(MAKE) fuzz
	$(MAKE) package-check
	$(MAKE) system-test

check: need-root build
	ctest --test-dir $(BUILD) --output-on-failure -j2

# The unit tests that need no root, for a quick run as any user.
check-unit: build
	ctest --test-dir $(BUILD) --output-on-failure -j2 -L unit -LE root

# Run as anyone else, the suites that need root would skip themselves and the
# run would still end green.
need-root:
	@[ "$$(id -u)" -eq 0 ] || { echo "make: the test suites need root (they attach loop devices, mount file systems and create /dev nodes); make check-unit runs the unit tests that do not" >&2; exit 1; }

# Fails when a tracked C++ file differs from what .clang-format makes of it.
format-check:
	git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror

# The shipped Prometheus alerts: valid, and firing when and only when they should.
.PHONY: rules-check
rules-check:
	promtool check rules dist/prometheus/qor-verify-alerts.yml
	promtool test rules tests/prometheus/qor-verify-alerts.test.yml

sanitize:
	@if [ ! -f build-asan/CMakeCache.txt ]; then \
		cmake -S . -B build-asan -G Ninja -DQOR_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug; \
	fi
	cmake --build build-asan
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
		ctest --test-dir build-asan --output-on-failure -j2

fuzz:
	@if [ ! -f build-fuzz/CMakeCache.txt ]; then \
		CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DQOR_FUZZ=ON \
			-DQOR_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo; \
	fi
	cmake --build build-fuzz
	scripts/run-fuzz build-fuzz $(FUZZ_SECONDS)

# Only what the demonstration needs, in a build of its own without the test
# suites: the two programs and the backup maker of the stand-in world.
DEMO_BUILD ?= build-demo
demo:
	scripts/install-deps demo
	@if [ ! -f $(DEMO_BUILD)/CMakeCache.txt ]; then \
		cmake -S . -B $(DEMO_BUILD) -G Ninja -DQOR_BUILD_TESTS=OFF $(CMAKE_FLAGS); \
	fi
	cmake --build $(DEMO_BUILD) --target qor_verifier qor_verify_all make_backup
	scripts/demo $(DEMO_BUILD)

install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX)

# The package is built from its own tree, installed under /usr, without tests,
# with Debian's hardening flags and a build date from the changelog.
package: deps
	scripts/build-package

package-check:
	scripts/check-package

# Real LVM2, device-mapper, udev and systemd in a throw-away Debian guest.
# SYSTEM_CASES picks cases by name pattern; QOR_SYSTEM_TESTS=0 switches the
# suite off on machines that cannot run a virtual machine at all.
SYSTEM_CASES ?=
system-test: deps
	@if [ "$${QOR_SYSTEM_TESTS:-1}" = 0 ]; then \
		echo "system-test: switched off (QOR_SYSTEM_TESTS=0): real LVM was not tested"; \
	else \
		set -f; $(MAKE) build package && \
		QOR_BUILD_DIR=$(abspath $(BUILD)) tests/system/vm run tests/system/suite.sh $(SYSTEM_CASES); \
	fi

clean:
	rm -rf $(BUILD)
