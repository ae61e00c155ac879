# The two commands of the README: `make run` and `make test`. Everything else wraps CMake.
BUILD ?= build
MAKEFLAGS += --no-print-directory
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps configure build run test bench format fuzz clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@scripts/run-wizard $(BUILD)

# The fuzzer runs first and briefly (its log goes to build-fuzz/fuzz.log), so that CTest's
# summary is the last thing printed.
test: build
	@FUZZ_SECONDS=$${FUZZ_SECONDS:-20} FUZZ_QUIET=1 scripts/fuzz
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench: build
	@$(BUILD)/bench/lindqvar-bench $(BENCH_ARGS)

fuzz: deps
	@scripts/fuzz

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	@rm -rf $(BUILD)
