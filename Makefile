# Thin driver around CMake: `make example`, `make test`, `make install PREFIX=...`, `make fuzz`.
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
JOBS       ?= $(shell nproc)
PREFIX     ?= /usr/local
# `make fuzz` runs each target this long; `make test` runs each one briefly.
FUZZ_SECONDS      ?= 60
FUZZ_TEST_SECONDS ?= 30
FUZZ_TARGETS      := reader tree pass

.PHONY: all build example test test-release test-asan test-tsan test-fuzz fuzz fuzz-build deps bench-deps bench \
        install clean

all: build

# Everything the build, the tests and the benchmarks need comes from Debian: isa-l inflates
# compressed input, libdivsufsort sorts suffixes for the tree, zlib writes the tests' gzip
# files, htslib is the inflate benchmark's rival, Snakemake runs the workflow's tests, clang
# builds the fuzz targets; the workflow's assay target runs Primer3, bwa and matplotlib, and
# pytest runs its scripts' tests. Installed only where one is missing.
PACKAGES := cmake g++ make libgtest-dev libisal-dev zlib1g-dev libhts-dev libdivsufsort-dev \
            snakemake clang libclang-rt-14-dev primer3 bwa python3-matplotlib python3-pytest
deps:
	@dpkg -s $(PACKAGES) >/dev/null 2>&1 || \
	  { apt-get update && apt-get install -y --no-install-recommends $(PACKAGES); }

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

example: build
	./$(BUILD)/xenvar -L examples/target1.fa,examples/target2.fa,examples/target3.fa \
	  -R examples/neighbour1.fa,examples/neighbour2.fa -p

test: test-release test-fuzz test-asan test-tsan

test-release: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DXENVAR_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)

# ThreadSanitizer on an optimised build, so that the walks overlap as in a real run.
test-tsan: deps
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DXENVAR_SANITIZE_THREAD=ON
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	cd $(TSAN_BUILD) && ctest --output-on-failure -j $(JOBS)

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

# What only the benchmarks run: ART simulates reads (bench_fastq.sh); MUMmer, KMC 3 and unikmer are
# the k-mer peers.
BENCH_PACKAGES := art-nextgen-simulation-tools mummer kmc unikmer
bench-deps:
	@dpkg -s $(BENCH_PACKAGES) >/dev/null 2>&1 || \
	  { apt-get update && apt-get install -y --no-install-recommends $(BENCH_PACKAGES); }

bench: deps bench-deps
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DXENVAR_BENCH=ON -DBUILD_TESTING=OFF
	cmake --build build-bench -j $(JOBS)

# Puts xenvar in $(PREFIX)/bin.
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) build-bench
