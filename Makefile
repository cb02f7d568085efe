# Thin driver around CMake: `make example`, `make test`, `make install PREFIX=...`.
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
JOBS       ?= $(shell nproc)
PREFIX     ?= /usr/local

.PHONY: all build example test test-release test-asan test-tsan deps bench install clean

all: build

# Everything the build, the tests and the benchmarks need comes from Debian: isa-l inflates
# compressed input, libdivsufsort sorts suffixes for the tree, zlib writes the tests' gzip
# files, htslib is the inflate benchmark's rival, Snakemake runs the workflow's tests. Installed only where one is missing.
PACKAGES := cmake g++ make libgtest-dev libisal-dev zlib1g-dev libhts-dev libdivsufsort-dev snakemake
deps:
	@dpkg -s $(PACKAGES) >/dev/null 2>&1 || \
	  { apt-get update && apt-get install -y --no-install-recommends $(PACKAGES); }

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

example: build
	./$(BUILD)/xenvar -L examples/target1.fa,examples/target2.fa,examples/target3.fa \
	  -R examples/neighbour1.fa,examples/neighbour2.fa -p

test: test-release test-asan test-tsan

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

bench: deps
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DXENVAR_BENCH=ON -DBUILD_TESTING=OFF
	cmake --build build-bench -j $(JOBS)

# Puts xenvar in $(PREFIX)/bin.
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) build-bench
