# Thin driver around CMake: `make example`, `make test`, `make fuzz`.
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
JOBS       ?= $(shell nproc)
# `make fuzz` runs each target this long; `make test` runs each one briefly.
FUZZ_SECONDS      ?= 60
FUZZ_TEST_SECONDS ?= 30
FUZZ_TARGETS      := reader tree pass

.PHONY: all build example test test-release test-asan test-fuzz fuzz fuzz-build deps bench clean

all: build

# GoogleTest, CMake and clang with libFuzzer come from Debian; fetch them only where they are missing.
deps:
	@command -v cmake >/dev/null 2>&1 && command -v g++ >/dev/null 2>&1 && \
	  [ -f /usr/include/gtest/gtest.h ] && command -v clang++ >/dev/null 2>&1 && \
	  ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || \
	  { apt-get update && apt-get install -y --no-install-recommends cmake g++ make libgtest-dev \
	      clang libclang-rt-14-dev; }

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

example: build
	./$(BUILD)/xenvar -L examples/target1.fa,examples/target2.fa,examples/target3.fa \
	  -R examples/neighbour1.fa,examples/neighbour2.fa -p

test: test-release test-fuzz test-asan

test-release: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DXENVAR_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)

# The libFuzzer targets of tests/fuzz, library and targets under ASan/UBSan, built with clang.
fuzz-build: deps
	CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DXENVAR_FUZZ=ON \
	  -DBUILD_TESTING=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

# Each target starts from its seed corpus; what it adds stays in $(FUZZ_BUILD)/corpus, and
# what it finds in $(FUZZ_BUILD)/artifacts.
fuzz: fuzz-build
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t $(FUZZ_BUILD)/artifacts/$$t && \
	  echo "fuzz_$$t: $(FUZZ_SECONDS) s" && \
	  ./$(FUZZ_BUILD)/tests/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    -artifact_prefix=$(FUZZ_BUILD)/artifacts/$$t/ $(FUZZ_BUILD)/corpus/$$t tests/fuzz/corpus/$$t \
	    2>$(FUZZ_BUILD)/fuzz_$$t.log || { tail -n 60 $(FUZZ_BUILD)/fuzz_$$t.log; exit 1; }; \
	  grep -E '^(#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units)' $(FUZZ_BUILD)/fuzz_$$t.log; \
	done

# A short run of every target, where clang can build them.
test-fuzz:
	@if command -v clang++ >/dev/null 2>&1; then $(MAKE) --no-print-directory fuzz \
	  FUZZ_SECONDS=$(FUZZ_TEST_SECONDS); else echo "clang++ missing: fuzz targets skipped"; fi

bench: deps
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DXENVAR_BENCH=ON -DBUILD_TESTING=OFF
	cmake --build build-bench -j $(JOBS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) build-bench
