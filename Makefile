# Entry points for people and CI. CMake does the real work.
SHELL := /bin/bash
BUILD        ?= build
BUILD_ASAN   ?= build-asan
BUILD_CURRENT ?= build-current
BUILD_FUZZ   ?= build-fuzz
BUILD_TSAN   ?= build-tsan
FUZZ_SECONDS ?= 30
FUZZ_TARGETS := json_vector declaration npy knn ivf
JOBS         ?= $(shell nproc)
PREFIX       ?= /usr/local
LIBDIR       ?= $(PREFIX)/lib
CMAKE_FLAGS  ?=
BUILD_BENCH  ?= build-bench
# e.g. BENCH_ARGS="--scale 0.05 --queries 10" for a quick look
BENCH_ARGS   ?=
# An earlier build's jix.so: `make bench` then times its uncached and filtered queries beside
# this build's, query by query, in the same run.
BENCH_BEFORE ?=
# project()'s version in CMakeLists.txt, the one place it is written.
VERSION      := $(shell sed -n 's/^project.jix VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

# e.g. IVF_BENCH_ARGS="--sets fashion --queries 200"
IVF_BENCH_ARGS ?=
# e.g. ANN_ARGS=--full for the full-size sets, or ANN_ARGS="--sets fashion"
ANN_ARGS     ?=

.PHONY: all lib build deps deps-test deps-fuzz deps-format deps-aarch64 deps-windows deps-packages test test-normal test-current-sqlite test-sanitize test-tsan fuzz demo install uninstall clean bench bench-deps bench-kernels bench-ivf bench-columns bench-ann
.PHONY: test-reference-kernels test-aarch64 test-windows test-packages
.PHONY: dqlite-deps jix-dqlite-node test-dqlite format format-check

# `make` builds only the library: no GoogleTest needed, only the packages of `deps`.
all: lib

# Each target installs the Debian packages it needs and no more (scripts/install-deps says
# which), so `make` and `make demo` fetch no test or cross toolchain; `make test`, through
# its stages, installs them all.
deps:
	@scripts/install-deps build
deps-test: deps
	@scripts/install-deps test
deps-fuzz: deps
	@scripts/install-deps fuzz
deps-format:
	@scripts/install-deps format
deps-aarch64: deps
	@scripts/install-deps aarch64
deps-windows: deps
	@scripts/install-deps windows
deps-packages: deps
	@scripts/install-deps packages

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

lib: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target jix

# Whatever the build folder is configured for (the tests too once a test target ran).
build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# Everything CI checks: the suite in the normal build, again against a current SQLite, again
# under the sanitizers, the searches with helper threads under ThreadSanitizer, each fuzz
# target for FUZZ_SECONDS, the reference-kernel build, the AArch64 build under qemu, the
# Windows DLL, the pip and npm packages, jix replicated by a three-node dqlite cluster, and
# last the formatting of every C and C++ file.
test: test-normal test-current-sqlite test-sanitize test-tsan fuzz test-reference-kernels \
      test-aarch64 test-windows test-packages test-dqlite format-check

test-normal: deps-test
	cmake -S . -B $(BUILD) -DJIX_BUILD_TESTS=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The suite again, linked against a current SQLite release (the amalgamation an npm package
# ships, fetched once into $(BUILD_CURRENT)/sqlite), for faults that only newer SQLite shows.
test-current-sqlite: deps-test
	scripts/sqlite-amalgamation $(BUILD_CURRENT)/sqlite
	cmake -S . -B $(BUILD_CURRENT) -DJIX_BUILD_TESTS=ON \
	  -DJIX_SQLITE_AMALGAMATION=$(CURDIR)/$(BUILD_CURRENT)/sqlite $(CMAKE_FLAGS)
	cmake --build $(BUILD_CURRENT) -j $(JOBS)
	ctest --test-dir $(BUILD_CURRENT) --output-on-failure -j $(JOBS)

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: deps-test
	cmake -S . -B $(BUILD_ASAN) -DJIX_SANITIZE=ON -DJIX_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Debug \
	  $(CMAKE_FLAGS)
	cmake --build $(BUILD_ASAN) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(BUILD_ASAN) --output-on-failure -j $(JOBS)

# The tests of searches with helper threads (PRAGMA threads) under ThreadSanitizer: only
# their own test program is built, so the stage stays short.
test-tsan: deps-test
	cmake -S . -B $(BUILD_TSAN) -DJIX_TSAN=ON -DJIX_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  $(CMAKE_FLAGS)
	cmake --build $(BUILD_TSAN) -j $(JOBS) --target jix_thread_tests
	TSAN_OPTIONS=halt_on_error=1 $(BUILD_TSAN)/jix_thread_tests

# Each libFuzzer target for FUZZ_SECONDS, as many at once as there are cores, starting from
# a copy of the committed seed corpus.
fuzz: deps-fuzz
	CC=clang CXX=clang++ cmake -S . -B $(BUILD_FUZZ) -DJIX_FUZZ=ON -DJIX_BUILD_TESTS=OFF \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build $(BUILD_FUZZ) -j $(JOBS) $(addprefix --target fuzz_,$(FUZZ_TARGETS))
	scripts/run-fuzz $(BUILD_FUZZ) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# jix in a dqlite (Raft-replicated SQLite) cluster: the node program, built offline in GOPATH
# mode from Debian's Go packages, and the failover test (three nodes on loopback ports, the
# leader killed and restarted, every answer compared with a local SQLite file).
DQLITE_GO := GOPATH=/usr/share/gocode GO111MODULE=off GOFLAGS= GOPROXY=off \
  GOCACHE=$(abspath $(BUILD))/go-cache CGO_LDFLAGS_ALLOW='-Wl,-z,now'

dqlite-deps:
	@scripts/install-dqlite-deps

jix-dqlite-node: dqlite-deps
	@mkdir -p $(BUILD)
	cd cluster/node && $(DQLITE_GO) go build -ldflags "-X main.installedJix=$(LIBDIR)/jix.so" \
	  -o $(abspath $(BUILD))/jix-dqlite-node .

test-dqlite: deps jix-dqlite-node
	@test -f $(BUILD)/CMakeCache.txt || cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target jix
	cd cluster/failover && $(DQLITE_GO) go build -o $(abspath $(BUILD))/jix-dqlite-failover .
	$(BUILD)/jix-dqlite-failover --node $(BUILD)/jix-dqlite-node --jix $(BUILD)/jix.so

# The build with JIX_FAST_KERNELS=OFF: only the scalar reference kernels, as on a CPU that
# has no variant of its own; the kernel tests and the SQL suite.
test-reference-kernels: deps-test
	scripts/ci-reference-kernels

# Cross-builds for aarch64-linux-gnu and runs the kernel tests and the SQL suite under qemu.
test-aarch64: deps-aarch64
	scripts/ci-aarch64

# Cross-builds jix.dll with MinGW-w64 and checks its exported entry points.
test-windows: deps-windows
	scripts/ci-windows

# Builds the Python wheel offline into a fresh venv and installs the Node package, each with
# the library inside, and runs a KNN query through each with no path given.
test-packages: deps-packages
	scripts/ci-packages

# Only the library is needed; configuring waits for deps, so this also works with -j.
demo: deps
	@test -f $(BUILD)/CMakeCache.txt || cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target jix
	@sqlite3 -bail :memory: -cmd '.load $(BUILD)/jix' < examples/demo.sql

# Every C and C++ file of the project, in the style of .clang-format (the README quotes the C
# example verbatim, so it keeps its own C layout).
FORMAT_FILES = $(shell find src tests bench fuzz cluster \( -name '*.c' -o -name '*.cc' -o -name '*.h' \) \
                 -not -path '*/node_modules/*' | sort)

format: deps-format
	clang-format -i $(FORMAT_FILES)

# Fails, naming each place, where a file differs from what `make format` would make of it.
format-check: deps-format
	clang-format --dry-run -Werror $(FORMAT_FILES)

# Installs the library as $(LIBDIR)/jix.so with a pkg-config file describing where it is.
install: lib
	install -d $(DESTDIR)$(LIBDIR) $(DESTDIR)$(LIBDIR)/pkgconfig
	install -m 0755 $(BUILD)/jix.so $(DESTDIR)$(LIBDIR)/jix.so
	sed -e 's|@PREFIX@|$(PREFIX)|' -e 's|@LIBDIR@|$(LIBDIR)|' -e 's|@VERSION@|$(VERSION)|' jix.pc.in > $(DESTDIR)$(LIBDIR)/pkgconfig/jix.pc
	@echo "Installed $(DESTDIR)$(LIBDIR)/jix.so and $(DESTDIR)$(LIBDIR)/pkgconfig/jix.pc"
	@echo "If pkg-config does not find jix: export PKG_CONFIG_PATH=$(LIBDIR)/pkgconfig:\$$PKG_CONFIG_PATH"

uninstall:
	rm -f $(DESTDIR)$(LIBDIR)/jix.so $(DESTDIR)$(LIBDIR)/pkgconfig/jix.pc

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_CURRENT) $(BUILD_FUZZ) $(BUILD_TSAN) $(BUILD_BENCH)

# Benchmarks, never part of `make test`: the KNN and insert harness against SQLite's floors,
# FAISS and NumPy (prints a table, writes bench/RESULTS.md and bench/latency.png), on a CPU with
# AVX-512 the KNN sets D1 and D2 again with the AVX2 kernels (JIX_KERNELS=avx2), then the IVF
# index against the exact search on fashion-mnist and two generated sets (bench-ivf); data
# sets are generated into a temporary folder that is removed afterwards. The baselines run with
# OpenBLAS's CPU-type and cache-size overrides removed, which would otherwise slow them, and
# set their thread counts themselves.
bench-deps: deps
	@scripts/install-bench-deps
	cmake -S . -B $(BUILD_BENCH) -DCMAKE_BUILD_TYPE=Release -DJIX_BUILD_TESTS=OFF $(CMAKE_FLAGS)

bench: BEFORE_ARG = $(if $(BENCH_BEFORE),--before $(BENCH_BEFORE))
bench: bench-deps
	cmake --build $(BUILD_BENCH) -j $(JOBS) --target jix jix_knn_bench
	@dir=$$(mktemp -d -t jix-bench.XXXXXX) && trap 'rm -rf "$$dir"' EXIT && \
	  $(BUILD_BENCH)/jix_knn_bench $(BUILD_BENCH)/jix.so "$$dir" $(BENCH_ARGS) $(BEFORE_ARG) && \
	  if grep -qw avx512f /proc/cpuinfo 2>/dev/null; then \
	    mkdir "$$dir/avx2" && JIX_KERNELS=avx2 $(BUILD_BENCH)/jix_knn_bench \
	      $(BUILD_BENCH)/jix.so "$$dir/avx2" $(BENCH_ARGS) $(BEFORE_ARG) --sets D1,D2; fi && \
	  env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE /usr/bin/python3 bench/baselines.py "$$dir" && \
	  /usr/bin/python3 bench/report.py "$$dir" bench/RESULTS.md bench/latency.png
	$(MAKE) --no-print-directory bench-ivf
	$(MAKE) --no-print-directory bench-columns

# KNN queries that return row values (k = 10 and 100, two to six columns), this build beside
# the builds named in BENCH_COMPARE (paths of other builds' jix.so, e.g. the last release's),
# queried in turn in one run; prints queries per second from thread CPU time and the ratios.
bench-columns: bench-deps
	cmake --build $(BUILD_BENCH) -j $(JOBS) --target jix jix_columns_bench
	@dir=$$(mktemp -d -t jix-bench.XXXXXX) && trap 'rm -rf "$$dir"' EXIT && \
	  $(BUILD_BENCH)/jix_columns_bench "$$dir" $(BENCH_COMPARE) $(BUILD_BENCH)/jix.so $(COLUMNS_BENCH_ARGS)

# The IVF index only: recall, latency, build, insert, size and filters against the exact search
# of the same table; rewrites the IVF section of bench/RESULTS.md and bench/ivf_recall.png.
bench-ivf: bench-deps
	cmake --build $(BUILD_BENCH) -j $(JOBS) --target jix jix_ivf_bench
	@dir=$$(mktemp -d -t jix-bench.XXXXXX) && trap 'rm -rf "$$dir"' EXIT && \
	  $(BUILD_BENCH)/jix_ivf_bench $(BUILD_BENCH)/jix.so "$$dir" $(IVF_BENCH_ARGS) && \
	  /usr/bin/python3 bench/ivf_report.py "$$dir" bench/RESULTS.md bench/ivf_recall.png

# Approximate search through SQL against hnswlib and FAISS (HNSW, IVFFlat) on fashion-mnist and
# two generated sets, one thread, recall@10 against QPS: writes bench/ann_points.csv, a chart
# per set (bench/ann_*.png) and its section of bench/RESULTS.md. A few minutes; ANN_ARGS=--full
# runs the full-size sets with 1,000 queries.
bench-ann: bench-deps
	cmake --build $(BUILD_BENCH) -j $(JOBS) --target jix
	@dir=$$(mktemp -d -t jix-ann.XXXXXX) && trap 'rm -rf "$$dir"' EXIT && \
	  env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE /usr/bin/python3 bench/ann_bench.py \
	    $(BUILD_BENCH)/jix.so "$$dir" $(ANN_ARGS) && \
	  /usr/bin/python3 bench/ann_report.py "$$dir" bench/RESULTS.md bench

# Google Benchmark micro-benchmarks of every batch kernel variant against the reference.
bench-kernels: bench-deps
	cmake --build $(BUILD_BENCH) -j $(JOBS) --target jix_kernel_bench
	$(BUILD_BENCH)/jix_kernel_bench
