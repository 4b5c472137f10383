// image_roundtrip_fuzz.cpp — small images derived from the fuzz input must come back byte for byte, and the
// input itself, taken as a PNM file, must either be refused by image mode or come back too.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "image.h"
#include "util.h"

using namespace qarn;

namespace {

// Odd lengths go through two threads, even ones through one.
void round_trip(const uint8_t* pnm, size_t n, size_t size_limit) {
  const int workers = 1 + static_cast<int>(n & 1);
  byte_buffer packed;
  if (!encode_image(pnm, n, size_limit, &packed, workers)) return;
  if (packed.size() > size_limit) __builtin_trap();
  byte_buffer back = decompress_image_buffer(packed.data(), packed.size(), workers);
  if (back.size() != n || std::memcmp(back.data(), pnm, n) != 0) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  round_trip(data, size, size + container_header_size);

  // Bytes 0 to 2 give the size (wide images stay short), byte 3 how the samples are built, the rest the samples.
  if (size < 5) return 0;
  const int width = 1 + (data[0] | (data[1] & 0x7F) << 8) % (data[1] & 0x80 ? 65536 : 96);
  const int height = 1 + data[2] % (1 + 6000 / width);
  const int style = data[3] % 3;
  const uint8_t* src = data + 4;
  const size_t srcn = size - 4;
  const size_t samples = 3 * size_t(width) * height;
  std::string head = pnm_header(width, height);
  std::vector<uint8_t> pnm(head.data(), head.data() + head.size());
  pnm.resize(head.size() + samples);
  uint8_t* s = pnm.data() + head.size();
  for (size_t i = 0; i < samples; i++) {
    uint8_t b = src[i % srcn];
    if (style == 1) b = uint8_t(i / 3 + (b & 7));             // smooth: a ramp with a little noise
    if (style == 2) b = i >= 3 ? uint8_t(s[i - 3] + (b & 3)) : b;  // channels that follow each other
    s[i] = b;
  }
  round_trip(pnm.data(), pnm.size(), SIZE_MAX);  // every size, even where the stored file would be smaller
  return 0;
}
