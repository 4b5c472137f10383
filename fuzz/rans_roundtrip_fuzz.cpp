// rans_roundtrip_fuzz.cpp — codes arbitrary bytes with both rANS implementations, checks identical blocks and
// exact restoration by both decoders.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "ransavx.h"

using namespace qarn;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 22)) return 0;
  unsigned n = static_cast<unsigned>(size);
  std::unique_ptr<uint8_t[]> in(new uint8_t[n ? n : 1]);
  std::memcpy(in.get(), data, n);
  // Exactly the bound: the encoder may use all of it, and no more.
  unsigned room = rans_compress_bound(n);
  std::unique_ptr<uint8_t[]> block_scalar(new uint8_t[room]);
  std::unique_ptr<uint8_t[]> block_vector(new uint8_t[room]);
  unsigned size_scalar = room, size_vector = room;
  if (!rans_compress_O1_32x16_impl(rans_impl::scalar, in.get(), n, block_scalar.get(), &size_scalar)) std::abort();
  if (!rans_compress_O1_32x16_impl(rans_impl::avx2, in.get(), n, block_vector.get(), &size_vector)) std::abort();
  if (size_scalar != size_vector || std::memcmp(block_scalar.get(), block_vector.get(), size_scalar) != 0)
    std::abort();

  for (rans_impl impl : {rans_impl::scalar, rans_impl::avx2}) {
    // The decoder gets the block in a buffer of exactly its length and exactly n bytes of room.
    std::unique_ptr<uint8_t[]> block(new uint8_t[size_scalar]);
    std::memcpy(block.get(), block_scalar.get(), size_scalar);
    std::unique_ptr<uint8_t[]> out(new uint8_t[n ? n : 1]);
    unsigned out_size = n;
    if (!rans_uncompress_O1_32x16_impl(impl, block.get(), size_scalar, out.get(), &out_size)) std::abort();
    if (out_size != n || std::memcmp(out.get(), data, n) != 0) std::abort();
  }
  return 0;
}
