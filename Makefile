# Entry points for people and CI. CMake does the real work.
BUILD        ?= build
BUILD_ASAN   ?= build-asan
JOBS         ?= $(shell nproc)
PREFIX       ?= /usr/local
LIBDIR       ?= $(PREFIX)/lib
CMAKE_FLAGS  ?=

.PHONY: all build deps test test-sanitize demo install uninstall clean

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

# Installs the library as $(LIBDIR)/jix.so with a pkg-config file describing where it is.
install: build
	install -d $(DESTDIR)$(LIBDIR) $(DESTDIR)$(LIBDIR)/pkgconfig
	install -m 0755 $(BUILD)/jix.so $(DESTDIR)$(LIBDIR)/jix.so
	sed -e 's|@PREFIX@|$(PREFIX)|' -e 's|@LIBDIR@|$(LIBDIR)|' jix.pc.in > $(DESTDIR)$(LIBDIR)/pkgconfig/jix.pc

uninstall:
	rm -f $(DESTDIR)$(LIBDIR)/jix.so $(DESTDIR)$(LIBDIR)/pkgconfig/jix.pc

clean:
	rm -rf $(BUILD) $(BUILD_ASAN)
