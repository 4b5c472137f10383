# Drives CMake so that `make demo` and `make test` work on a fresh machine.
BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60

TSAN_BUILD ?= build-tsan

.PHONY: all build deps test test-asan test-tsan demo bench compare fuzz fuzz-run install uninstall clean

PREFIX ?= /usr/local
DESTDIR ?=

# Everything, after installing what the tests and benchmarks need.
all: deps build

# Whatever this machine can build: the programs and the libraries need only the compiler, CMake, Ninja and the
# xxHash header (installed here when missing); the tests and benchmarks are built when their libraries are present. (Configured every time, so that libraries
# installed since are found; a build folder configured already keeps its generator and build type, so that
# `make install BUILD=...` installs that build as it is, also when a test runs it from inside that build.)
build:
	@scripts/deps.sh build
	@if [ -f $(BUILD)/CMakeCache.txt ]; then cmake -S . -B $(BUILD); \
	else cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release; fi >/dev/null
	cmake --build $(BUILD)

# Installs the build's tools and libraries with apt-get, only those that are missing.
deps:
	@scripts/deps.sh

test: all
	cd $(BUILD) && ctest --output-on-failure --no-tests=error

# The C interface from several threads at once under ThreadSanitizer: only that test is built.
test-tsan: deps
	@test -f $(TSAN_BUILD)/build.ninja || cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQARN_TSAN=ON -DQARN_BENCH=OFF
	cmake --build $(TSAN_BUILD) --target qarn_threads_test
	$(TSAN_BUILD)/tests/qarn_threads_test --gtest_brief=1

# The unit tests under AddressSanitizer and UndefinedBehaviorSanitizer, in a build directory of their own.
test-asan: deps
	@test -f $(ASAN_BUILD)/build.ninja || cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQARN_SANITIZE=ON -DQARN_BENCH=OFF
	cmake --build $(ASAN_BUILD)
	cd $(ASAN_BUILD) && ctest --output-on-failure

demo: all
	@scripts/demo.sh $(BUILD)/qarn

bench: all
	@scripts/bench.sh $(BUILD)

# qarn against its peers on a corpus of text, photos and binaries: writes docs/benchmarks.md and its plots.
compare: all
	@bench/compare.sh $(BUILD)

# libFuzzer targets, built with clang, AddressSanitizer and UndefinedBehaviorSanitizer.
fuzz:
	@scripts/deps.sh clang libclang-rt-14-dev
	@test -f $(FUZZ_BUILD)/build.ninja || CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQARN_FUZZ=ON -DQARN_TESTS=OFF -DQARN_BENCH=OFF
	cmake --build $(FUZZ_BUILD)

# Runs every fuzz target for FUZZ_SECONDS on its seed corpus.
fuzz-run: fuzz
	@scripts/fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# The programs and both libraries (stripped), the header, the manual pages, the bash completion, the magic fragment,
# the pkg-config file and the CMake package (README.md lists them), under $(DESTDIR)$(PREFIX); as root without DESTDIR, CMake's
# installation then runs ldconfig. The list of the files installed (DESTDIR included) is kept in
# $(BUILD)/installed.txt.
install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX)
	sed 's|^|$(DESTDIR)|' $(BUILD)/install_manifest.txt >$(BUILD)/installed.txt

# Removes what the last `make install` installed, and the package's own folders; as root without DESTDIR, the
# loader's cache forgets the library.
uninstall:
	@test -f $(BUILD)/installed.txt || { echo "nothing installed from $(BUILD)"; exit 1; }
	xargs -d '\n' rm -f <$(BUILD)/installed.txt
	grep -e '/cmake/qarn/qarnConfig.cmake$$' -e '/qarn/qz.magic$$' $(BUILD)/installed.txt | xargs -r -d '\n' dirname | xargs -r -d '\n' rmdir
	rm -f $(BUILD)/installed.txt
	@if [ -z "$(DESTDIR)" ] && [ "$$(id -u)" = 0 ]; then echo ldconfig; PATH="$$PATH:/sbin:/usr/sbin" ldconfig; fi

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(TSAN_BUILD)
