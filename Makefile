# Drives CMake so that `make demo` and `make test` work on a fresh machine.
BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60

.PHONY: all deps test test-asan demo bench compare fuzz fuzz-run install uninstall clean

PREFIX ?= /usr/local
DESTDIR ?=
BINDIR = $(DESTDIR)$(PREFIX)/bin
MANDIR = $(DESTDIR)$(PREFIX)/share/man/man1

all: deps
	@test -f $(BUILD)/build.ninja || cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD)

# Installs the build's tools and libraries with apt-get, only those that are missing.
deps:
	@scripts/deps.sh

test: all
	cd $(BUILD) && ctest --output-on-failure

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
fuzz: deps
	@test -f $(FUZZ_BUILD)/build.ninja || CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQARN_FUZZ=ON -DQARN_TESTS=OFF -DQARN_BENCH=OFF
	cmake --build $(FUZZ_BUILD)

# Runs every fuzz target for FUZZ_SECONDS on its seed corpus.
fuzz-run: fuzz
	@scripts/fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

install: all
	install -d $(BINDIR) $(MANDIR)
	install -m 755 $(BUILD)/qarn $(BINDIR)/qarn
	install -m 644 docs/qarn.1 $(MANDIR)/qarn.1

uninstall:
	rm -f $(BINDIR)/qarn $(MANDIR)/qarn.1

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
