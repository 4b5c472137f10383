// fallback_test.cpp — inputs a modelling mode cannot take go to mixed mode, and files no mode shrinks are stored.
#include <filesystem>
#include <random>

#include "helpers.h"
#include "util.h"

using namespace qarn;

namespace {

class FallbackTest : public scratch_test {
 protected:
  // Compresses `data` under `name`, checks the mode number and progress line, and that it comes back exactly.
  void expect_mode(const std::string& name, const bytes& data, const std::string& line, uint32_t mode) {
    std::string in = path(name), packed = path(name + ".q"), out = path(name + ".out");
    write_bytes(in, data);
    run_result c = run_qarn({"-c", in, packed});
    ASSERT_EQ(c.status, 0) << name;
    EXPECT_EQ(c.output, line + "\n") << name;
    bytes file = read_bytes(packed);
    ASSERT_GE(file.size(), 4u);
    EXPECT_EQ(get_u32(file.data()), mode) << name;
    EXPECT_LE(file.size(), data.size() + 4) << name;
    ASSERT_EQ(run_qarn({"-d", packed, out}).status, 0) << name;
    EXPECT_BYTES_EQ(data, read_bytes(out)) << name;
  }
};

TEST_F(FallbackTest, text_past_its_limits_goes_to_mixed_mode) {
  // One token of 50,000,000 bytes does not fit the text dictionary.
  expect_mode("long.txt", bytes(50000000, 'x'), "Compressing text", mode_mixed);
}

TEST_F(FallbackTest, pnm_that_image_mode_would_alter_goes_to_mixed_mode) {
  std::string header = "P6\n# a comment\n256 256\n255\n";
  bytes pnm(header.begin(), header.end());
  for (int y = 0; y < 256; y++)
    for (int x = 0; x < 256; x++) pnm.insert(pnm.end(), {uint8_t(x), uint8_t(y), uint8_t((x + y) / 2)});
  expect_mode("comment.pnm", pnm, "Compressing image", mode_mixed);

  // The same image with the header image mode writes back is image mode's.
  std::string plain = "P6\n256 256\n255\n";
  bytes exact(plain.begin(), plain.end());
  exact.insert(exact.end(), pnm.begin() + static_cast<long>(header.size()), pnm.end());
  expect_mode("plain.pnm", exact, "Compressing image", mode_image);
}

TEST_F(FallbackTest, files_no_mode_shrinks_are_stored) {
  std::mt19937 rng(11);
  bytes noise(30000);
  for (auto& b : noise) b = uint8_t(rng());
  expect_mode("noise.txt", noise, "Compressing text", mode_stored);
  expect_mode("noise.dat", noise, "Compressing mixed", mode_stored);
  std::string plain = "P6\n100 100\n255\n";
  bytes image(plain.begin(), plain.end());
  image.insert(image.end(), noise.begin(), noise.end());
  expect_mode("noise.pnm", image, "Compressing image", mode_stored);
  expect_mode("short.txt", to_bytes("a few words\n"), "Compressing text", mode_stored);
}

}  // namespace
