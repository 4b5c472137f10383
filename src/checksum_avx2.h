// checksum_avx2.h — XXH3-64 compiled for AVX2 (checksum_avx2.cpp), for processors that have it. Include after
// <xxhash.h> (with XXH_INLINE_ALL), whose state type these take.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qarn {

uint64_t checksum_avx2(const uint8_t* p, size_t n);
void checksum_update_avx2(XXH3_state_t* state, const uint8_t* p, size_t n);
uint64_t checksum_digest_avx2(const XXH3_state_t* state);

}  // namespace qarn
