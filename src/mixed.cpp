// mixed.cpp — mixed mode: block classes, the stride transform, the section encoder's distance model, the token
// format of sections and the mode-3 file.
#include "mixed.h"

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cassert>
#include <cstring>
#include <initializer_list>
#include <type_traits>
#include <utility>
#include <variant>

#include "hash.h"
#include "ransavx.h"

namespace qarn {

namespace {

inline uint32_t load32(const uint8_t* p) { uint32_t v; std::memcpy(&v, p, 4); return v; }
inline uint64_t load64(const uint8_t* p) { uint64_t v; std::memcpy(&v, p, 8); return v; }

}  // namespace

mixed_stream::mixed_stream(size_t n) : buf(populated<uint8_t>(stream_front + n + stream_tail)), size(n) {
  std::memset(buf.data(), 0, stream_front);
  std::memset(buf.data() + stream_front + n, 0, stream_tail);
}

// ---------------------------------------------------------------------------------------------------------------
// Block classes.

namespace {

// Pair flags, indexed by the first byte + 256 x the second (a little-endian 16-bit load).
constexpr uint8_t pair_opcode = 1, pair_letters = 2;
// Frequent two-byte openings of x86-64 instructions (REX prefixes with mov/lea/test, call rel32, nop forms, ...).
constexpr uint8_t opcode_pairs[13][2] = {{0x48, 0x89}, {0x49, 0x89}, {0x48, 0x8B}, {0x48, 0x8D}, {0xE8, 0x00},
                                         {0x4C, 0x89}, {0x44, 0x24}, {0x48, 0x83}, {0x84, 0x24}, {0xFF, 0x48},
                                         {0x0F, 0x84}, {0x0F, 0x1F}, {0x48, 0x85}};

// Built by the compiler: a table made at run time would cost its pages and its loop in every process, which
// matters for small files.
struct pair_table {
  uint8_t t[65536] = {};
  constexpr pair_table() {
    // Letters as the C library classifies them in the default locale: A to Z and a to z.
    auto letter = [](int c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    for (int i = 0; i < 65536; i++) t[i] = letter(i & 255) && letter(i >> 8) ? pair_letters : 0;
    for (const auto& p : opcode_pairs) t[p[0] | p[1] << 8] |= pair_opcode;
  }
};
constexpr pair_table pair_flags;
const pair_table& pairs() { return pair_flags; }

// The bytes a block's classification reads: 24 before it, its 100, and one after.
constexpr int class_window_front = periodic_distance_b;
constexpr int class_window = class_window_front + mixed_block + 1;

}  // namespace

namespace {

uint8_t class_of_counts(int opcodes, int same16, int same24, int letters) {
  if (opcodes >= code_pair_threshold) return class_code;
  if (same16 >= periodic_threshold || same24 >= periodic_threshold) return class_periodic;
  if (letters >= text_pair_threshold) return class_text;
  return class_other;
}

uint8_t block_class_scalar(const uint8_t* data) {
  const uint8_t* t = pairs().t;
  int opcodes = 0, letters = 0, same16 = 0, same24 = 0;
  for (int i = 0; i < mixed_block; i++) {
    uint8_t f = t[data[i] | data[i + 1] << 8];
    opcodes += f & pair_opcode;
    letters += f >> 1;
    same16 += data[i] == data[i - periodic_distance_a];
    same24 += data[i] == data[i - periodic_distance_b];
  }
  return class_of_counts(opcodes, same16, same24, letters);
}

// The letters among 32 bytes. Bytes of 0x80 and up are negative here, so below 'a': only a to z and A to Z (folded
// to lower case) pass.
__attribute__((target("avx2"))) inline __m256i letter_mask(__m256i v) {
  const __m256i x = _mm256_or_si256(v, _mm256_set1_epi8(0x20));
  return _mm256_and_si256(_mm256_cmpgt_epi8(x, _mm256_set1_epi8('a' - 1)), _mm256_cmpgt_epi8(_mm256_set1_epi8('z' + 1), x));
}

__attribute__((target("avx2,popcnt"))) inline int count_mask(__m256i m, uint32_t keep) {
  return __builtin_popcount(static_cast<uint32_t>(_mm256_movemask_epi8(m)) & keep);
}

// The same counts 32 positions at a time: the pair at i is data[i] and data[i + 1], so a second load one byte on
// gives every pair's second byte. The block's 100 positions are covered by [0, 32), [32, 64), [64, 96) and the
// last four of [68, 100), whose loads end at data[100], the last byte the block may read.
__attribute__((target("avx2,popcnt"))) uint8_t block_class_avx2(const uint8_t* data) {
  int opcodes = 0, letters = 0, same16 = 0, same24 = 0;
  for (int i : {0, 32, 64, 68}) {
    const uint32_t keep = i == 68 ? 0xF0000000u : ~0u;  // the last load counts only positions 96 to 99
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i + 1));
    __m256i op = _mm256_setzero_si256();
    for (const auto& p : opcode_pairs)
      op = _mm256_or_si256(op, _mm256_and_si256(_mm256_cmpeq_epi8(a, _mm256_set1_epi8(static_cast<char>(p[0]))),
                                                _mm256_cmpeq_epi8(b, _mm256_set1_epi8(static_cast<char>(p[1])))));
    opcodes += count_mask(op, keep);
    letters += count_mask(_mm256_and_si256(letter_mask(a), letter_mask(b)), keep);
    const __m256i a16 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i - periodic_distance_a));
    const __m256i a24 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i - periodic_distance_b));
    same16 += count_mask(_mm256_cmpeq_epi8(a, a16), keep);
    same24 += count_mask(_mm256_cmpeq_epi8(a, a24), keep);
  }
  return class_of_counts(opcodes, same16, same24, letters);
}

}  // namespace

uint8_t block_class(const uint8_t* data, bool use_avx2) {
  return use_avx2 && cpu_has_avx2() ? block_class_avx2(data) : block_class_scalar(data);
}

void smooth_classes(uint8_t* classes, int64_t count) {
  if (count < 3) return;
  for (int64_t j = 1; j + 1 < count; j++)
    if (classes[j] != classes[j - 1] && classes[j] != classes[j + 1] && classes[j - 1] == classes[j + 1])
      classes[j] = classes[j - 1];
}

block_classes classify_blocks(const uint8_t* in, int64_t n) {
  block_classes r;
  r.blocks = (n + mixed_block - 1) / mixed_block;
  r.classes = mixed_stream(static_cast<size_t>(r.blocks));
  uint8_t* cls = r.classes.data();
  // Blocks near either end read through a zero-padded copy of their window.
  uint8_t window[class_window + 8];
  auto block_view = [&](int64_t start) -> const uint8_t* {
    if (start >= class_window_front && start + mixed_block < n) return in + start;
    std::memset(window, 0, sizeof window);
    int64_t lo = std::max<int64_t>(start - class_window_front, 0);
    int64_t hi = std::min<int64_t>(start + mixed_block + 1, n);
    if (hi > lo) std::memcpy(window + (lo - (start - class_window_front)), in + lo, static_cast<size_t>(hi - lo));
    return window + class_window_front;
  };
  const bool vec = cpu_has_avx2();
  for (int64_t b = 0; b < r.blocks; b++) cls[b] = block_class(block_view(b * mixed_block), vec);
  smooth_classes(cls, r.blocks);

  int64_t count[class_count] = {};
  for (int64_t b = 0; b < r.blocks; b++) count[cls[b]]++;
  for (int c = 0; c < class_count; c++) r.streams[c] = mixed_stream(static_cast<size_t>(count[c] * mixed_block));
  uint8_t* at[class_count];
  for (int c = 0; c < class_count; c++) at[c] = r.streams[c].data();
  for (int64_t b = 0; b < r.blocks; b++) {
    std::memcpy(at[cls[b]], block_view(b * mixed_block), mixed_block);
    at[cls[b]] += mixed_block;
  }
  return r;
}

// ---------------------------------------------------------------------------------------------------------------
// Stride transform.

namespace {

// Equal bytes of the chunk at p against each candidate stride back.
void stride_counts_scalar(const uint8_t* p, int counts[stride_candidates]) {
  constexpr uint64_t low7 = 0x7F7F7F7F7F7F7F7FULL, high = 0x8080808080808080ULL;
  for (int c = 0; c < stride_candidates; c++) {
    const int k = stride_step * (c + 1);
    int equal = 0;
    for (int w = 0; w < stride_chunk; w += 8) {
      uint64_t x = load64(p + w) ^ load64(p + w - k);
      uint64_t nonzero = (((x & low7) + low7) | x) & high;  // top bit of each byte set where the bytes differ
      equal += 8 - __builtin_popcountll(nonzero);
    }
    counts[c] = equal;
  }
}

// Bit j set when p[j] differs from p[j - s].
uint64_t stride_flags_scalar(const uint8_t* p, int s) {
  uint64_t m = 0;
  for (int j = 0; j < stride_chunk; j++) m |= uint64_t(p[j] != p[j - s]) << j;
  return m;
}

__attribute__((target("avx2,popcnt"))) void stride_counts_avx2(const uint8_t* p, int counts[stride_candidates]) {
  const __m256i a0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i a1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
  for (int c = 0; c < stride_candidates; c++) {
    const uint8_t* q = p - stride_step * (c + 1);
    __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
    __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 32));
    uint32_t m0 = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a0, b0)));
    uint32_t m1 = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a1, b1)));
    counts[c] = __builtin_popcount(m0) + __builtin_popcount(m1);
  }
}

__attribute__((target("avx2,popcnt"))) uint64_t stride_flags_avx2(const uint8_t* p, int s) {
  __m256i e0 = _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)),
                                 _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p - s)));
  __m256i e1 = _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32)),
                                 _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 - s)));
  uint64_t eq = static_cast<uint32_t>(_mm256_movemask_epi8(e0)) |
                uint64_t(static_cast<uint32_t>(_mm256_movemask_epi8(e1))) << 32;
  return ~eq;
}

