// mixed_roundtrip_fuzz.cpp — the fuzz input, and inputs built from it that look like code, record tables and text,
// must come back byte for byte from mixed mode.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "mixed.h"
#include "util.h"

using namespace qarn;

namespace {

// Odd lengths go through two workers (the sections shared out between two threads), even ones through one.
void round_trip(const uint8_t* in, size_t n) {
  const int workers = 1 + static_cast<int>(n & 1);
  std::optional<byte_buffer> packed = encode_mixed(in, n, SIZE_MAX, workers);
  if (!packed) __builtin_trap();
  byte_buffer back = decompress_mixed_buffer(packed->data(), packed->size(), workers);
  if (back.size() != n || (n && std::memcmp(back.data(), in, n) != 0)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  round_trip(data, size);
  if (size < 3) return 0;

  // Byte 0 picks a record length (the stride transform's food), byte 1 how much of the input repeats, the rest
  // is the material: records with a few bytes changed, opcode pairs, and letters.
  const size_t record = 4 + data[0] % 72;
  const size_t total = std::min<size_t>(2048, (size - 2) * (1 + data[1] % 16));
  const uint8_t* src = data + 2;
  const size_t srcn = size - 2;
  std::vector<uint8_t> built(total);
  for (size_t i = 0; i < total; i++) {
    uint8_t b = src[i % srcn];
    switch ((i / 100 + data[1]) % 4) {
      case 0: b = i >= record && (b & 3) ? built[i - record] : b; break;  // records
      case 1: b = (i & 1) ? 0x89 : (b & 1 ? 0x48 : 0x4C); break;         // mov with REX prefixes
      case 2: b = static_cast<uint8_t>('a' + b % 26); break;              // letters
      default: break;
    }
    built[i] = b;
  }
  round_trip(built.data(), built.size());
  return 0;
}
