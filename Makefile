# Two entry points for a fresh Debian 12 machine, run as root from the repo
# root: `make demo` and `make test`. Both install what is missing first.
#
# The product is always the 32-bit build in build/ (build/bin/VELATRIX.EXE).
# Tests run it under 32-bit Wine where the kernel runs i386 programs; where
# it does not, they run the same sources built for x86-64 under 64-bit Wine.
MAKEFLAGS += --no-print-directory
BUILD_DIR ?= build
BUILD     := $(abspath $(BUILD_DIR))
TEST_ARCH := $(shell sh tools/test-arch.sh)

ifeq ($(TEST_ARCH),i686)
TEST_BUILD  := $(BUILD)
WINE_ARCH   := win32
else
TEST_BUILD  := $(BUILD)/x86_64
WINE_ARCH   := win64
endif
PREFIX := $(TEST_BUILD)/wineprefix

export WINEDEBUG := -all
export WINEPREFIX := $(PREFIX)

.PHONY: all deps build test-build prefix test demo bench clean

all: build

deps:
	@sh tools/install-deps.sh

# The 32-bit product (tests too, when they can run as 32-bit).
build: deps
	@cmake --preset mingw-i686 -B $(BUILD) -DVELATRIX_TESTS=$(if $(filter i686,$(TEST_ARCH)),ON,OFF) >/dev/null
	@cmake --build $(BUILD) -j2

test-build: build
ifneq ($(TEST_ARCH),i686)
	@cmake -S . -B $(TEST_BUILD) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-x86_64.cmake \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELATRIX_WERROR=ON -DVELATRIX_TESTS=ON \
	    -DVELATRIX_PRODUCT_EXE=$(BUILD)/bin/VELATRIX.EXE >/dev/null
	@cmake --build $(TEST_BUILD) -j2
endif

prefix: deps
	@sh tools/wine-prefix.sh $(PREFIX) $(WINE_ARCH)

test: test-build prefix
	@cd $(TEST_BUILD) && ctest --output-on-failure --timeout 300

demo: test-build prefix
	@sh tools/demo.sh $(TEST_BUILD)

bench: test-build prefix
	@sh tools/bench.sh $(TEST_BUILD)

clean:
	rm -rf $(BUILD)