struct bit_reverse_table {
  uint8_t t[256];
  bit_reverse_table() {
    for (int i = 0; i < 256; i++) {
      int r = 0;
      for (int b = 0; b < 8; b++) r |= ((i >> b) & 1) << (7 - b);
      t[i] = static_cast<uint8_t>(r);
    }
  }
};
const uint8_t* bit_reverse() {
  static const bit_reverse_table table;
  return table.t;
}

}  // namespace

stride_streams stride_transform(const uint8_t* p, int64_t lp, bool use_avx2) {
  const bool vec = use_avx2 && cpu_has_avx2();
  const int64_t chunks = (lp + stride_chunk - 1) / stride_chunk;
  stride_streams r;
  r.strides = mixed_stream(static_cast<size_t>(chunks));
  r.flags = mixed_stream(static_cast<size_t>(chunks * 8));
  mixed_stream exc(static_cast<size_t>(chunks * stride_chunk));
  uint8_t* strides = r.strides.data();
  uint8_t* flags = r.flags.data();
  uint8_t* e = exc.data();
  const uint8_t* rev = bit_reverse();
  for (int64_t c = 0; c < chunks; c++) {
    const uint8_t* q = p + c * stride_chunk;
    int counts[stride_candidates];
    if (vec) stride_counts_avx2(q, counts);
    else stride_counts_scalar(q, counts);
    int best = 0;
    for (int k = 1; k < stride_candidates; k++)
      if (counts[k] > counts[best]) best = k;  // ties keep the smaller stride
    const int s = stride_step * (best + 1);
    strides[c] = static_cast<uint8_t>(s);
    uint64_t m = vec ? stride_flags_avx2(q, s) : stride_flags_scalar(q, s);
    for (int b = 0; b < 8; b++) flags[c * 8 + b] = rev[(m >> (8 * b)) & 0xFF];
    while (m) {
      *e++ = q[__builtin_ctzll(m)];
      m &= m - 1;
    }
  }
  const size_t exceptions = static_cast<size_t>(e - exc.data());
  r.exceptions = mixed_stream(exceptions);
  if (exceptions) std::memcpy(r.exceptions.data(), exc.data(), exceptions);
  return r;
}

void stride_rebuild(const uint8_t* strides, int64_t chunks, const uint8_t* flags, const uint8_t* exceptions,
                    int64_t exception_count, uint8_t* p) {
  static const struct popcount_table {
    uint8_t t[256];
    popcount_table() {
      for (int i = 0; i < 256; i++) t[i] = static_cast<uint8_t>((i & 1) + (i > 1 ? t[i >> 1] : 0));
    }
  } bits;
  int64_t ones = 0;
  for (int64_t i = 0; i < chunks * 8; i++) ones += bits.t[flags[i]];
  if (ones != exception_count) corrupt();
  for (int64_t c = 0; c < chunks; c++)
    if (strides[c] % stride_step || strides[c] < stride_step || strides[c] > stride_max) corrupt();
  const uint8_t* e = exceptions;
  for (int64_t c = 0; c < chunks; c++) {
    const int s = strides[c];
    for (int b = 0; b < 8; b++) {
      uint8_t* q = p + c * stride_chunk + b * 8;
      const uint8_t f = flags[c * 8 + b];
      if (f == 0 && s >= 8) {
        std::memcpy(q, q - s, 8);  // no overlap: the source ends before q
        continue;
      }
      for (int j = 0; j < 8; j++) q[j] = (f >> (7 - j)) & 1 ? *e++ : q[j - s];
    }
  }
}

// ---------------------------------------------------------------------------------------------------------------
// The match table.

namespace {

constexpr int table_log = 24;
constexpr size_t table_entries = size_t{1} << table_log;
// Bucket counts of the four-byte finder, the eight-byte finder and the pair matcher.
constexpr int four_byte_shift = 64 - 14;
constexpr int eight_byte_shift = 64 - 24;
constexpr int pair_log = 22;
constexpr int pair_shift = 64 - pair_log;
constexpr size_t four_byte_buckets = size_t{1} << 14;
constexpr size_t pair_buckets = size_t{1} << 22;
// Multiplier of both position finders; its low 32 bits are odd, so equal tags mean equal four-byte keys.
constexpr uint64_t finder_multiplier = 0x106689d45497fdb5ULL;
// An entry of the model is a 32-bit tag and a 32-bit position (or run number + 1), 0 meaning empty. The tag is
// a function of what sits at that position: the first four bytes there (the low 32 bits of the product with an
// odd multiplier are a bijection of them), or the low half of the pair's hash. So the table keeps the position in
// the low bits of a 32-bit entry and as many top bits of the tag as the position leaves free; only when those
// agree is the whole tag read back from the position. That halves the table and skips most of the reads back.
using slot_t = uint32_t;

struct slot_packing {
  uint32_t pos_mask;
  explicit slot_packing(uint64_t max_value) {
    int bits = 1;
    while (bits < 32 && (max_value >> bits) != 0) bits++;
    pos_mask = bits >= 32 ? ~0u : (1u << bits) - 1;
  }
  slot_t pack(uint32_t pos, uint32_t tag) const { return pos | (tag & ~pos_mask); }
  uint32_t pos(slot_t e) const { return e & pos_mask; }
  bool tag_may_match(slot_t e, uint32_t tag) const { return ((e ^ tag) & ~pos_mask) == 0; }
};

// A use of the table by its hashes h: bucket h >> shift, tag the low 32 bits of h. exchange(h, v) stores v
// (a position or run number + 1, never 0) as the bucket's latest value and returns the value the bucket held when
// that one's tag may equal h's (the caller compares the bytes), else 0.

// All the buckets as one array.
struct direct_slots {
  slot_t* t;
  int shift;
  slot_packing pk;
  uint32_t exchange(uint64_t h, uint32_t v) {
    const uint32_t tag = static_cast<uint32_t>(h);
    slot_t& s = t[h >> shift];
    const slot_t old = s;
    s = pk.pack(v, tag);
    return pk.pos(old) & (0u - static_cast<uint32_t>(pk.tag_may_match(old, tag)));
  }
  static constexpr bool peeks = false;
  void prefetch(uint64_t h) { __builtin_prefetch(t + (h >> shift), 1); }
  void peek(uint64_t) {}
};

// The same buckets in a table sized to the values stored rather than to the bucket count: open addressing from
// the top bits of the bucket number, each entry a value with as many low bits of its bucket number as the value
// leaves free. Whose bucket an entry is in is worked out again from its value (`hash_of(v)` hashes what sits
// there), so each bucket reads exactly as in the full array: its latest value, or empty.
template <class HashOf>
struct compact_slots {
  uint32_t* t;
  uint32_t mask;
  int shift;       // the bucket number is h >> shift
  int home_shift;  // the entry a bucket starts looking from is h >> home_shift
  slot_packing pk;
  HashOf hash_of;
  uint32_t exchange(uint64_t h, uint32_t v) {
    const uint64_t b = h >> shift;
    // The low bits of the bucket number above the value (the top bits pick where the search starts).
    const uint32_t filter = static_cast<uint32_t>(b * (uint64_t{pk.pos_mask} + 1));
    for (uint32_t i = static_cast<uint32_t>(h >> home_shift);; i = (i + 1) & mask) {
      const uint32_t e = t[i];
      if (e == 0) {
        t[i] = v | filter;
        return 0;
      }
      if ((e & ~pk.pos_mask) != filter) continue;
      const uint32_t old = e & pk.pos_mask;
      const uint64_t g = hash_of(old);
      if ((g >> shift) != b) continue;
      t[i] = v | filter;
      return static_cast<uint32_t>(g) == static_cast<uint32_t>(h) ? old : 0;
    }
  }
  static constexpr bool peeks = true;
  void prefetch(uint64_t h) { __builtin_prefetch(t + (h >> home_shift), 1); }
  // Once the entry a bucket starts from is cached: asks for what the exchange will read to tell its bucket (a
  // hint only, the entry may change before then).
  void peek(uint64_t h) {
    if (const uint32_t e = t[h >> home_shift]) hash_of.prefetch(e & pk.pos_mask);
  }
};

// Entries of a compact table for `stores` values: at most two thirds full.
inline size_t compact_entries(size_t stores) {
  size_t cap = 64;
  while (cap < stores + stores / 2) cap *= 2;
  return cap;
}

}  // namespace

// The eight-byte finder's lookup and store at position p: the earlier position that the bucket held when its
// tag may match (the caller compares four bytes to be sure), else 0.
inline uint64_t eight_byte_hash(const uint8_t* data, uint32_t p) { return load64(data + p) * finder_multiplier; }

template <class Slots>
inline uint32_t eight_byte_step(const uint8_t* data, int32_t p, Slots& slots) {
  return slots.exchange(eight_byte_hash(data, static_cast<uint32_t>(p)), static_cast<uint32_t>(p));
}

// The eight-byte finder's buckets in a compact table: an entry's bucket is the hash of the bytes at its position.
struct eight_byte_hash_of {
  const uint8_t* data;
  uint64_t operator()(uint32_t p) const { return eight_byte_hash(data, p); }
  void prefetch(uint32_t p) const { __builtin_prefetch(data + p); }
};

// The eight-byte finder of one long section run by a second thread a few thousand positions ahead of the thread
// that sets the distances: the helper makes the random accesses to the large table (and checks each candidate's
// four bytes), the main thread everything else. Candidates pass through a ring of chunks.
class finder_partner {
 public:
  static constexpr int32_t chunk = 4096;  // positions; a multiple of the distance loop's block
  static constexpr int64_t ring = 16;     // chunks

