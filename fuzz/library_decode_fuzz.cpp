// library_decode_fuzz.cpp — arbitrary bytes through the C interface's decompression: a status, never a crash, an
// escaped exception or a write past the output. The output's room is the size the header claims (capped), or
// less, so that too-small outputs are taken as well; a success must fit the room and agree with the claim.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "libqarn.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint64_t claimed = 0;
  const qarn_status sized = qarn_decompressed_size(data, size, &claimed);
  uint64_t room = sized == QARN_OK ? claimed : 4096;
  if (room > (size_t{64} << 20)) room = size_t{64} << 20;
  if (size > 0 && (data[size - 1] & 1)) room /= 2;  // now and then too small
  std::vector<uint8_t> out(room);
  size_t got = 0;
  const qarn_status s = qarn_decompress(data, size, out.data(), out.size(), &got);
  switch (s) {
    case QARN_OK:
      if (got > out.size() || sized != QARN_OK || got != claimed) __builtin_trap();
      break;
    case QARN_ERROR_CORRUPT:
    case QARN_ERROR_OUTPUT_TOO_SMALL:
    case QARN_ERROR_OUT_OF_MEMORY:
      if (got != 0) __builtin_trap();
      break;
    default:
      __builtin_trap();  // no other status can come from a well-formed call
  }
  return 0;
}
