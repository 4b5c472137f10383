// image_decode_fuzz.cpp — arbitrary bytes as an image-mode file: refused or decoded, never out of bounds.
#include <cstddef>
#include <cstdint>

#include "image.h"
#include "util.h"

using namespace qarn;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    // Files of odd length are decoded by two threads.
    byte_buffer pnm = decompress_image_buffer(data, size, 1 + static_cast<int>(size & 1));
    // Whatever decodes is a PNM file that image mode restores byte for byte.
    pnm_geometry g;
    if (!parse_restorable_pnm(pnm.data(), pnm.size(), &g) && pnm.size() <= size_t(image_input_limit)) __builtin_trap();
  } catch (const qarn_error&) {
  }
  return 0;
}