  finder_partner() : cand_(static_cast<size_t>(ring * chunk)) {}
  // Main thread: the job (positions 4 to end - 1 of data, with the finder's buckets, empty, in `table`).
  template <class Slots>
  void post(const uint8_t* data, int32_t end, const Slots& table) {
    data_ = data;
    end_ = end;
    table_ = table;
    state_.store(state_posted, std::memory_order_release);
  }
  // Thrown by a wait when the job is given up.
  struct cancelled {};
  // Either thread: gives up the job (a failure elsewhere); the helper returns from run() soon after.
  void cancel() { state_.store(state_cancelled, std::memory_order_release); }
  // Helper thread: waits for the job, if any, and does it.
  void run();
  // Main thread: the verified candidates (0 for none) of the positions of chunk c, once the helper has them.
  const uint32_t* candidates(int64_t c) {
    wait([&] { return produced_.load(std::memory_order_acquire) > c; });
    return cand_.data() + (c % ring) * chunk;
  }
  // Main thread: done with chunk c, whose slot the helper may fill again.
  void done(int64_t c) { consumed_.store(c + 1, std::memory_order_release); }

 private:
  enum { state_waiting, state_posted, state_cancelled };
  template <class Ready>
  void wait(Ready&& ready) {
    for (int spins = 0; !ready(); spins++) {
      if (state_.load(std::memory_order_acquire) == state_cancelled) throw cancelled();
      if (spins < 1000) {
        _mm_pause();
      } else {
        std::this_thread::yield();
      }
    }
  }
  raw_array<uint32_t> cand_;
  std::atomic<int> state_{state_waiting};
  std::atomic<int64_t> produced_{0}, consumed_{0};
  const uint8_t* data_ = nullptr;
  int32_t end_ = 0;
  std::variant<std::monostate, direct_slots, compact_slots<eight_byte_hash_of>> table_;
  template <class Slots>
  void find(Slots& table);
};

void finder_partner::run() {
  try {
    wait([&] { return state_.load(std::memory_order_acquire) == state_posted; });
    std::visit(
        [&](auto& table) {
          if constexpr (!std::is_same_v<std::decay_t<decltype(table)>, std::monostate>) find(table);
        },
        table_);
  } catch (const cancelled&) {
  }
}

template <class Slots>
void finder_partner::find(Slots& table) {
  constexpr int32_t block = 256;
  uint32_t q[block];
  const int64_t chunks = (end_ + chunk - 1) / chunk;
  for (int64_t c = 0; c < chunks; c++) {
    wait([&] { return c - consumed_.load(std::memory_order_acquire) < ring; });
    uint32_t* out = cand_.data() + (c % ring) * chunk;
    const int32_t c0 = static_cast<int32_t>(c * chunk), c1 = std::min(end_, c0 + chunk);
    for (int32_t b0 = c0; b0 < c1; b0 += block) {
      const int32_t b1 = std::min(c1, b0 + block);
      // The lookups and stores in order, noting candidates and asking for their bytes; the buckets asked for a
      // block ahead, and what tells whose a bucket's entry is half a block ahead.
      for (int32_t p = std::max(b0, 4); p < b1; p++) {
        if (p + block < end_) table.prefetch(eight_byte_hash(data_, p + block));
        if constexpr (Slots::peeks)
          if (p + block / 2 < end_) table.peek(eight_byte_hash(data_, p + block / 2));
        const uint32_t cand = eight_byte_step(data_, p, table);
        q[p - b0] = cand;
        __builtin_prefetch(data_ + cand);
      }
      // A candidate counts when its first four bytes equal the position's, which is what the whole tag says.
      for (int32_t p = b0; p < b1; p++) {
        const uint32_t cand = p >= 4 ? q[p - b0] : 0;
        out[p - c0] = cand && load32(data_ + cand) == load32(data_ + p) ? cand : 0;
      }
    }
    produced_.store(c + 1, std::memory_order_release);
  }
}

// The match table (invariant between uses: every bucket is empty) and arrays handed from section to section, so
// that later sections reuse the memory of the first, usually largest, one.
class section_workspace {
 public:
  // Where the large tables keep their buckets.
  bucket_table tables = bucket_table::automatic;
  // When set, the next section with an eight-byte finder hands that finder to this partner.
  finder_partner* partner = nullptr;
  // The distances of the positions, which become the distances of the runs in place.
  raw_array<int32_t> positions;
  // The starts of the runs, and the marks of the places where the distance changes.
  raw_array<int32_t> starts;
  raw_array<uint64_t> changes;
  // The entries of the compact tables, and the pair hashes that go with the pair matcher's.
  raw_array<uint32_t> compact;
  raw_array<uint64_t> hashes;

  section_workspace() : small_(four_byte_buckets) { std::memset(small_.data(), 0, four_byte_buckets * sizeof(uint64_t)); }
  ~section_workspace() {
    if (big_) zeroed_free(big_, table_entries * sizeof(slot_t));
  }
  section_workspace(const section_workspace&) = delete;
  section_workspace& operator=(const section_workspace&) = delete;
  // The four-byte finder's 2^14 buckets, whole tags beside their positions.
  uint64_t* small() { return small_.data(); }
  // All 2^24 buckets, empty: mapped on first use (fresh anonymous pages read as zero), cleared again only when a
  // use that left many entries is followed by another.
  slot_t* big() {
    if (!big_) big_ = static_cast<slot_t*>(zeroed_alloc(table_entries * sizeof(slot_t)));
    if (big_used_) std::memset(big_, 0, big_used_ * sizeof(slot_t));
    big_used_ = 0;
    return big_;
  }
  // Gives the full table back, its address space too; a later use maps it afresh (empty).
  void release_big() {
    if (!big_) return;
    zeroed_free(big_, table_entries * sizeof(slot_t));
    big_ = nullptr;
    big_used_ = 0;
  }
  // After a use of the first `buckets` buckets that stored `stores` entries: clear_entry(i) empties the entries
  // one by one when that is cheaper than clearing them all, which is otherwise left to the next use.
  template <class ClearEntries>
  void used_big(size_t buckets, size_t stores, ClearEntries&& clear_entries) {
    if (stores > buckets / 16) {
      big_used_ = std::max(big_used_, buckets);
    } else {
      clear_entries(big_);
    }
  }
  // A compact table for `stores` values, empty.
  template <class HashOf>
  compact_slots<HashOf> compact_table(size_t stores, int bucket_bits, uint64_t max_value, HashOf hash_of) {
    const size_t entries = compact_entries(stores);
    int bits = 0;
    while ((size_t{1} << bits) < entries) bits++;
    compact = take(compact, entries);
    std::memset(compact.data(), 0, entries * sizeof(uint32_t));
    return compact_slots<HashOf>{compact.data(), static_cast<uint32_t>(entries - 1), 64 - bucket_bits, 64 - bits,
                                 slot_packing(max_value), hash_of};
  }

 private:
  raw_array<uint64_t> small_;
  slot_t* big_ = nullptr;
  size_t big_used_ = 0;  // the buckets from 0 that may hold entries
};

// ---------------------------------------------------------------------------------------------------------------
// The section encoder's distance model.

