// mixed_decode_fuzz.cpp — arbitrary bytes as a mixed-mode file: refused or decoded, never out of bounds; whatever
// decodes has the length its header names.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "mixed.h"
#include "util.h"

using namespace qarn;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The mutator rarely keeps the mode number intact; give it the right one half of the time.
  uint8_t buf[1 << 16];
  const uint8_t* file = data;
  if (size >= 8 && size <= sizeof buf && (data[size - 1] & 1)) {
    std::memcpy(buf, data, size);
    put_u32(buf, mode_mixed);
    file = buf;
  }
  try {
    // Files of odd length are decoded by two workers.
    byte_buffer out = decompress_mixed_buffer(file, size, 1 + static_cast<int>(size & 1));
    if (out.size() != get_u32(file + 4)) __builtin_trap();
  } catch (const qarn_error&) {
  }
  return 0;
}
