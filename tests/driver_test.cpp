// driver_test.cpp — the qarn command: arguments, refusals, exit statuses, mode choice and stored mode.
#include <sys/stat.h>

#include <filesystem>
#include <random>

#include "helpers.h"
#include "qarn.h"
#include "util.h"

using namespace qarn;

namespace fs = std::filesystem;

namespace {

const char usage_text[] =
    "Qarnwise version 3\nCompress:\n    ./qarn -c input output\nDecompress:\n    ./qarn -d input output\n";

class driver_test : public scratch_test {};

TEST_F(driver_test, bad_arguments_print_usage_and_fail) {
  write_bytes(path("in"), to_bytes("x"));
  std::string in = path("in"), out = path("out");
  const std::vector<std::vector<std::string>> cases = {
      {},          {"-c"},           {"-c", in},       {"-d", in},          {"-c", in, out, out},
      {"-x", in, out}, {"-cd", in, out}, {"c", in, out}, {"--c", in, out}, {"-C", in, out},
  };
  for (const auto& args : cases) {
    run_result r = run_qarn(args);
    EXPECT_EQ(r.status, 1) << testing::PrintToString(args);
    EXPECT_EQ(r.output, usage_text) << testing::PrintToString(args);
  }
  EXPECT_FALSE(fs::exists(out));
}

TEST_F(driver_test, missing_input_is_refused_in_both_directions) {
  std::string in = path("missing"), out = path("out");
  for (const char* option : {"-c", "-d"}) {
    run_result r = run_qarn({option, in, out});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, in + " not found\n");
  }
  EXPECT_FALSE(fs::exists(out));
}

// Sparse files let us test the size limit without writing a gigabyte.
void make_sparse(const fs::path& p, uintmax_t size, uint32_t head) {
  write_bytes(p, bytes{uint8_t(head), uint8_t(head >> 8), uint8_t(head >> 16), uint8_t(head >> 24)});
  fs::resize_file(p, size);
}

TEST_F(driver_test, size_limit_applies_to_both_directions) {
  std::string big = path("big.bin"), out = path("out");
  make_sparse(big, 1001000001, 0);
  for (const char* option : {"-c", "-d"}) {
    run_result r = run_qarn({option, big, out});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, "File " + big + " must be less than 1.001GB\n");
  }
  EXPECT_FALSE(fs::exists(out));

  // Exactly 1,001,000,000 bytes passes the driver; a stored file that long cannot come from the compressor, and a
  // stored input that long cannot be compressed into a file the decompressor would accept.
  make_sparse(big, 1001000000, 0);
  run_result d = run_qarn({"-d", big, out});
  EXPECT_EQ(d.status, 1);
  EXPECT_EQ(d.output, "Decompressing default\nFile " + big + " is corrupt\n");
  run_result c = run_qarn({"-c", big, out});
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(c.output, "Compressing default\nFile " + big + " must be less than 1.001GB\n");
  EXPECT_FALSE(fs::exists(out));
}

TEST_F(driver_test, stored_mode_limit_is_the_largest_input_that_round_trips) {
  std::string in = path("limit.bin"), packed = path("packed"), out = path("out");
  make_sparse(in, stored_input_limit + 1, 0x12345678);
  run_result r = run_qarn({"-c", in, packed});
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(fs::exists(packed));

  fs::resize_file(in, stored_input_limit);
  ASSERT_EQ(run_qarn({"-c", in, packed}).status, 0);
  EXPECT_EQ(fs::file_size(packed), uintmax_t(stored_input_limit) + 4);
  ASSERT_EQ(run_qarn({"-d", packed, out}).status, 0);
  EXPECT_EQ(fs::file_size(out), uintmax_t(stored_input_limit));
}

TEST_F(driver_test, mode_is_chosen_from_the_last_dot_of_the_whole_path) {
  fs::create_directory(path("dir.txt"));
  struct name_case {
    std::string name;
    std::string mode;
  };
  const std::vector<name_case> cases = {
      {"dir.txt/data", "text"}, {"data", "default"},     {"archive.tar", "default"}, {"x.dat.pnm", "image"},
      {".txt", "text"},            {"a.pnmx", "image"},     {"a.TXT", "default"},       {"a.tx", "default"},
      {"a.txt", "text"},           {"a.dat", "mixed"},      {"a.dat.gz", "default"},    {"a.", "default"},
  };
  for (const name_case& c : cases) {
    fs::path in = path(c.name);
    write_bytes(in, to_bytes("hello world\n"));
    run_result r = run_qarn({"-c", in.string(), path("out").string()});
    EXPECT_TRUE(r.output.rfind("Compressing " + c.mode + "\n", 0) == 0 ||
                r.output == c.mode + " mode is not available in this build\n")
        << c.name << ": " << r.output;
    fs::remove(path("out"));
  }
}

