// hash.cpp — the 64-bit string hash and the cellar-chained hash table.
#include "hash.h"

#include <cassert>
#include <cstdlib>
#include <cstring>
#include <new>

namespace qarn {

uint64_t fasthash64(const void* buf, int32_t len) {
  const auto* p = static_cast<const unsigned char*>(buf);
  uint64_t h = fasthash_seed ^ (static_cast<uint64_t>(static_cast<int64_t>(len)) * fasthash_m);
  int32_t whole = len >= 0 ? len / 8 : 0;
  for (int32_t i = 0; i < whole; i++) {
    uint64_t w;
    std::memcpy(&w, p + 8 * static_cast<int64_t>(i), 8);
    h ^= fasthash_mix(w);
    h *= fasthash_m;
  }
  int rest = len >= 0 ? len & 7 : 0;
  if (rest) {
    const unsigned char* t = p + 8 * static_cast<int64_t>(whole);
    uint64_t w = 0;
    for (int k = 0; k < rest; k++) w |= static_cast<uint64_t>(t[k]) << (8 * k);
    h ^= fasthash_mix(w);
    h *= fasthash_m;
  }
  return fasthash_mix(h);
}

void hashinit(hashtable* ht, int32_t l) {
  assert(ht->allocated == 0);
  assert(l >= 4 && (l & (l - 1)) == 0);
  ht->count = 0;
  ht->l = l;
  ht->lc = l;
  ht->size = static_cast<int32_t>(l * 1.3);
  ht->mask = l - 1;
  ht->cellar_used = 0;
  // calloc of a large table maps fresh zero pages: only the entries a run touches cost memory.
  ht->a = static_cast<hashentry*>(std::calloc(static_cast<size_t>(ht->size), sizeof(hashentry)));
  if (!ht->a) {
    *ht = hashtable{};
    throw std::bad_alloc();
  }
  ht->allocated = 1;
  assert(ht->a[ht->lc].key == 0);
}

int32_t hashinsert2(hashtable* ht, uint64_t key, int32_t value) {
  hashentry* a = ht->a;
  int32_t i = static_cast<int32_t>(key & static_cast<uint64_t>(ht->mask));
  bool home_free = a[i].key == 0;
  if (!home_free) {
    for (;;) {
      if (a[i].key == key) return ~a[i].value;
      if (a[i].next == 0) break;
      i = a[i].next;
    }
  }
  // A new key: refuse it rather than reach the load bound or leave the cursor without a free cellar entry.
  if (ht->count + 1 >= static_cast<int32_t>(0.8 * ht->l)) return hash_full;
  if (!home_free && ht->cellar_used + 1 >= ht->size - ht->l) return hash_full;
  if (!home_free) {
    int32_t j = ht->lc;
    a[i].next = j;
    int32_t t = j + 1;
    while (t < ht->size && a[t].key != 0) t++;
    if (t >= ht->size)
      for (t = ht->l; t < j && a[t].key != 0; t++) {
      }
    assert(t != j && a[t].key == 0);
    ht->lc = t;
    ht->cellar_used++;
    i = j;
  }
  a[i].key = key;
  a[i].value = value;
  ht->count++;
  return value;
}

void hashdelete(hashtable* ht) {
  assert(ht->allocated == 1);
  std::free(ht->a);
  *ht = hashtable{};
}

}  // namespace qarn
