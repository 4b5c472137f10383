// hash.h — the 64-bit string hash and a fixed-size table from 64-bit keys (hashes already) to 32-bit values.
#pragma once

#include <cstdint>

namespace qarn {

uint64_t fasthash64(const void* buf, int32_t len);

// Its pieces, for callers that read the bytes their own way and must reach the same hash.
constexpr uint64_t fasthash_seed = 0x106689d45497fdb5ULL;
constexpr uint64_t fasthash_m = 0x880355f21e6d1965ULL;
inline uint64_t fasthash_mix(uint64_t v) {
  v ^= v >> 23;
  v *= 0x2127599bf4325c37ULL;
  v ^= v >> 47;
  return v;
}

struct hashentry {
  uint64_t key;  // 0 marks a free entry
  int32_t value;
  int32_t next;  // index of the next entry of the chain (always a cellar entry); 0 ends it
};

// Entries 0 to l - 1 are home slots (a key's home is key & mask); entries l to size - 1 are the cellar, from which
// colliding keys are chained. The table never grows by itself: a caller that needs more room builds a larger one.
struct hashtable {
  hashentry* a = nullptr;
  int32_t allocated = 0;
  int32_t count = 0;
  int32_t mask = 0;
  int32_t l = 0;
  int32_t size = 0;  // l * 1.3
  int32_t lc = 0;    // a free cellar entry, taken by the next collision
  int32_t cellar_used = 0;
};

// Returned by hashinsert2 when a new key does not fit: storing it would reach the load bound (0.8 l) or take the
// last free cellar entry. The table is then unchanged.
constexpr int32_t hash_full = INT32_MIN;

// l is a power of two, at least 4. Entries come from the general heap, zeroed. Throws std::bad_alloc (the table
// left empty) when they cannot be had.
void hashinit(hashtable* ht, int32_t l);
// Stores a new key (nonzero) with value (>= 0) and returns value; for a known key returns ~(its value), which is
// negative, and changes nothing; hash_full when a new key does not fit.
int32_t hashinsert2(hashtable* ht, uint64_t key, int32_t value);
void hashdelete(hashtable* ht);

}  // namespace qarn
