# Two commands matter: `make run` and `make test`. Both install what is missing first.
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
JOBS       ?= $(shell nproc)
CMAKE_GEN  := -G Ninja

.PHONY: deps build build-asan build-tsan run test test-unit test-asan bench clean

deps:
	@scripts/install-deps

build: deps
	@cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

build-asan: deps
	@cmake -S . -B $(ASAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DQUV_SANITIZE=ON -DQUV_BENCH=OFF >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)

build-tsan: deps
	@cmake -S . -B $(TSAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUV_TSAN=ON -DQUV_BENCH=OFF >/dev/null
	@cmake --build $(TSAN_BUILD) -j $(JOBS)

run: build
	@mkdir -p data
	$(BUILD)/quv --chain data/quv.chain node

test: build build-asan build-tsan
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) --timeout 300
	@ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS) --timeout 300 -L unit
	@TSAN_OPTIONS=halt_on_error=1 ctest --test-dir $(TSAN_BUILD) --output-on-failure -j $(JOBS) --timeout 300 -L threaded

bench: build
	@for b in $(BUILD)/*_bench; do echo "== $$b"; $$b || exit 1; done

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD)
