// util_test.cpp — the block store's sizes, guards, order and limits, and the whole-file helpers.
#include <unistd.h>

#include <cstdio>

#include "helpers.h"
#include "util.h"

namespace {

// The runtime's checks print on standard output; death tests read standard error.
#define EXPECT_FATAL(statement, text)                     \
  EXPECT_EXIT(                                            \
      {                                                   \
        dup2(STDERR_FILENO, STDOUT_FILENO);               \
        statement;                                        \
      },                                                  \
      testing::ExitedWithCode(1), text)

class block_store_test : public testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    alloc_init(int64_t{1} << 30);
  }
};

TEST_F(block_store_test, usable_areas_are_whole_pages_between_guards) {
  struct size_case {
    int64_t request, usable;
  };
  for (size_case c : {size_case{0, 4096}, {4095, 4096}, {4096, 8192}, {10000, 12288}}) {
    uint8_t* a = alloc_block(c.request);
    uint8_t* b = alloc_block(0);
    EXPECT_EQ(b - a, c.usable + 8192) << c.request;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 4096, 0u);
    EXPECT_EQ(get_u64(a - 8), rand_value);
    EXPECT_EQ(get_u64(a + c.usable), rand_value);
    a[c.usable - 1] = 1;  // the rounding slack is the caller's to use
    free_blocks(a, b);
  }
  EXPECT_EQ(alloc_live_blocks(), 0);
}

TEST_F(block_store_test, released_space_is_reused) {
  uint8_t* a = alloc_block(100);
  free_block(a);
  EXPECT_EQ(alloc_block(100), a);
}

TEST_F(block_store_test, guard_damage_is_caught_on_release) {
  uint8_t* a = alloc_block(100);
  EXPECT_FATAL(a[-1] = 0; free_block(a), "assertion \"a2\\[i\\]==rand_value\" failed: ./util.c:178");
  EXPECT_FATAL(a[-4096] = 0; free_block(a), "assertion \"a2\\[i\\]==rand_value\" failed: ./util.c:178");
  EXPECT_FATAL(a[4096] = 0; free_block(a), "assertion \"a2b\\[i\\]==rand_value\" failed: ./util.c:186");
  EXPECT_FATAL(a[8191] = 0; free_block(a), "assertion \"a2b\\[i\\]==rand_value\" failed: ./util.c:186");
}

TEST_F(block_store_test, blocks_are_released_newest_first) {
  uint8_t* a = alloc_block(10);
  uint8_t* b = alloc_block(10);
  EXPECT_FATAL(free_block(a), "assertion \"a-allocstore==alloctable\\[alloctablec-1\\]\" failed: ./util.c:171");
  EXPECT_FATAL(free_blocks(b, a), "a-allocstore==alloctable\\[alloctablec-1\\]");
  EXPECT_FATAL(free_blocks(a, static_cast<uint8_t*>(nullptr)), "assertion \"a\\[i\\]\" failed: ./util.c:210");
  free_blocks(a, b);
  EXPECT_FATAL(free_block(a), "assertion \"alloctablec>0\" failed: ./util.c:189");
}

TEST_F(block_store_test, limits_stop_with_a_fatal_check) {
  EXPECT_FATAL(alloc_block(-1), "assertion \"n>=0\" failed: ./util.c:137");
  // A block fits only when it ends strictly below the limit.
  alloc_init(1000000000);
  int64_t fits = 999997440 - 12288;  // the largest block area below the limit, less the two guards
  EXPECT_FATAL(alloc_block(fits + 4096), "assertion \"0\" failed: ./util.c:163");
  EXPECT_NE(alloc_block(fits), nullptr);
  EXPECT_FATAL(alloc_block(int64_t{1} << 62), "assertion \"0\" failed: ./util.c:163");
}

TEST_F(block_store_test, live_block_table_is_bounded) {
  EXPECT_FATAL(
      for (int i = 0; i <= 500000; i++) alloc_block(0), "failed: ./util.c:163");
  void* many[51] = {};
  EXPECT_FATAL(free_blocks_n(51, many), "failed: ./util.c:210");
}

class file_test : public scratch_test {};

TEST_F(file_test, readfile_reads_whole_files_and_exact_counts) {
  std::string p = path("f");
  write_bytes(p, {});
  uint8_t buf[16] = {};
  EXPECT_EQ(readfile(p.c_str(), buf, 0), 0u);
  write_bytes(p, to_bytes("abcdef"));
  EXPECT_EQ(readfile(p.c_str(), buf, 0), 6u);
  EXPECT_EQ(readfile(p.c_str(), buf, 3), 3u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 6), "abcdef");
  EXPECT_EQ(file_size(p.c_str()), 6);
  EXPECT_EQ(file_size(path("none").c_str()), -1);
  EXPECT_FATAL(readfile(p.c_str(), buf, 7), "assertion \"length==n\" failed: ./util.c:68");
  EXPECT_FATAL(readfile(path("none").c_str(), buf, 0), "assertion \"fp!=NULL\" failed: ./util.c:58");
}

TEST_F(file_test, writefile_creates_or_truncates) {
  std::string p = path("f");
  write_bytes(p, to_bytes("longer content"));
  EXPECT_EQ(writefile(p.c_str(), "abc", 3), 3u);
  EXPECT_BYTES_EQ(to_bytes("abc"), read_bytes(p));
  EXPECT_EQ(writefile_with_header(p.c_str(), 0x04030201, "xy", 2), 6u);
  EXPECT_BYTES_EQ((bytes{1, 2, 3, 4, 'x', 'y'}), read_bytes(p));
  EXPECT_FATAL(writefile(path("no/such").c_str(), "a", 1), "assertion \"fp!=NULL\" failed: ./util.c:45");
}

}  // namespace
