# The two commands a new user runs: `make run` and `make test`.
# Both install what is missing first (scripts/bootstrap), then build.

BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
JOBS       ?= $(shell nproc)
FUZZ_SECONDS ?= 30

CMAKE_FLAGS ?=

.PHONY: all bootstrap configure build run test test-asan test-tsan install deb bench fuzz format format-check clean

all: build

bootstrap:
	@scripts/bootstrap

$(BUILD)/build.ninja: | bootstrap
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

configure: bootstrap $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# Builds only the program it runs.
run: configure
	cmake --build $(BUILD) -j $(JOBS) --target tallowick-agent
	@scripts/run-default

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

$(ASAN_BUILD)/build.ninja: | bootstrap
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTALLOWICK_SANITIZE=ON \
	  -DTALLOWICK_AGENT=OFF $(CMAKE_FLAGS)

# intercept_tls_get_addr=0: GCC 12's sanitizer runtime guesses where a
# thread-local block of a dlopen()ed library starts from a glibc 2.19 header
# whenever the block happens to sit 16 bytes into a page; glibc 2.36
# allocates those blocks with malloc, so about one run in ten the guess is
# garbage and the leak check at exit dies reading it ("Tracer caught signal
# 11", seen with the media module's thread-locals). Without the interception
# the blocks are still found, as heap blocks reached from the thread.
test-asan: bootstrap $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:intercept_tls_get_addr=0 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/scripts/lsan.supp:print_suppressions=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)

# ThreadSanitizer over the core's tests (the Qt agent is left out: Qt itself
# is not built with it, so its reports would be noise). scripts/tsan.supp
# says which libraries' threads the sanitizer cannot follow, and why; CTest
# gives each test the same options, so a plain `ctest` there agrees.
$(TSAN_BUILD)/build.ninja: | bootstrap
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALLOWICK_TSAN=ON \
	  -DTALLOWICK_AGENT=OFF $(CMAKE_FLAGS)

test-tsan: bootstrap $(TSAN_BUILD)/build.ninja
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	cd $(TSAN_BUILD) && \
	  TSAN_OPTIONS=suppressions=$(CURDIR)/scripts/tsan.supp:halt_on_error=1:second_deadlock_stack=1 \
	  ctest --output-on-failure -j $(JOBS)

# `make install PREFIX=/usr/local DESTDIR=/tmp/stage`: the programs, menu
# entry, icons, man pages and systemd user unit under PREFIX.
PREFIX ?= /usr/local
install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX)

# The Debian package, build/tallowick_VERSION_ARCH.deb.
deb: build
	cd $(BUILD) && cpack -G DEB

bench: build
	@scripts/run-benchmarks $(BUILD)

$(FUZZ_BUILD)/build.ninja: | bootstrap
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTALLOWICK_FUZZ=ON -DTALLOWICK_AGENT=OFF

fuzz: bootstrap $(FUZZ_BUILD)/build.ninja
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzzers
	@scripts/run-fuzzers $(FUZZ_BUILD) $(FUZZ_SECONDS)

format:
	git ls-files '*.cc' '*.h' | xargs clang-format -i

format-check: bootstrap
	git ls-files '*.cc' '*.h' | xargs clang-format --dry-run --Werror

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)