namespace {

// The identity prefix in front of every stream: data[-256 + c] = c.
constexpr int prefix_size = 256;

// Stream bytes further back than the prefix: the run model was designed on streams that sat 256 bytes into a
// block whose front guard repeats the bytes of rand_value, and backward propagation compares with those bytes.
// Emulating them keeps the run list (and so the token structure) unchanged; such runs are always coded as
// literal, so the decoded bytes never depend on them.
inline uint8_t byte_before_prefix(int64_t i) {
  const int64_t k = -(prefix_size + 1) - i;  // 0 for the byte just before the prefix
  return static_cast<uint8_t>(rand_value >> (8 * (7 - (k & 7))));
}

// From this stream length on, the section gives back the pages of its run list and of the full table as soon as
// it is done with them (a later, smaller section faults in again what it uses).
constexpr size_t release_min_stream = size_t{8} << 20;

// Positions q, q + 1, q + 2, q + 3 for q = first, first + 4, ... while q < n - 8.
inline int32_t finder_end(int32_t n) { return 4 * ((n - 9) / 4) + 4; }

// The first three steps of the model in one forward pass: the previous occurrence of each byte, overridden by the
// four-byte finder (positions 0 to end - 1, 2^14 buckets), then by the eight-byte finder with continuation
// (positions 4 to end - 1, 2^24 buckets). Each position's distance depends only on the positions before it and on
// the tables as those left them, so doing the three per position equals three whole passes. Positions go in
// blocks: first the table lookups and stores of the block, in order, noting candidates; then the distance
// updates, in order, which touch no table. The cache misses of the lookups then overlap instead of queueing
// behind mispredicted branches.
// With a partner, the partner does the eight-byte finder (and checks its candidates) while this thread does the
// rest.
template <class Slots>
void forward_distances(const uint8_t* data, int32_t n, int32_t* dist, uint64_t* small, Slots* big,
                       finder_partner* partner = nullptr) {
  constexpr int32_t block = 256;
  static_assert(finder_partner::chunk % block == 0);
  const int32_t end = n >= 9 ? finder_end(n) : 0;
  const bool eight = n >= 13;
  uint32_t cand4[block], own8[block];
  const uint32_t* cand8 = own8;  // the candidates of the block's positions from b0 on
  const uint32_t* shared = nullptr;  // the partner's candidates of the current chunk
  if (eight && partner) {
    partner->post(data, end, *big);
  }

  int32_t last[256];
  for (int c = 0; c < 256; c++) last[c] = c - prefix_size;
  for (int32_t b0 = 0; b0 < std::max(n, 1); b0 += block) {
    const int32_t b1 = std::min(std::max(n, 1), b0 + block);
    const int32_t f1 = std::min(b1, end);
    for (int32_t p = b0; p < f1; p++) {
      const uint64_t h = uint64_t(load32(data + p)) * finder_multiplier;
      const uint32_t tag = static_cast<uint32_t>(h);
      uint64_t& slot = small[h >> four_byte_shift];
      const uint64_t old = slot;
      slot = uint64_t(tag) << 32 | uint32_t(p);
      // Position 0 is stored with 0 and so never serves as a source. (A mask, not a branch: hits and misses
      // alternate unpredictably.)
      cand4[p - b0] = static_cast<uint32_t>(old) & (0u - static_cast<uint32_t>((old >> 32) == tag));
    }
    if (eight && partner && b0 < end) {
      const int64_t c = b0 / finder_partner::chunk;
      if (b0 % finder_partner::chunk == 0) shared = partner->candidates(c);
      cand8 = shared + (b0 - c * finder_partner::chunk);
    } else if (eight) {
      // The buckets asked for a block ahead (the table is far larger than the caches, and a lookup is mostly
      // waiting for memory), what tells whose a bucket's entry is half a block ahead.
      for (int32_t p = std::max(b0, 4); p < f1; p++) {
        if (p + block < end) big->prefetch(eight_byte_hash(data, p + block));
        if constexpr (Slots::peeks)
          if (p + block / 2 < end) big->peek(eight_byte_hash(data, p + block / 2));
        const uint32_t q = eight_byte_step(data, p, *big);
        own8[p - b0] = q;
        __builtin_prefetch(data + q);  // its four bytes are compared when the block's distances are set
      }
    }
    for (int32_t p = b0; p < b1; p++) {
      int32_t d = p == 0 ? prefix_size - data[0] : p - last[data[p]];
      last[data[p]] = p;
      if (p < end) {
        if (cand4[p - b0]) d = p - static_cast<int32_t>(cand4[p - b0]);
        if (eight && p >= 4) {
          const uint32_t q = cand8[p - b0];
          if (data[p - dist[p - 1]] == data[p]) {
            d = dist[p - 1];  // the previous position's match goes on
          } else if (q && (partner || load32(data + q) == load32(data + p))) {
            d = p - static_cast<int32_t>(q);  // the whole tag agrees (the partner has checked its candidates)
          }
        }
      }
      dist[p] = d;
    }
    if (eight && partner && b0 < end && (b1 % finder_partner::chunk == 0 || b1 >= end))
      partner->done(b0 / finder_partner::chunk);
  }
  std::memset(small, 0, four_byte_buckets * sizeof(uint64_t));
}

// Entries the eight-byte finder stores for a stream of n bytes.
size_t eight_byte_stores(int32_t n) { return static_cast<size_t>((n >= 13 ? finder_end(n) : 4) - 4); }

// Whether `stores` values in a table of `buckets` buckets are kept in the full array of buckets, else in a compact
// table. A compact table is slower (each exchange searches, and tells an entry's bucket from what sits at its
// value) but smaller, and memory is what costs most here: a program that touches fresh memory just after another
// program freed much of its own spends more time in the kernel getting the pages than in the model (measured on a
// 3.7 MB binary: 0.21-0.23 s with compact tables, 85 MB at peak, against 0.26-0.33 s with the full finder table,
// 126 MB; back to back with itself the full table was some 10 % faster).
bool uses_full_table(size_t stores, size_t buckets, bucket_table choice = bucket_table::automatic) {
  if (choice != bucket_table::automatic) return choice == bucket_table::full;
  return compact_entries(stores) >= buckets;
}

void forward_distances(const uint8_t* data, int32_t n, int32_t* dist, section_workspace* ws) {
  const int32_t end = n >= 13 ? finder_end(n) : 4;
  const size_t stores = eight_byte_stores(n);
  const uint64_t max_value = static_cast<uint64_t>(std::max(end, 1));
  if (!uses_full_table(stores, table_entries, ws->tables)) {
    auto slots = ws->compact_table(stores, table_log, max_value, eight_byte_hash_of{data});
    forward_distances(data, n, dist, ws->small(), &slots, n >= 13 ? std::exchange(ws->partner, nullptr) : nullptr);
    return;
  }
  direct_slots slots{ws->big(), eight_byte_shift, slot_packing(max_value)};
  // The partner, if any, serves this one section.
  finder_partner* partner = n >= 13 ? std::exchange(ws->partner, nullptr) : nullptr;
  forward_distances(data, n, dist, ws->small(), &slots, partner);
  // A long stream's table goes at once (the pair matcher faults in the quarter it uses).
  if (static_cast<size_t>(n) >= release_min_stream) return ws->release_big();
  ws->used_big(table_entries, stores, [&](slot_t* t) {
    for (int32_t p = 4; p < end; p++) t[eight_byte_hash(data, static_cast<uint32_t>(p)) >> eight_byte_shift] = 0;
  });
}

// Words of a bit set over the positions 0 to n - 1.
inline size_t position_words(int32_t n) { return static_cast<size_t>(n) / 64 + 1; }

// Backward propagation (n >= 2). Sets bit p of `changed` (bit p % 64 of word p / 64) for each place p where the
// distance changes from one position to the next (dist[p - 1] != dist[p]) and clears the others.
void backward_propagation(const uint8_t* data, int32_t n, int32_t* dist, uint64_t* changed) {
  auto byte_at = [data](int64_t i) { return i >= -prefix_size ? data[i] : byte_before_prefix(i); };
  // A position's source is the byte its own distance points at unless the position after it passed its distance
  // on (about one position in eight): a random read, asked for a few positions early.
  constexpr int32_t ahead = 16;
  uint64_t word = 0;
  changed[position_words(n) - 1] = 0;
  int32_t now = dist[n - 1];  // the distance of position p, final
  int32_t own = now;          // the distance position p had before this pass
  for (int32_t p = n - 1; p >= 1; p--) {
    if (p > ahead) __builtin_prefetch(data + (p - ahead - 1) - dist[p - ahead]);
    const int32_t before = dist[p - 1];
    // Reading the source through the position's own distance, and through the final one only when they differ,
    // keeps the load out of the chain that runs from each position's result to the next position.
    uint8_t b = byte_at(int64_t(p) - 1 - own);
    if (__builtin_expect(now != own, 0)) b = byte_at(int64_t(p) - 1 - now);
    // A select, not a branch: whether a match goes on is close to a coin toss.
    const int32_t keep = -static_cast<int32_t>(data[p - 1] == b);
    const int32_t next = (now & keep) | (before & ~keep);
    dist[p - 1] = next;
    word |= uint64_t(next != now) << (p & 63);
    if ((p & 63) == 0) {
      changed[p >> 6] = word;
      word = 0;
    }
    now = next;
    own = before;
  }
  changed[0] = word;
}

// a[0..len) equals b[0..len); len is at least 1 and both ranges are readable 8 bytes at a time up to their ends.
inline bool same_bytes(const uint8_t* a, const uint8_t* b, int32_t len) {
  if (a[0] != b[0]) return false;
  int32_t i = 1;
  for (; i + 8 <= len; i += 8)
    if (load64(a + i) != load64(b + i)) return false;
  for (; i < len; i++)
    if (a[i] != b[i]) return false;
  return true;
}

// Every byte of the run at s, length len, equals the byte d back, the source staying within the prefix. Most
// candidates fail on their first byte.
inline bool run_accepts(const uint8_t* data, int32_t s, int32_t len, int32_t d) {
  if (int64_t(s) - d < -prefix_size) return false;
  return same_bytes(data + s, data + s - d, len);
}

}  // namespace

uint64_t pair_hash(const uint8_t* p, int32_t len) {
  uint64_t h = fasthash_seed ^ (static_cast<uint64_t>(len) * fasthash_m);
  // The rest bytes of a word, the stream's zero tail making the whole word readable.
  auto keep = [](uint64_t w, int32_t rest) { return w & (~uint64_t{0} >> (64 - 8 * rest)); };
  if (len <= 16) {
    // Most pairs: one or two words, hashed both ways and picked without a branch (the number of words of
    // consecutive pairs is a coin toss).
    const uint64_t one = (h ^ fasthash_mix(keep(load64(p), std::min(len, 8)))) * fasthash_m;
    const uint64_t two = (one ^ fasthash_mix(keep(load64(p + 8), std::max(len - 8, 1)))) * fasthash_m;
    return fasthash_mix(len > 8 ? two : one);
  }
  const int32_t whole = len / 8;
  for (int32_t i = 0; i < whole; i++) {
    h ^= fasthash_mix(load64(p + 8 * i));
    h *= fasthash_m;
  }
  if (const int rest = len & 7) {
    h ^= fasthash_mix(keep(load64(p + 8 * whole), rest));
    h *= fasthash_m;
  }
  return fasthash_mix(h);
}

