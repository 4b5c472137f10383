// helpers.h — shared test helpers: a scratch directory, whole-file access and running the real qarn program.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

using bytes = std::vector<uint8_t>;

struct run_result {
  int status;          // exit status, or 128 + signal
  std::string output;  // everything printed on standard output
};

// Runs the qarn program with the given arguments; a nonzero file_size_limit caps the size of any file it writes
// (writes past it fail).
run_result run_qarn(const std::vector<std::string>& args, long file_size_limit = 0);

bytes read_bytes(const std::filesystem::path& p);
void write_bytes(const std::filesystem::path& p, const bytes& b);
bytes to_bytes(const std::string& s);
// n bytes from a Mersenne Twister seeded with seed.
bytes random_bytes(size_t n, uint32_t seed);

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
