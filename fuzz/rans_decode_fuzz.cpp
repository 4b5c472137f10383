// rans_decode_fuzz.cpp — feeds arbitrary bytes to both rANS decoders as a block, with a bounded output room.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "ransavx.h"

using namespace qarn;

// Decoded lengths above this are refused by the room, which keeps every run quick.
constexpr unsigned max_room = 1 << 18;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 24)) return 0;
  // The block lives in its own buffer of exactly its size, so any read past it is caught.
  std::unique_ptr<uint8_t[]> block(new uint8_t[size ? size : 1]);
  std::memcpy(block.get(), data, size);
  unsigned room = max_room;
  if (size >= 4) {
    uint32_t n;
    std::memcpy(&n, data, 4);
    // Usually offer exactly the length the block claims (the case callers meet), sometimes one byte less.
    if (n <= max_room) room = (n & 0x100) && n ? n - 1 : n;
  }
  std::unique_ptr<uint8_t[]> out_scalar(new uint8_t[room ? room : 1]);
  std::unique_ptr<uint8_t[]> out_vector(new uint8_t[room ? room : 1]);
  unsigned size_scalar = room, size_vector = room;
  uint8_t* a = rans_uncompress_O1_32x16_impl(rans_impl::scalar, block.get(), static_cast<unsigned>(size),
                                             out_scalar.get(), &size_scalar);
  uint8_t* b = rans_uncompress_O1_32x16_impl(rans_impl::avx2, block.get(), static_cast<unsigned>(size),
                                             out_vector.get(), &size_vector);
  // The two implementations follow the same arithmetic, even on damaged blocks.
  if (!a != !b) std::abort();
  if (a && (size_scalar != size_vector || size_scalar > room ||
            std::memcmp(out_scalar.get(), out_vector.get(), size_scalar) != 0))
    std::abort();
  return 0;
}
