// text_roundtrip_fuzz.cpp — compresses arbitrary bytes in text mode and checks they come back exactly; damaged
// copies of the file must be refused or decode without harm.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "text.h"
#include "util.h"

using namespace qarn;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 16)) return 0;
  // Short inputs rarely beat the stored file; repeat them so the text-mode file is written and read back.
  byte_buffer in(size * 8 + 1);
  for (int r = 0; r < 8; r++) std::memcpy(in.data() + r * size, data, size);
  size_t n = size * 8;
  std::optional<byte_buffer> file = compress_text_buffer(in.data(), n);
  if (!file) return 0;
  if (file->size() > n + 4) std::abort();
  byte_buffer out = decompress_text_buffer(file->data(), file->size());
  if (out.size() != n || (n && std::memcmp(out.data(), in.data(), n) != 0)) std::abort();
  // One flipped byte, chosen by the input.
  if (size > 0) {
    byte_buffer damaged(file->size());
    std::memcpy(damaged.data(), file->data(), file->size());
    damaged[data[0] * 7919u % file->size()] ^= static_cast<uint8_t>(data[size - 1] | 1);
    try {
      decompress_text_buffer(damaged.data(), damaged.size());
    } catch (const qarn_error&) {
    }
  }
  return 0;
}
