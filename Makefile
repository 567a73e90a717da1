# Two commands matter: `make run` and `make test`. Both install what is missing first.
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
JOBS       ?= $(shell nproc)
# `make install` copies the built binary to $(DESTDIR)$(PREFIX)/bin, where the service unit
# scripts/quv.service expects it.
PREFIX     ?= /usr/local
DESTDIR    ?=
CMAKE_GEN  := -G Ninja

.PHONY: deps configure build build-asan build-tsan build-fuzz run test test-unit test-asan test-fuzz fuzz bench install clean

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

build-asan: deps
	@cmake -S . -B $(ASAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DQUV_SANITIZE=ON -DQUV_BENCH=OFF >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)

build-tsan: deps
	@cmake -S . -B $(TSAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUV_TSAN=ON -DQUV_BENCH=OFF >/dev/null
	@cmake --build $(TSAN_BUILD) -j $(JOBS)

# The fuzz targets: their own CMake project under tests/fuzz, built with clang 19 and
# libFuzzer against libstdc++. The compiler is named here so that a build directory set up
# with another compiler is set up again.
FUZZ_CC  ?= clang-19
FUZZ_CXX ?= clang++-19
build-fuzz: deps
	@cmake -S tests/fuzz -B $(FUZZ_BUILD) $(CMAKE_GEN) -DCMAKE_C_COMPILER=$(FUZZ_CC) \
	  -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS)

# Every fuzz target once over its seed corpus under ASan/UBSan: a regression check of seconds.
test-fuzz: build-fuzz
	@BUILD=$(FUZZ_BUILD) tests/fuzz/run regress

# Every fuzz target for FUZZ_SECONDS on all cores, one target after another.
fuzz: build-fuzz
	@BUILD=$(FUZZ_BUILD) tests/fuzz/run fuzz $(FUZZ_SECONDS) $(JOBS)

# Builds the program alone, not the tests and benchmarks, before the node starts.
run: configure
	@cmake --build $(BUILD) -j $(JOBS) --target quv
	@mkdir -p data
	$(BUILD)/quv --chain data/quv.chain node

test: build build-asan build-tsan build-fuzz
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) --timeout 300
	@ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS) --timeout 300 -L unit
	@TSAN_OPTIONS=halt_on_error=1 ctest --test-dir $(TSAN_BUILD) --output-on-failure -j $(JOBS) --timeout 300 -L threaded
	@BUILD=$(FUZZ_BUILD) tests/fuzz/run regress

# Installs what `make build` built; it builds nothing, so that `sudo make install` leaves no
# files owned by root in the build directory.
install:
	@test -x $(BUILD)/quv || { echo "$(BUILD)/quv is missing: run make build first" >&2; exit 1; }
	install -d $(DESTDIR)$(PREFIX)/bin
	install -m 0755 $(BUILD)/quv $(DESTDIR)$(PREFIX)/bin/quv

bench: build
	@for b in $(BUILD)/*_bench; do echo "== $$b"; $$b || exit 1; done

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)