TEST_F(driver_test, unknown_or_truncated_header_is_corrupt) {
  std::string out = path("out");
  const std::vector<bytes> cases = {{}, {0}, {0, 0, 0}, {4, 0, 0, 0}, {0, 0, 0, 1, 9, 9}, {0xff, 0xff, 0xff, 0xff}};
  for (const bytes& b : cases) {
    std::string in = path("bad");
    write_bytes(in, b);
    run_result r = run_qarn({"-d", in, out});
    EXPECT_EQ(r.status, 1) << b.size();
    EXPECT_EQ(r.output, "File " + in + " is corrupt\n");
    EXPECT_FALSE(fs::exists(out));
  }
}

TEST_F(driver_test, stored_files_are_the_input_behind_a_zero_header) {
  std::mt19937 rng(7);
  for (size_t n : {size_t{0}, size_t{1}, size_t{3}, size_t{100}, size_t{65537}, size_t{3} << 20}) {
    bytes data(n);
    for (auto& b : data) b = uint8_t(rng());
    std::string in = path("sample.bin"), packed = path("sample.qarn"), out = path("restored.bin");
    write_bytes(in, data);
    run_result c = run_qarn({"-c", in, packed});
    ASSERT_EQ(c.status, 0);
    EXPECT_EQ(c.output, "Compressing default\n");
    bytes expected(data.size() + 4, 0);
    std::copy(data.begin(), data.end(), expected.begin() + 4);
    EXPECT_BYTES_EQ(expected, read_bytes(packed));

    // The header alone decides the mode: the name of the compressed file does not matter.
    run_result d = run_qarn({"-d", packed, out});
    ASSERT_EQ(d.status, 0);
    EXPECT_EQ(d.output, "Decompressing default\n");
    EXPECT_BYTES_EQ(data, read_bytes(out));
  }
}

TEST_F(driver_test, stored_mode_works_in_place) {
  bytes data = to_bytes("same file in and out");
  std::string p = path("x");
  write_bytes(p, data);
  ASSERT_EQ(run_qarn({"-c", p, p}).status, 0);
  EXPECT_EQ(read_bytes(p).size(), data.size() + 4);
  ASSERT_EQ(run_qarn({"-d", p, p}).status, 0);
  EXPECT_BYTES_EQ(data, read_bytes(p));
}

TEST_F(driver_test, failed_writes_leave_no_output_and_say_why) {
  std::string in = path("in");
  write_bytes(in, to_bytes("data"));
  // A path inside a missing directory cannot be created: the run stops before reading its input.
  const std::string nowhere = path("nodir/out");
  run_result r = run_qarn({"-c", in, nowhere});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, "Compressing default\nassertion \"fp!=NULL\" failed: ./util.c:45\n");
  EXPECT_EQ(r.errors, "qarn: " + nowhere + ": No such file or directory\n");
  // A write that fails part way leaves nothing behind.
  std::string big = path("big.bin"), out = path("out");
  write_bytes(big, bytes(100000, 7));
  run_result w = run_qarn({"-c", big, out}, 4096);
  EXPECT_EQ(w.status, 1);
  EXPECT_EQ(w.output, "Compressing default\nassertion \"length==n\" failed: ./util.c:48\n");
  EXPECT_EQ(w.errors, "qarn: " + out + ": File too large\n");
  EXPECT_FALSE(fs::exists(out));
  // A full device takes the open but not the data; it is a device, so it stays.
  if (fs::exists("/dev/full")) {
    run_result f = run_qarn({"-c", in, "/dev/full"});
    EXPECT_EQ(f.status, 1);
    EXPECT_EQ(f.output, "Compressing default\nassertion \"length==n\" failed: ./util.c:48\n");
    EXPECT_EQ(f.errors, "qarn: /dev/full: No space left on device\n");
    EXPECT_TRUE(fs::exists("/dev/full"));
  }
}

}  // namespace
