// checksum_avx2.cpp — XXH3-64, the streams' checksum, compiled for AVX2 (this file alone is built with -mavx2):
// stream.cpp calls it where the processor has AVX2, and the generic code elsewhere. The digests are the same; this
// code hashes about three times as fast. Nothing here has external linkage but the three functions below (xxHash
// is compiled in as static functions), so that no AVX2 code can stand in for another file's inline function.
#define XXH_INLINE_ALL
#include <xxhash.h>

#include "checksum_avx2.h"

namespace qarn {

uint64_t checksum_avx2(const uint8_t* p, size_t n) { return XXH3_64bits(p, n); }

void checksum_update_avx2(XXH3_state_t* state, const uint8_t* p, size_t n) { XXH3_64bits_update(state, p, n); }

uint64_t checksum_digest_avx2(const XXH3_state_t* state) { return XXH3_64bits_digest(state); }

}  // namespace qarn
