// helpers.h — shared test helpers: a scratch directory, whole-file access and running the real qarn program.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "libqarn.h"

using bytes = std::vector<uint8_t>;

struct run_result {
  int status;          // exit status, or 128 + signal
  std::string output;  // everything printed on standard output
  std::string errors;  // everything printed on standard error
};

// How to run the program: limits on it, and what its standard input is.
struct run_options {
  long file_size_limit = 0;     // bytes any file it writes may reach (writes past it fail); 0 for none
  long address_space_kib = 0;   // its address space, as `ulimit -v` sets it; 0 for none
  std::string input_file;       // opened as its standard input when set
  bool closed_output = false;   // its standard output is a pipe whose reading end is closed
  // It runs without /proc (in a mount namespace of its own), so that it cannot link unnamed temporary files and
  // names them instead. Needs the right to make namespaces: without it the run ends with status 125.
  bool hide_proc = false;
};

// The programs under test: the build's, or those that QARN_TEST_QARN and QARN_TEST_QZ name (to run the tests on
// another build, such as one from before a change).
std::string qarn_exe();
std::string qz_exe();

// Runs the qarn program with the given arguments; a nonzero file_size_limit caps the size of any file it writes
// (writes past it fail).
run_result run_qarn(const std::vector<std::string>& args, long file_size_limit = 0);
run_result run_qarn_with(const run_options& options, const std::vector<std::string>& args);

// The qarn program started without waiting: its standard output can be read while it runs.
struct running_qarn {
  int pid;
  int output_fd;  // the reading end of its standard output
  // Reads its standard output until a line feed has come (or the output ends); returns what was read.
  std::string read_line();
  // Waits for it to end; returns its exit status, or 128 + signal.
  int wait();
};
running_qarn start_qarn(const std::vector<std::string>& args, bool hide_proc = false);

// True in builds under the sanitizers, which need more address space than any limit a test sets, and run slowly.
constexpr bool sanitized_build =
#ifdef QARN_SANITIZED
    true;
#else
    false;
#endif

bytes read_bytes(const std::filesystem::path& p);
void write_bytes(const std::filesystem::path& p, const bytes& b);
bytes to_bytes(const std::string& s);
// n bytes from a Mersenne Twister seeded with seed.
bytes random_bytes(size_t n, uint32_t seed);

// Deterministic inputs of every kind (the regression table pins their compressed files: never change them).
// Prose: words drawn with a strong bias to small numbers out of `vocabulary`, lines of about a dozen words, an
// occasional number; it ends with `last`.
bytes prose(size_t n, uint32_t vocabulary, uint32_t seed, const std::string& last = "\n");
// A P6 image of smooth ramps with a little noise (amplitude `noise`); `grey` makes its channels equal.
bytes picture(int w, int h, uint32_t seed, bool grey = false, uint32_t noise = 6);
// Something like a program: instruction shapes, records, strings, padding and noise.
bytes binary(size_t n, uint32_t seed);
// A table of 28-byte records with slowly changing fields.
bytes records(size_t n, uint32_t seed);

// What the library writes for `in` in `mode` (qarn -c's file for an input of that mode), expecting success.
bytes library_file(qarn_mode mode, const bytes& in);

// Index and values of the first difference, for messages that say which byte differs.
std::string first_difference(const bytes& expected, const bytes& actual);
#define EXPECT_BYTES_EQ(expected, actual) EXPECT_EQ("", first_difference((expected), (actual)))

// A fresh directory per test, removed afterwards.
class scratch_test : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::filesystem::path path(const std::string& name) const { return dir / name; }
  std::filesystem::path dir;
};

// SHA-256 of b, as 64 lower-case hex digits.
std::string sha256_hex(const bytes& b);