namespace {

// The hash of runs j and j + 1 together.
inline uint64_t hash_of_pair(const uint8_t* data, const int32_t* start, int32_t j) {
  return pair_hash(data + start[j], start[j + 2] - start[j]);
}

template <class Slots>
void pair_pass(const uint8_t* data, convert* c, int32_t last, Slots& slot, const uint64_t* hashes = nullptr) {
  int32_t* a3 = c->a3.data();
  const int32_t* start = c->starts.data();
  // A software pipeline over the runs: the hash of pair j and the prefetch of its bucket 20 runs early, the table
  // lookup and store of run j (in order), the prefetch of its candidate's bytes 16 runs later, and the byte
  // comparison (in order) 32 runs later. Only the comparisons change distances, and they read nothing the table
  // steps write.
  constexpr int32_t ahead = 20, lag_bytes = 16, lag_compare = 32, ring = 63;
  uint64_t hash[ring + 1];
  uint32_t cand[ring + 1];
  for (int32_t j = 0; j < ahead && j <= last; j++) {
    hash[j] = hashes ? hashes[j] : hash_of_pair(data, start, j);
    slot.prefetch(hash[j]);
  }
  for (int32_t j = 0; j <= last + lag_compare; j++) {
    if (j <= last) {
      if (j + ahead <= last) {
        const uint64_t h = hashes ? hashes[j + ahead] : hash_of_pair(data, start, j + ahead);
        hash[(j + ahead) & ring] = h;
        slot.prefetch(h);
      }
      if constexpr (Slots::peeks)
        if (j + ahead / 2 <= last) slot.peek(hash[(j + ahead / 2) & ring]);
      // Run j + 1, so that an empty bucket (0) never reads as a stored pair.
      const uint32_t k1 = slot.exchange(hash[j & ring], static_cast<uint32_t>(j + 1));
      cand[j & ring] = k1;
      if (k1) __builtin_prefetch(start + k1 - 1);
    }
    const int32_t i = j - lag_bytes;
    if (i >= 0 && i <= last && cand[i & ring]) __builtin_prefetch(data + start[cand[i & ring] - 1]);
    const int32_t q = j - lag_compare;
    if (q < 0 || !cand[q & ring]) continue;
    // A hit is taken only when the two pairs really are equal (equal bytes have equal hashes, so the whole tag
    // agrees as well).
    const int32_t k = static_cast<int32_t>(cand[q & ring]) - 1;
    const int32_t pair_len = start[q + 2] - start[q];
    if (start[k + 2] - start[k] != pair_len || !same_bytes(data + start[q], data + start[k], pair_len)) continue;
    const int32_t d = start[q] - start[k];
    a3[q] = d;
    a3[q + 1] = d;
  }
}

// The pair matcher's buckets in a compact table: an entry's bucket is the hash of the pair its run begins, from
// the hashes of all pairs, worked out first.
struct pair_hash_of {
  const uint64_t* hashes;
  uint64_t operator()(uint32_t j1) const { return hashes[j1 - 1]; }
  void prefetch(uint32_t j1) const { __builtin_prefetch(hashes + j1 - 1); }
};

void pair_matching(const uint8_t* data, convert* c, section_workspace* table) {
  const int32_t runs = c->count;
  if (runs < pair_min_runs) return;
  // Only the pairs that start at runs 0 to last are looked up.
  const int32_t last = runs - pair_min_runs;
  const size_t stores = static_cast<size_t>(last) + 1;
  const uint64_t max_value = stores;
  if (!uses_full_table(stores, pair_buckets, table->tables)) {
    raw_array<uint64_t> hashes = take(table->hashes, stores);
    const int32_t* start = c->starts.data();
    for (int32_t j = 0; j <= last; j++) hashes[j] = hash_of_pair(data, start, j);
    auto slots = table->compact_table(stores, pair_log, max_value, pair_hash_of{hashes.data()});
    pair_pass(data, c, last, slots, hashes.data());
    give(table->hashes, std::move(hashes));
    return;
  }
  direct_slots slots{table->big(), pair_shift, slot_packing(max_value)};
  pair_pass(data, c, last, slots);
  table->used_big(pair_buckets, stores, [&](slot_t* t) {
    const int32_t* start = c->starts.data();
    for (int32_t j = 0; j <= last; j++) t[hash_of_pair(data, start, j) >> pair_shift] = 0;
  });
}

void refine_pass(const uint8_t* data, convert* c) {
  const int32_t runs = c->count;
  int32_t* a3 = c->a3.data();
  const int32_t* start = c->starts.data();
  // Whether run k takes distance d. A run that already has d keeps taking it (its bytes equal their sources)
  // unless its source lies before the prefix.
  auto accepts = [&](int32_t k, int32_t d) {
    if (a3[k] == d) return int64_t(start[k]) - d >= -prefix_size;
    return run_accepts(data, start[k], start[k + 1] - start[k], d);
  };
  // The sources a few runs ahead are random reads: ask for them early (a hint only; distances may change).
  constexpr int32_t ahead = 48;
  if (runs >= backward_refine_min_runs) {
    for (int32_t r = runs - 1; r >= 21; r--) {
      if (r - ahead >= 4) {
        __builtin_prefetch(data + start[r - ahead - 1] - a3[r - ahead]);
        __builtin_prefetch(data + start[r - ahead - 4] - a3[r - ahead]);
      }
      const int32_t d = a3[r];
      for (int32_t k = r - 1; k >= r - 4; k--)
        if (accepts(k, d)) {
          a3[k] = d;
          break;
        }
    }
  }
  if (runs >= forward_refine_min_runs) {
    for (int32_t j = 0; j <= runs - 21; j++) {
      if (j + ahead + 4 < runs) {
        __builtin_prefetch(data + start[j + ahead + 1] - a3[j + ahead]);
        __builtin_prefetch(data + start[j + ahead + 4] - a3[j + ahead]);
      }
      const int32_t d = a3[j];
      for (int32_t k = j + 1; k <= j + 4; k++)
        if (accepts(k, d)) {
          a3[k] = d;
          break;
        }
    }
  }
}

void merge_pass(convert* c) {
  int32_t* a3 = c->a3.data();
  int32_t* start = c->starts.data();
  int32_t kept = 1;
  int32_t kept_length = start[1] - start[0];
  // start[i + 1] is still the input's: only entries up to kept <= i are written.
  for (int32_t i = 1; i < c->count; i++) {
    const int32_t length = start[i + 1] - start[i];
    if (a3[i] == a3[kept - 1] && kept_length + length <= max_run_length) {
      kept_length += length;
    } else {
      a3[kept] = a3[i];
      start[kept] = start[i];
      kept++;
      kept_length = length;
    }
  }
  start[kept] = start[c->count];
  c->count = kept;
}

}  // namespace

namespace {

// Sub-blocks by number, as laid out in a section body.
enum { sb_types = 0, sb_repeat_lengths, sb_new_lengths, sb_literal_lengths, sb_literals, sb_codes, sb_extra };

// Room for the sub-blocks of `runs` runs with `literal_bytes` literal bytes, each sub-block's in need[k] when
// need is given (8-byte multiples): at most one entry per run, and at most 27 extra bits per distance with room
// for the 32-bit stores of their packing.
size_t token_room(size_t runs, size_t literal_bytes, size_t* need = nullptr) {
  size_t total = 0;
  for (int k = 0; k < sub_block_count; k++) {
    const size_t n = k == sb_literals ? literal_bytes + 1 : k == sb_extra ? runs * 27 / 8 + 16 : runs + 1;
    const size_t room = (n + 7) & ~size_t{7};
    if (need) need[k] = room;
    total += room;
  }
  return total;
}

}  // namespace

convert section_runs(uint8_t* data, int32_t n, section_workspace* table) {
  for (int c = 0; c < prefix_size; c++) data[c - prefix_size] = static_cast<uint8_t>(c);
  convert c;
  // The distances of the positions; the runs' distances then take their place from the front.
  c.a3 = take(table->positions, static_cast<size_t>(std::max(n, 1)));
  int32_t* const dist = c.a3.data();
  forward_distances(data, n, dist, table);

  if (n <= 1) {
    c.starts = take(table->starts, 2, true);
    c.starts[0] = 0;  // a3[0] = dist[0]
    c.count = 1;
  } else {
    raw_array<uint64_t> changes = take(table->changes, position_words(n), true);
    const uint64_t* const changed = changes.data();
    backward_propagation(data, n, dist, changes.data());
    // Runs of equal distance, at most 251 long: each stretch of one distance gives ceil(length / 251) runs. They
    // are counted first, so that their starts (and the closing entry) take only the room they need.
    const size_t words = position_words(n);
    size_t runs = 0;
    int32_t s = 0;
    auto count = [&](int32_t e) {  // [s, e) has one distance
      runs += static_cast<size_t>((e - s + run_split_length - 1) / run_split_length);
      s = e;
    };
    for (size_t w = 0; w < words; w++)
      for (uint64_t m = changed[w]; m; m &= m - 1) count(static_cast<int32_t>(64 * w) + __builtin_ctzll(m));
    count(n);
    c.starts = take(table->starts, runs + 1, true);  // used in part by later sections: faulted in as needed
    int32_t* const st = c.starts.data();
    // Run r starts at position r or later, so its distance overwrites only distances already read. The distances
    // past the runs' are read no more once passed: those past the room the sub-blocks may take there go back as
    // the starts fill, which keeps the two arrays from peaking together.
    int32_t* const a3 = dist;
    const size_t keep = runs + 2 + token_room(runs, static_cast<size_t>(n)) / 4;
    size_t given_back = keep;
    constexpr size_t give_back_step = size_t{4} << 20;  // positions
    auto give_back = [&](size_t read) {
      if (read >= given_back + give_back_step) {
        discard(dist + given_back, (read - given_back) * sizeof(int32_t));
        given_back = read;
      }
    };
    int32_t r = 0;
    s = 0;
    auto stretch = [&](int32_t e) {  // [s, e) has one distance
      const int32_t d = dist[s];
      for (; e - s > run_split_length; s += run_split_length, r++) {
        a3[r] = d;
        st[r] = s;
      }
      a3[r] = d;
      st[r] = s;
      r++;
      s = e;
    };
    for (size_t w = 0; w < words; w++) {
      for (uint64_t m = changed[w]; m; m &= m - 1) stretch(static_cast<int32_t>(64 * w) + __builtin_ctzll(m));
      if ((w & 4095) == 0) give_back(static_cast<size_t>(s));
    }
    stretch(n);
    assert(static_cast<size_t>(r) == runs);
    c.count = r;
    give(table->changes, std::move(changes));
    if (given_back < static_cast<size_t>(n))
      discard(dist + given_back, (static_cast<size_t>(n) - given_back) * sizeof(int32_t));
  }
  // The end of the last run: an empty stream's run covers the zero byte after it.
  c.starts[static_cast<size_t>(c.count)] = std::max(n, 1);

  pair_matching(data, &c, table);
  if (static_cast<size_t>(n) >= release_min_stream) table->release_big();
  refine_pass(data, &c);
  merge_pass(&c);
  return c;
}

