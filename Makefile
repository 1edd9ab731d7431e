# A thin wrapper around CMake: `make`, `make test`, `make demo`, `make install`.
PREFIX ?= /usr/local
DESTDIR ?=
BUILD ?= build
CMAKE_FLAGS ?=

.PHONY: all build deps configure test demo install clean

all: build

deps:
	scripts/install-deps

configure:
	@if [ ! -f $(BUILD)/CMakeCache.txt ]; then \
		cmake -S . -B $(BUILD) -G Ninja -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_FLAGS); \
	fi

build: configure
	cmake --build $(BUILD)

test: deps
	$(MAKE) build
	ctest --test-dir $(BUILD) --output-on-failure -j2

demo: deps
	$(MAKE) build
	scripts/demo $(BUILD)

install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD)
