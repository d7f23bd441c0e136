# Entry points for people and CI. CMake does the real work.
BUILD        ?= build
BUILD_ASAN   ?= build-asan
JOBS         ?= $(shell nproc)
CMAKE_FLAGS  ?=

.PHONY: all build deps test test-sanitize demo clean

all: build

deps:
	@scripts/install-deps

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: deps
	cmake -S . -B $(BUILD_ASAN) -DJIX_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug $(CMAKE_FLAGS)
	cmake --build $(BUILD_ASAN) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(BUILD_ASAN) --output-on-failure -j $(JOBS)

demo: deps build
	@sqlite3 :memory: -cmd '.load $(BUILD)/jix' < examples/demo.sql

clean:
	rm -rf $(BUILD) $(BUILD_ASAN)