convert section_runs(uint8_t* data, int32_t n, bucket_table tables) {
  section_workspace table;
  table.tables = tables;
  return section_runs(data, n, &table);
}

void match_pairs(const uint8_t* data, convert* c) {
  section_workspace ws;
  pair_matching(data, c, &ws);
}
void refine_runs(const uint8_t* data, convert* c) { refine_pass(data, c); }
void merge_runs(convert* c) { merge_pass(c); }

// ---------------------------------------------------------------------------------------------------------------
// Tokens and sub-blocks.

namespace {

inline int bit_length(uint32_t d) { return d ? 32 - __builtin_clz(d) : 0; }

}  // namespace

bool literal_run(int32_t length, int32_t start, int32_t d) {
  // 8 L < 2 bl(d) + 1: the bytes cost less than the distance would.
  return 4 * length <= bit_length(static_cast<uint32_t>(d)) || start <= d;
}

int convert_int(int d, uint8_t* code, uint32_t* extra, int* nbits) {
  if (d <= 0) {  // only 0 is ever given; no token carries it
    *code = 1;
    *extra = 0;
    *nbits = 0;
    return 0;
  }
  const int e = bit_length(static_cast<uint32_t>(d)) - 1;
  if (e < 3) {
    *code = static_cast<uint8_t>(8 * e + ((d - (1 << e)) << (3 - e)));
    *extra = 0;
    *nbits = 0;
  } else {
    *code = static_cast<uint8_t>(8 * e + ((d >> (e - 3)) & 7));
    *nbits = e - 3;
    *extra = static_cast<uint32_t>(d) & ((1u << (e - 3)) - 1);
  }
  return 0;
}

uint64_t distance_of_code(uint8_t code, uint32_t extra) {
  const int e = code >> 3, t = code & 7;
  if (e < 3) return uint64_t((8 + t) << e) >> 3;
  return (uint64_t(8 + t) << (e - 3)) + extra;
}


section_tokens ordercv2_tokens(convert* c, const uint8_t* data, uint8_t* stream) {
  const int32_t runs = c->count;
  int32_t* a3 = c->a3.data();
  const int32_t* start = c->starts.data();

  // A first pass sizes the literal bytes exactly; every other sub-block has at most one entry per run.
  int64_t literal_bytes = start[1] - start[0];
  for (int32_t i = 1; i < runs; i++) {
    const int32_t L = start[i + 1] - start[i];
    if (literal_run(L, start[i], a3[i])) literal_bytes += L;
  }
  section_tokens t;
  const size_t rn = static_cast<size_t>(runs);
  size_t need[sub_block_count];
  const size_t total = token_room(rn, static_cast<size_t>(literal_bytes), need);
  // The sub-blocks lie back to back behind the runs' distances when the rest of that array (which held the
  // distances of all positions) is large enough, else in memory of their own, mapped only where written (their
  // room is for the most tokens there could be; mostly literal streams have far fewer).
  // When they do not fit there and the stream may be overwritten, the literal bytes are gathered in the stream
  // itself, at its front: a mostly literal stream (one that will be stored) then takes no second copy of itself.
  const size_t a3_free = c->a3.size() - rn;
  const size_t a3_room = a3_free >= 2 ? (a3_free - 2) * sizeof(int32_t) : 0;
  const bool in_place = stream && a3_room < total;
  const size_t region_size = in_place ? total - need[sb_literals] : total;
  uint8_t* region;
  if (a3_room >= region_size) {
    region = reinterpret_cast<uint8_t*>(a3 + ((rn + 2) & ~size_t{1}));  // 8-byte aligned
  } else {
    t.own = raw_array<uint8_t>(region_size);
    region = t.own.data();
  }
  for (int k = 0; k < sub_block_count; k++) {
    if (k == sb_literals && in_place) {
      t.sub[k] = stream;
      continue;
    }
    t.sub[k] = region;
    region += need[k];
  }
  uint8_t* types = t.sub[sb_types];
  uint8_t* rep_len = t.sub[sb_repeat_lengths];
  uint8_t* new_len = t.sub[sb_new_lengths];
  uint8_t* lit_len = t.sub[sb_literal_lengths];
  uint8_t* lits = t.sub[sb_literals];
  uint8_t* codes = t.sub[sb_codes];
  uint8_t* extra = t.sub[sb_extra];
  size_t ntypes = 0, nrep = 0, nnew = 0, nlit = 0, nlits = 0;
  uint64_t bitpos = 0;
  // The extra bits not yet written out, least significant first, and the bytes of them written.
  uint64_t pending = 0;
  int pending_bits = 0;
  size_t extra_written = 0;
  // The token of each of the last sixteen runs (repeats look nine runs back).
  int32_t token_of_run[16];
  constexpr int32_t ring = 15;

  // In place, the bytes move towards the front (nlits <= start[i]); the stream past them is still unread.
  auto literal_bytes_of = [&](int32_t i, int32_t L) {
    if (lits + nlits != data + start[i]) std::memmove(lits + nlits, data + start[i], static_cast<size_t>(L));
    nlits += static_cast<size_t>(L);
  };
  a3[0] = 0;
  types[ntypes++] = token_literal;
  lit_len[nlit++] = static_cast<uint8_t>(start[1] - start[0]);
  literal_bytes_of(0, start[1] - start[0]);
  for (int32_t i = 1; i < runs; i++) {
    const int32_t d = a3[i], S = start[i], L = start[i + 1] - S;
    if (literal_run(L, S, d)) {
      // A literal run: too short to pay for its distance, or its source would lie before the stream.
      a3[i] = 0;
      if (a3[i - 1] == 0 && lit_len[nlit - 1] + L <= literal_extend_limit) {
        lit_len[nlit - 1] = static_cast<uint8_t>(lit_len[nlit - 1] + L);
      } else {
        types[ntypes++] = token_literal;
        lit_len[nlit++] = static_cast<uint8_t>(L);
      }
      literal_bytes_of(i, L);
      continue;
    }
    assert(d > 0);
    int32_t repeat = -1;
    if (i >= repeat_first_run)
      for (int32_t j = i - 1; j >= i - repeat_window; j--)
        if (a3[j] == d) {
          repeat = j;
          break;
        }
    token_of_run[i & ring] = static_cast<int32_t>(ntypes);
    if (repeat >= 0) {
      const int type = 2 + static_cast<int>(ntypes) - token_of_run[repeat & ring];
      assert(type >= token_repeat_first && type <= token_repeat_last);
      types[ntypes++] = static_cast<uint8_t>(type);
      rep_len[nrep++] = static_cast<uint8_t>(L);
    } else {
      types[ntypes++] = token_new;
      new_len[nnew] = static_cast<uint8_t>(L);
      // The distance's code byte, and its extra bits packed least significant bit first.
      uint32_t x;
      int nb;
      convert_int(d, &codes[nnew], &x, &nb);
      assert(distance_of_code(codes[nnew], x) == static_cast<uint64_t>(d));
      nnew++;
      if (nb) {
        pending |= uint64_t(x) << pending_bits;
        pending_bits += nb;
        if (pending_bits >= 32) {
          const uint32_t word = static_cast<uint32_t>(pending);
          std::memcpy(extra + extra_written, &word, 4);
          extra_written += 4;
          pending >>= 32;
          pending_bits -= 32;
        }
        bitpos += static_cast<uint64_t>(nb);
      }
    }
  }
  t.size[sb_types] = ntypes;
  t.size[sb_repeat_lengths] = nrep;
  t.size[sb_new_lengths] = nnew;
  t.size[sb_literal_lengths] = nlit;
  t.size[sb_literals] = nlits;
  t.size[sb_codes] = nnew;
  // The last bits, then zero bits up to the end of the byte after the last whole one.
  t.size[sb_extra] = static_cast<size_t>(bitpos >> 3) + 1;
  for (; extra_written < t.size[sb_extra]; pending >>= 8) extra[extra_written++] = static_cast<uint8_t>(pending);
  return t;
}

void out_buffer::reserve(size_t extra) {
  const size_t need = pos + extra;
  if (need <= buf.size()) return;
  size_t cap = std::max(need, buf.size() + buf.size() / 2 + 4096);
  byte_buffer bigger(cap);
  if (pos) std::memcpy(bigger.data(), buf.data(), pos);
  buf = std::move(bigger);
}

// Whether sub-block k of `raw` bytes is written as it is.
inline bool sub_block_plain(int k, size_t raw) { return raw <= sub_block_plain_limit || k == sb_extra; }

void write_sub_blocks(const section_tokens& t, out_buffer* out) {
  // Room for the largest the sub-blocks can come to, taken at once (it is mapped only where written): a buffer
  // that grew on the way would copy what it holds.
  size_t room = 0;
  for (int k = 0; k < sub_block_count; k++)
    room += sub_block_header_size + (sub_block_plain(k, t.size[k]) ? t.size[k] : rans_compress_bound(static_cast<uint32_t>(t.size[k])));
  out->reserve(room);
  for (int k = 0; k < sub_block_count; k++) {
    const uint32_t raw = static_cast<uint32_t>(t.size[k]);
    if (sub_block_plain(k, raw)) {
      put_u32(out->at(), raw);
      put_u32(out->at() + 4, raw);
      if (raw) std::memcpy(out->at() + sub_block_header_size, t.sub[k], raw);
      out->pos += sub_block_header_size + raw;
      continue;
    }
    // The coder may use its whole bound as working space past the header, whatever the block comes to.
    unsigned room = rans_compress_bound(raw);
    unsigned char* r = rans_compress_O1_32x16(t.sub[k], raw,
                                              out->at() + sub_block_header_size, &room);
    assert(r);
    (void)r;
    put_u32(out->at(), room);
    put_u32(out->at() + 4, raw);
    out->pos += sub_block_header_size + room;
  }
}

