# The targets behind ./build.sh, which installs make and what else is missing first: the README's
# two commands are `./build.sh run` and `./build.sh test`. Everything else wraps CMake.
BUILD ?= build
MAKEFLAGS += --no-print-directory
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
MODEM ?=
CALLIN ?=

.PHONY: all deps configure build run demo package package-all test bench soak format check-format fuzz clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@scripts/run-wizard $(BUILD)

# A whole link without hardware: the device stand-in (MODEM=1: the modem; CALLIN=1: the device
# behind a router that calls the wizard) and the setup stand-in.
demo: build
	@MODEM=$(MODEM) CALLIN=$(CALLIN) scripts/demo $(BUILD)

# The .deb of the installed program, for the Debian release this machine runs; the same bytes
# from every build of one commit (see packaging/CMakeLists.txt).
package: build
	@cd $(BUILD) && cpack -G DEB

# The .debs for Debian 12 and 13, each built in a fresh root of its release (needs root).
package-all:
	@scripts/package-all

# The format check and the fuzz targets run first and briefly (a minute for all of them; their logs
# go to build-fuzz/); then the suite, and the same suite built with AddressSanitizer and
# UndefinedBehaviorSanitizer (build-asan/).
test: build
	@scripts/check-format
	@FUZZ_BUDGET=$${FUZZ_BUDGET:-60} FUZZ_QUIET=1 JOBS=$(JOBS) scripts/fuzz
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	@JOBS=$(JOBS) scripts/test-sanitized

bench: build
	@$(BUILD)/bench/lindqvar-bench $(BENCH_ARGS)

soak: build
	@$(BUILD)/bench/lindqvar-bench --soak $(SOAK_ARGS)

fuzz: deps
	@scripts/fuzz

format:
	@scripts/check-format --apply

check-format:
	@scripts/check-format

clean:
	@rm -rf $(BUILD) build-asan build-fuzz