void encode_section(uint8_t* data, int32_t n, out_buffer* out, section_workspace* ws) {
  convert c = section_runs(data, n, ws);
  section_tokens t = ordercv2_tokens(&c, data, data);
  // The run list goes back to the workspace once the sub-blocks no longer need it: at once when they have memory
  // of their own (and then a large one gives its pages back: the coded sub-blocks can be about as large as the
  // stream, for a stream that will be stored), else after they are written, since they lie in its memory.
  auto return_run_list = [&] {
    give(ws->positions, std::move(c.a3));
    give(ws->starts, std::move(c.starts));
  };
  const bool in_run_list = !t.own.data();
  if (!in_run_list) {
    if (static_cast<size_t>(n) >= release_min_stream) {
      discard(c.a3.data(), c.a3.size() * sizeof(int32_t));
      discard(c.starts.data(), c.starts.size() * sizeof(int32_t));
    }
    return_run_list();
  }
  out->reserve(section_header_size);
  const size_t pos0 = out->pos;
  out->pos += section_header_size;
  write_sub_blocks(t, out);
  if (in_run_list) return_run_list();
  put_u32(out->buf.data() + pos0, static_cast<uint32_t>(n));
  put_u32(out->buf.data() + pos0 + 4, static_cast<uint32_t>(out->pos - pos0 - section_header_size));
}

void encode_section(uint8_t* data, int32_t n, out_buffer* out) {
  section_workspace table;
  encode_section(data, n, out, &table);
}

// ---------------------------------------------------------------------------------------------------------------
// Section decoder.

namespace {

// Longest distance a code can stand for: 27 extra bits (codes up to 247 for distances below 2^31).
constexpr int max_extra_bits = 28;
// Spare bytes after each restored sub-block, so literal copies may move 16 bytes at a time.
constexpr size_t restore_slack = 16;

struct bit_reader {
  const uint8_t* p;  // readable for 8 bytes past size_bits / 8
  uint64_t size_bits;
  uint64_t pos = 0;
  uint32_t get(int nb) {
    if (pos + static_cast<uint64_t>(nb) > size_bits) corrupt();
    const uint32_t v = static_cast<uint32_t>((load64(p + (pos >> 3)) >> (pos & 7)) & ((uint64_t(1) << nb) - 1));
    pos += static_cast<uint64_t>(nb);
    return v;
  }
};

}  // namespace

size_t decode_section(const uint8_t* sec, size_t avail, uint64_t max_length, mixed_stream* out) {
  byte_buffer work;
  return decode_section(sec, avail, max_length, out, &work);
}

size_t decode_section(const uint8_t* sec, size_t avail, uint64_t max_length, mixed_stream* out,
                      byte_buffer* work_pool) {
  if (avail < section_header_size) corrupt();
  const uint32_t n = get_u32(sec), body = get_u32(sec + 4);
  if (n > max_length || body > avail - section_header_size) corrupt();
  // The decoded bytes: a stream of length 0 still holds the one byte after it.
  const uint64_t cap = n ? n : 1;

  const uint8_t* at[sub_block_count];
  uint32_t stored[sub_block_count], raw[sub_block_count];
  size_t left = body;
  const uint8_t* p = sec + section_header_size;
  for (int k = 0; k < sub_block_count; k++) {
    if (left < sub_block_header_size) corrupt();
    stored[k] = get_u32(p);
    raw[k] = get_u32(p + 4);
    left -= sub_block_header_size;
    if (stored[k] > left) corrupt();
    at[k] = p + sub_block_header_size;
    p += sub_block_header_size + stored[k];
    left -= stored[k];
  }
  if (left != 0) corrupt();

  // Counts that every section the encoder writes keeps to.
  const uint32_t tokens = raw[sb_types];
  if (tokens < 1 || tokens > cap || raw[sb_literals] > cap || raw[sb_codes] != raw[sb_new_lengths] ||
      uint64_t(raw[sb_repeat_lengths]) + raw[sb_new_lengths] + raw[sb_literal_lengths] != tokens ||
      raw[sb_extra] < 1 || raw[sb_extra] > (uint64_t(raw[sb_codes]) * max_extra_bits >> 3) + 1)
    corrupt();

  // Restore the sub-blocks into one work buffer.
  size_t total = 0;
  for (int k = 0; k < sub_block_count; k++) total += raw[k] + restore_slack;
  byte_buffer work = take(*work_pool, total);
  struct handback {
    byte_buffer* pool;
    byte_buffer* work;
    ~handback() { give(*pool, std::move(*work)); }
  } back{work_pool, &work};
  const uint8_t* sub[sub_block_count];
  uint8_t* w = work.data();
  for (int k = 0; k < sub_block_count; k++) {
    if (raw[k] <= sub_block_plain_limit || k == sb_extra) {
      if (stored[k] != raw[k]) corrupt();
      if (raw[k]) std::memcpy(w, at[k], raw[k]);
    } else {
      unsigned size = raw[k];
      if (!rans_uncompress_O1_32x16(const_cast<uint8_t*>(at[k]), stored[k], w, &size) || size != raw[k]) corrupt();
    }
    std::memset(w + raw[k], 0, restore_slack);
    sub[k] = w;
    w += raw[k] + restore_slack;
  }

  // Rebuild the stream token by token. Repeat tokens reach at most nine tokens back, so the distances of the last
  // sixteen tokens (0 for literal tokens) are all that is kept. Tokens are read and checked 20 ahead of their
  // copies, so that the source of each copy is asked for early: far sources are cache misses.
  *out = mixed_stream(static_cast<size_t>(cap));
  out->size = n;
  uint8_t* o = out->data();
  uint32_t recent[16] = {};
  constexpr uint32_t recent_mask = 15;
  struct copy {
    uint64_t pos, from;  // from: the literal offset (literal tokens) or the distance
    uint32_t length;
    bool literal;
  };
  constexpr uint32_t lag = 20, ring = 31;
  copy pending[ring + 1];
  const uint8_t* types = sub[sb_types];
  const uint8_t *rep_len = sub[sb_repeat_lengths], *new_len = sub[sb_new_lengths];
  const uint8_t *lit_len = sub[sb_literal_lengths], *lits = sub[sb_literals];
  const uint8_t* codes = sub[sb_codes];
  const uint32_t nnew = raw[sb_codes];
  bit_reader bits{sub[sb_extra], uint64_t(raw[sb_extra]) * 8};
  uint32_t nrep = 0, nn = 0, nlit = 0;
  uint64_t lit_at = 0, pos = 0;
  for (uint32_t t = 0; t < tokens + lag; t++) {
    if (t < tokens) {
      const uint8_t type = types[t];
      copy& c = pending[t & ring];
      c.pos = pos;
      if (type == token_literal) {
        if (nlit >= raw[sb_literal_lengths]) corrupt();
        c.length = lit_len[nlit++];
        if (lit_at + c.length > raw[sb_literals] || pos + c.length > cap) corrupt();
        c.literal = true;
        c.from = lit_at;
        lit_at += c.length;
        recent[t & recent_mask] = 0;
      } else {
        uint64_t d;
        if (type == token_new) {
          if (nn >= nnew) corrupt();
          const uint8_t code = codes[nn];
          const int nb = std::max((code >> 3) - 3, 0);
          d = distance_of_code(code, nb ? bits.get(nb) : 0);
          c.length = new_len[nn++];
        } else {
          if (type < token_repeat_first || type > token_repeat_last || t + 2 < type ||
              nrep >= raw[sb_repeat_lengths])
            corrupt();
          d = recent[(t + 2 - type) & recent_mask];
          c.length = rep_len[nrep++];
          if (d == 0) corrupt();  // the encoder repeats only distances of match tokens
        }
        // A source before the stream's start, or bytes past its end.
        if (d > pos || pos + c.length > cap) corrupt();
        recent[t & recent_mask] = static_cast<uint32_t>(d);
        c.literal = false;
        c.from = d;
        __builtin_prefetch(o + pos - d);
      }
      pos += c.length;
    }
    if (t < lag) continue;
    // Both buffers have 16 spare bytes, so copies move 16 bytes at a time where the distance allows.
    const copy& c = pending[(t - lag) & ring];
    uint8_t* q = o + c.pos;
    const uint32_t L = c.length;
    if (c.literal) {
      for (uint32_t k = 0; k < L; k += 16) std::memcpy(q + k, lits + c.from + k, 16);
      continue;
    }
    const uint8_t* src = q - c.from;
    if (c.from >= 16) {
      for (uint32_t k = 0; k < L; k += 16) std::memcpy(q + k, src + k, 16);
    } else if (c.from >= 8) {
      for (uint32_t k = 0; k < L; k += 8) std::memcpy(q + k, src + k, 8);
    } else {
      for (uint32_t k = 0; k < L; k++) q[k] = src[k];
    }
  }
  if (pos != cap || lit_at != raw[sb_literals] || nrep != raw[sb_repeat_lengths] || nn != nnew ||
      nlit != raw[sb_literal_lengths] || (bits.pos >> 3) + 1 != raw[sb_extra])
    corrupt();
  // The 16-byte copies may have run past the end: the tail is zero again for whoever reads it.
  std::memset(o + n, 0, stream_tail);
  return section_header_size + body;
}

// ---------------------------------------------------------------------------------------------------------------
// The mixed-mode file.

namespace {

// The shortest longest stream whose eight-byte finder is worth handing to the second worker.
constexpr size_t partner_min_stream = size_t{1} << 18;
// Below this many input bytes a second worker costs more than it saves.
constexpr size_t parallel_min_input = size_t{1} << 20;

// Workers for a file of n input bytes: `asked`, or when that is 0, two for large files if two processors are free.
int worker_count(int asked, uint64_t n) {
  if (asked > 0) return std::min(asked, 2);
  return n >= parallel_min_input && usable_cpus() >= 2 ? 2 : 1;
}

// The sections in the order the workers take them: largest first (ties in file order).
std::array<int, mixed_section_count> largest_first(const size_t (&size)[mixed_section_count]) {
  std::array<int, mixed_section_count> order;
  for (int k = 0; k < mixed_section_count; k++) order[k] = k;
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return size[a] > size[b]; });
  return order;
}

}  // namespace

std::optional<byte_buffer> encode_mixed(const uint8_t* in, size_t n, size_t size_limit, int workers,
                                        const std::function<void()>& done_reading) {
  // Positions are 32-bit throughout the model.
  if (n >= static_cast<size_t>(input_size_limit)) return std::nullopt;
  block_classes bc = classify_blocks(in, static_cast<int64_t>(n));
  if (done_reading) done_reading();
  mixed_stream& periodic = bc.streams[class_periodic];
  stride_streams ss = stride_transform(periodic.data(), static_cast<int64_t>(periodic.size));
  periodic = mixed_stream();

  mixed_stream* order[mixed_section_count] = {&bc.streams[class_code], &bc.streams[class_text],
                                              &bc.streams[class_other], &bc.classes, &ss.strides, &ss.flags,
                                              &ss.exceptions};
  size_t length[mixed_section_count];
  for (int k = 0; k < mixed_section_count; k++) length[k] = order[k]->size;
  const size_t longest = *std::max_element(length, length + mixed_section_count);
  // Each section is coded on its own into a part of the file; the first part begins with the file's header.
  out_buffer parts[mixed_section_count];
  parts[0].reserve(mixed_header_size);
  put_u32(parts[0].at(), mode_mixed);
  put_u32(parts[0].at() + 4, static_cast<uint32_t>(n));
  parts[0].pos = mixed_header_size;
  // The sections go longest first to one or two workers (the sections are independent, and the longest usually
  // takes as long as all the others together), each with a workspace of its own. Either way every part holds
  // the same bytes.
  const std::array<int, mixed_section_count> by_length = largest_first(length);
  workers = worker_count(workers, n);
  // With two workers and a longest stream that needs the large table, the second worker first runs that
  // section's eight-byte finder (the part of the model that waits on memory most), then takes the next sections.
  bool shared = workers >= 2 && longest >= partner_min_stream;
  std::optional<finder_partner> partner;
  if (shared) partner.emplace();
  std::atomic<int> next{shared ? 1 : 0};
  std::atomic<size_t> written{mixed_header_size};
  auto work = [&](int worker) {
    section_workspace table;
    auto section = [&](int i) {
      const int k = by_length[i];
      mixed_stream* s = order[k];
      parts[k].reserve(s->size / 2 + 4096);
      const size_t before = parts[k].pos;
      encode_section(s->data(), static_cast<int32_t>(s->size), &parts[k], &table);
      *s = mixed_stream();
      // Past the limit the file is not wanted: the other worker stops too.
      if (written.fetch_add(parts[k].pos - before) + parts[k].pos - before > size_limit)
        next.store(mixed_section_count);
    };
    if (shared && worker == 0) {
      table.partner = &*partner;
      section(0);
    } else if (shared) {
      partner->run();
    }
    for (int i; (i = next.fetch_add(1)) < mixed_section_count;) section(i);
  };
  auto stop = [&] {
    next.store(mixed_section_count);
    if (partner) partner->cancel();
  };
  if (!run_workers(workers, work, stop)) {
    shared = false;
    partner.reset();
    next.store(0);
    (void)run_workers(1, work, stop);
  }
  const size_t total = written.load();
  if (total > size_limit) return std::nullopt;
  out_buffer& out = parts[0];
  out.reserve(total - out.pos);
  for (int k = 1; k < mixed_section_count; k++) {
    std::memcpy(out.at(), parts[k].buf.data(), parts[k].pos);
    out.pos += parts[k].pos;
    parts[k] = out_buffer();
  }
  assert(out.pos == total);
  out.buf.shrink(out.pos);
  return std::move(out.buf);
}

std::optional<byte_buffer> compress_mixed_buffer(const uint8_t* in, size_t n,
                                                 const std::function<void()>& done_reading, int workers) {
  const size_t limit = std::min<size_t>(n + container_header_size, mixed_file_limit - 1);
  return encode_mixed(in, n, limit, workers, done_reading);
}

namespace {

// Decodes and checks the whole file, then hands the restored bytes to emit(bytes, count) in order, in pieces of
// about a megabyte: nothing is emitted from a damaged file.
template <class Emit>
void decode_mixed(const uint8_t* in, size_t size, int workers, Emit&& emit) {
  if (size < mixed_header_size || size >= static_cast<size_t>(mixed_file_limit) || get_u32(in) != mode_mixed)
    corrupt();
  const uint64_t n = get_u32(in + 4);
  if (n >= static_cast<uint64_t>(input_size_limit)) corrupt();
  const uint64_t blocks = (n + mixed_block - 1) / mixed_block;
  const uint64_t padded = blocks * mixed_block;
  const uint64_t max_chunks = (padded + stride_chunk - 1) / stride_chunk;

  mixed_stream s[mixed_section_count];
  const uint64_t max_length[mixed_section_count] = {padded, padded, padded, blocks, max_chunks, 8 * max_chunks,
                                                    stride_chunk * max_chunks};
  // Where each section starts: its header gives the size of its body.
  size_t at[mixed_section_count], body[mixed_section_count];
  size_t pos = mixed_header_size;
  for (int k = 0; k < mixed_section_count; k++) {
    if (size - pos < section_header_size) corrupt();
    body[k] = get_u32(in + pos + 4);
    if (body[k] > size - pos - section_header_size) corrupt();
    at[k] = pos;
    pos += section_header_size + body[k];
  }
  if (pos != size) corrupt();
  // The sections are independent: one or two workers take them largest first, each restoring sub-blocks in
  // a work buffer of its own (faulted in by its first, largest, section).
  const std::array<int, mixed_section_count> by_size = largest_first(body);
  std::atomic<int> next{0};
  auto work = [&](int) {
    byte_buffer buffer;
    for (int i; (i = next.fetch_add(1)) < mixed_section_count;) {
      const int k = by_size[i];
      decode_section(in + at[k], size - at[k], max_length[k], &s[k], &buffer);
    }
  };
  auto stop = [&] { next.store(mixed_section_count); };
  if (!run_workers(worker_count(workers, n), work, stop)) (void)run_workers(1, work, stop);

  mixed_stream &code = s[0], &text = s[1], &other = s[2], &classes = s[3];
  mixed_stream &strides = s[4], &flags = s[5], &exceptions = s[6];
  if (classes.size != blocks || flags.size != 8 * strides.size) corrupt();
  uint64_t count[class_count] = {};
  for (uint64_t b = 0; b < blocks; b++) {
    if (classes.data()[b] >= class_count) corrupt();
    count[classes.data()[b]]++;
  }
  if (code.size < count[class_code] * mixed_block || text.size < count[class_text] * mixed_block ||
      other.size < count[class_other] * mixed_block || strides.size * stride_chunk < count[class_periodic] * mixed_block)
    corrupt();

  mixed_stream periodic(static_cast<size_t>(strides.size * stride_chunk));
  stride_rebuild(strides.data(), static_cast<int64_t>(strides.size), flags.data(), exceptions.data(),
                 static_cast<int64_t>(exceptions.size), periodic.data());

  // The block interleave, through a staging buffer of 640 blocks: small enough to stay in cache and to need few
  // fresh pages, large enough that the writes are few.
  constexpr uint64_t staged_blocks = 640;
  byte_buffer stage(static_cast<size_t>(std::min(blocks, staged_blocks) * mixed_block + 1));
  const uint8_t* from[class_count] = {code.data(), periodic.data(), text.data(), other.data()};
  uint64_t emitted = 0;
  for (uint64_t b0 = 0; b0 < blocks; b0 += staged_blocks) {
    const uint64_t b1 = std::min(blocks, b0 + staged_blocks);
    for (uint64_t b = b0; b < b1; b++) {
      const uint8_t c = classes.data()[b];
      std::memcpy(stage.data() + (b - b0) * mixed_block, from[c], mixed_block);
      from[c] += mixed_block;
    }
    const uint64_t piece = std::min(n, b1 * mixed_block) - emitted;  // the last block stops at n
    emit(stage.data(), static_cast<size_t>(piece));
    emitted += piece;
  }
}

}  // namespace

byte_buffer decompress_mixed_buffer(const uint8_t* in, size_t size, int workers) {
  byte_buffer out;
  size_t used = 0;
  decode_mixed(in, size, workers, [&](const uint8_t* p, size_t k) {
    if (!out.data()) out = populated<uint8_t>(static_cast<size_t>(get_u32(in + 4)) + 1);
    std::memcpy(out.data() + used, p, k);
    used += k;
  });
  if (!out.data()) out = byte_buffer(1);
  out.shrink(used);
  return out;
}

void decompress_mixed_to(const uint8_t* in, size_t size, byte_sink& sink, int workers) {
  decode_mixed(in, size, workers, [&](const uint8_t* p, size_t k) { sink.write(p, k); });
}

}  // namespace qarn
