// ransavx.cpp — the order-1 rANS coder: frequency model, block table, and 32-state coding loops (scalar and AVX2).
#include "ransavx.h"

#include "util.h"

#include <immintrin.h>

#include <cassert>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace qarn {

namespace {

constexpr uint32_t scale_bits = rans_scale_bits;
constexpr uint32_t scale_mask = TOTFREQ_O1 - 1;
// The table, with its 4-byte header, always stays below this many bytes.
[[maybe_unused]] constexpr uint32_t tab_size_limit = 257 * 257 * 3;
// Frequencies of 128 and more take two bytes, the first flagged with this bit.
constexpr uint32_t freq_two_byte_flag = 0x80;
// Room formula: bound = 1.05 n + 128 + 198407 (the table's worst case plus the states and some slack).
constexpr double bound_per_byte = 1.05;
constexpr double bound_states = 128;
constexpr double bound_table = 198407;
// Decoder slot: bits 0-7 symbol, 8-18 distance from the symbol's start, 19-30 frequency.
constexpr int slot_dist_shift = 8;
constexpr int slot_freq_shift = 19;
constexpr size_t slots_per_context = TOTFREQ_O1;
constexpr size_t decode_table_entries = 256 * slots_per_context;
// Inputs this long or longer are counted in four interleaved quarters (separate tables hide store-to-load
// dependencies); shorter ones use one table so that little memory needs clearing.
constexpr uint32_t quarter_count_min = 1u << 16;
// The vector loops handle 32 steps of each state per batch.
constexpr uint32_t steps_per_batch = 32;
// Row length of the vector encoder's local copy of a batch (33 bytes of each chunk).
constexpr int enc_local_row = 40;
// The vector decoder stages this many steps of every state before storing them into the chunks.
constexpr uint32_t stage_steps = 16 * steps_per_batch;
constexpr size_t dec_stage_row = stage_steps + 64;
constexpr size_t dec_stage_bytes = rans_states * dec_stage_row;

// Encoder record of one (context, symbol) pair: x -> floor(x / freq) * 2048 + x % freq + start, by multiply.
struct RansEncSymbol {
  uint32_t limit;       // a state above this sheds a 16-bit word before coding the symbol
  uint32_t recip;       // fixed-point reciprocal of freq
  uint32_t addend;      // start, plus 2047 when freq = 1 (recip then yields x - 1 instead of x)
  uint16_t complement;  // 2048 - freq
  uint16_t shift;       // 31 + ceil(log2 freq), or 32 when freq = 1; always 32..42
};
static_assert(sizeof(RansEncSymbol) == 16, "the vector encoder loads a record as one 16-byte vector");

// Records are indexed by symbol * 256 + context: the little-endian 16-bit load of (context, symbol) bytes.
inline uint32_t rec_index(uint32_t ctx, uint32_t sym) { return sym << 8 | ctx; }

void RansEncSymbolInit(RansEncSymbol* r, uint32_t start, uint32_t freq, uint32_t scale) {
  assert(start <= (1u << scale));
  assert(freq <= (1u << scale) - start);
  r->limit = ((rans_state_lower >> scale) << 16) * freq - 1;
  r->complement = static_cast<uint16_t>((1u << scale) - freq);
  if (freq < 2) {
    r->recip = ~0u;
    r->shift = 32;
    r->addend = start + (1u << scale) - 1;
  } else {
    uint32_t s = 0;
    while ((1u << s) < freq) s++;
    r->recip = static_cast<uint32_t>(((uint64_t{1} << (31 + s)) + freq - 1) / freq);
    r->shift = static_cast<uint16_t>(31 + s);
    r->addend = start;
  }
}

inline void put16(uint8_t* p, uint32_t v) {
  uint16_t w = static_cast<uint16_t>(v);
  std::memcpy(p, &w, 2);
}
inline uint32_t get16(const uint8_t* p) {
  uint16_t w;
  std::memcpy(&w, p, 2);
  return w;
}

// Encodes one symbol into x; a renormalisation word goes just below wp.
inline void enc_put(uint32_t& x, const RansEncSymbol& r, uint8_t*& wp) {
  if (x > r.limit) {
    wp -= 2;
    put16(wp, x);
    x >>= 16;
  }
  uint32_t q = static_cast<uint32_t>((uint64_t{x} * r.recip) >> r.shift);
  x = x + r.addend + uint32_t{r.complement} * q;
}

// Working tables kept between calls: a coder's blocks are handed to the calls that follow (on any thread), so the
// megabytes of tables a call needs are faulted in once rather than once per call (calls stay independent: every
// call sets up what it reads). They are kept for the process, not per thread: a thread's own blocks would need a
// destructor at its exit, and a library with such destructors pending cannot be unloaded.
struct kept_table {
  void* p;
  size_t size;
  bool in_use;
  const void* prepared_for;  // the thread that mapped it in for its next block (null: any)
};
constexpr int kept_table_count = 8;  // two workers' encoders take three blocks each
kept_table kept_tables[kept_table_count];
std::mutex kept_tables_lock;

// The calling thread, as the address of a variable of its own.
const void* this_thread_tag() {
  thread_local char tag;
  return &tag;
}

// Working memory of one call: a kept block when one is free and large enough (the calling thread's prepared ones
// first, another thread's last), else a new one, kept in turn when a place is free. A block `prepared` for the
// calling thread is left for it: no other thread's block is taken, and the block stays the thread's until it
// uses it.
struct heap_buffer {
  void* p = nullptr;
  explicit heap_buffer(size_t n, bool prepared = false) : size_(n), prepared_(prepared) {
    if (n == 0) return;  // nothing wanted: no block is taken
    const void* me = this_thread_tag();
    auto rank = [&](const kept_table& t) { return t.prepared_for == me ? 0 : t.prepared_for ? 2 : 1; };
    kept_table* place = nullptr;
    kept_table old{};
    {
      std::lock_guard<std::mutex> hold(kept_tables_lock);
      kept_table* best = nullptr;
      for (kept_table& t : kept_tables)
        if (t.p && !t.in_use && t.size >= n && !(prepared && rank(t) == 2) &&
            (!best || rank(t) < rank(*best) || (rank(t) == rank(*best) && t.size < best->size)))
          best = &t;
      if (best) {
        best->in_use = true;
        best->prepared_for = nullptr;
        p = best->p;
        place_ = best;
        return;
      }
      // An empty place, else the one of the smallest free block (too small for this call: it is given back),
      // another thread's prepared block last.
      for (kept_table& t : kept_tables)
        if (!t.in_use && (!place || (place->p && (!t.p || rank(t) < rank(*place) ||
                                                  (rank(t) == rank(*place) && t.size < place->size)))))
          place = &t;
      if (place) {
        old = *place;
        *place = {nullptr, 0, true, nullptr};  // taken while the block is made
      }
    }
    if (old.p) big_free(old.p, old.size);
    try {
      p = big_alloc(n);
    } catch (...) {
      if (place) {
        std::lock_guard<std::mutex> hold(kept_tables_lock);
        *place = {};
      }
      throw;
    }
    if (place) {
      std::lock_guard<std::mutex> hold(kept_tables_lock);
      *place = {p, n, true, nullptr};
      place_ = place;
    }
  }
  ~heap_buffer() {
    if (!p) return;
    if (place_) {
      std::lock_guard<std::mutex> hold(kept_tables_lock);
      place_->in_use = false;
      if (prepared_) place_->prepared_for = this_thread_tag();
      return;
    }
    big_free(p, size_);
  }
  heap_buffer(const heap_buffer&) = delete;
  heap_buffer& operator=(const heap_buffer&) = delete;

 private:
  size_t size_;
  bool prepared_;
  kept_table* place_ = nullptr;  // where the block is kept, if it is
};

// A block the coder allocates for a caller who offered none: freed unless handed over with release().
class owned_block {
 public:
  owned_block() = default;
  owned_block(const owned_block&) = delete;
  owned_block& operator=(const owned_block&) = delete;
  ~owned_block() { std::free(p_); }
  unsigned char* take(size_t n) {
    p_ = static_cast<unsigned char*>(std::malloc(n));
    if (!p_) throw std::bad_alloc();
    return p_;
  }
  void release() { p_ = nullptr; }

 private:
  unsigned char* p_ = nullptr;
};

// Lane tables of the vector renormalisation, one aligned vector load each.
struct perm_tables {
  // Decoder: byte shuffles of a group's eight words (in both halves), indexed by the mask of lanes that keep
  // their state. A renormalising lane k takes word number (renormalising lanes below k), zero-extended; kept lanes
  // get zero.
  alignas(32) uint8_t dec[256][32]{};
  // Encoder, indexed by the mask of renormalising lanes: their words go, in ascending lane order, to the top of an
  // eight-word block (32-bit lane indices).
  alignas(32) uint32_t enc[256][8]{};
};
constexpr perm_tables make_perm_tables() {
  perm_tables t{};
  for (int m = 0; m < 256; m++) {
    int count = 0;
    for (int k = 0; k < 8; k++) count += (m >> k) & 1;
    const int keep = ~m & 0xFF;
    for (uint8_t& b : t.dec[keep]) b = 0x80;
    int taken = 0;
    for (int k = 0; k < 8; k++) {
      if ((m >> k) & 1) {
        t.dec[keep][4 * k] = static_cast<uint8_t>(2 * taken);
        t.dec[keep][4 * k + 1] = static_cast<uint8_t>(2 * taken + 1);
        t.enc[m][8 - count + taken] = static_cast<uint32_t>(k);
        taken++;
      }
    }
  }
  return t;
}
constexpr perm_tables perms = make_perm_tables();

// ---------------------------------------------------------------------------------------------------------------
// Encoder

// Order-1 counts F[ctx * 256 + sym] of in[0..n), with ctx(0) = 0, and the totals T[ctx]. Rows of contexts that
// do not occur (T = 0) may be left uncleared and must not be read.
void count_order1(const uint8_t* in, uint32_t n, uint32_t* F, uint32_t* T) {
  std::memset(T, 0, 256 * sizeof(uint32_t));
  if (n < quarter_count_min) {
    // Clear only the rows of contexts that occur: a short input touches few of the 256.
    bool seen[256] = {};
    seen[0] = true;
    for (uint32_t i = 0; i + 1 < n; i++) seen[in[i]] = true;
    for (uint32_t c = 0; c < 256; c++)
      if (seen[c]) std::memset(F + c * 256, 0, 256 * sizeof(uint32_t));
    uint32_t prev = 0;
    for (uint32_t i = 0; i < n; i++) {
      F[prev << 8 | in[i]]++;
      T[prev]++;
      prev = in[i];
    }
    return;
  }
  // F is four tables here; quarters of q bytes counted side by side, the tail into the fourth.
  std::memset(F, 0, 4 * 65536 * sizeof(uint32_t));
  uint32_t* F1 = F + 65536;
  uint32_t* F2 = F1 + 65536;
  uint32_t* F3 = F2 + 65536;
  uint32_t q = n >> 2;
  const uint8_t* p1 = in + q;
  const uint8_t* p2 = in + 2 * q;
  const uint8_t* p3 = in + 3 * q;
  uint32_t c0 = 0, c1 = p1[-1], c2 = p2[-1], c3 = p3[-1];
  for (uint32_t i = 0; i < q; i++) {
    uint32_t s0 = in[i], s1 = p1[i], s2 = p2[i], s3 = p3[i];
    F[c0 << 8 | s0]++;
    F1[c1 << 8 | s1]++;
    F2[c2 << 8 | s2]++;
    F3[c3 << 8 | s3]++;
    c0 = s0, c1 = s1, c2 = s2, c3 = s3;
  }
  for (uint32_t i = 4 * q; i < n; i++) F3[uint32_t{in[i - 1]} << 8 | in[i]]++;
  for (uint32_t c = 0; c < 256; c++) {
    uint32_t t = 0;
    for (uint32_t i = c * 256; i < c * 256 + 256; i++) t += F[i] += F1[i] + F2[i] + F3[i];
    T[c] = t;
  }
}

// Scales the counts of one context to sum to 2048, every occurring symbol keeping at least 1.
void normalise_context(uint32_t* f, uint32_t total) {
  double p = static_cast<double>(TOTFREQ_O1) / total;
  uint32_t largest = 0, M = 0, t = 0;
  for (uint32_t s = 0; s < 256; s++) {
    if (!f[s]) continue;
    if (f[s] > largest) largest = f[s], M = s;
    f[s] = static_cast<uint32_t>(p * f[s]);
    if (f[s] < 1) f[s] = 1;
    t += f[s];
  }
  if (t < TOTFREQ_O1) {
    f[M] += TOTFREQ_O1 - t;
  } else if (t > TOTFREQ_O1) {
    uint32_t e = t - TOTFREQ_O1;
    if (f[M] > e) {
      f[M] -= e;
    } else {
      e -= f[M] - 1;
      f[M] = 1;
      for (uint32_t s = 0; s < 256 && e; s++) {
        if (f[s] < 2) continue;
        uint32_t give = f[s] - 1 < e ? f[s] - 1 : e;
        f[s] -= give;
        e -= give;
      }
    }
  }
}

uint8_t* put_freq(uint8_t* cp, uint32_t f) {
  if (f < freq_two_byte_flag) {
    *cp++ = static_cast<uint8_t>(f);
  } else {
    *cp++ = static_cast<uint8_t>(freq_two_byte_flag | f >> 8);
    *cp++ = static_cast<uint8_t>(f & 0xFF);
  }
  return cp;
}

// Normalises every occurring context, writes the table at cp and builds the records. Returns the table's end.
uint8_t* build_table(uint32_t* F, const uint32_t* T, RansEncSymbol* rec, uint8_t* cp) {
  uint32_t ctx_run = 0;
  for (uint32_t c = 0; c < 256; c++) {
    if (!T[c]) continue;
    uint32_t* f = F + c * 256;
    normalise_context(f, T[c]);
    if (ctx_run) {
      ctx_run--;
    } else {
      *cp++ = static_cast<uint8_t>(c);
      if (c > 0 && T[c - 1]) {
        for (uint32_t k = c + 1; k < 256 && T[k]; k++) ctx_run++;
        *cp++ = static_cast<uint8_t>(ctx_run);
      }
    }
    uint32_t sym_run = 0, start = 0;
    for (uint32_t s = 0; s < 256; s++) {
      if (!f[s]) continue;
      if (sym_run) {
        sym_run--;
      } else {
        *cp++ = static_cast<uint8_t>(s);
        if (s > 0 && f[s - 1]) {
          for (uint32_t k = s + 1; k < 256 && f[k]; k++) sym_run++;
          *cp++ = static_cast<uint8_t>(sym_run);
        }
      }
      cp = put_freq(cp, f[s]);
      RansEncSymbolInit(&rec[rec_index(c, s)], start, f[s], scale_bits);
      start += f[s];
    }
    *cp++ = 0;
  }
  *cp++ = 0;
  return cp;
}

// One main step k (>= 1) of all 32 states, state 31 first so that words ascend with the state upward.
inline void enc_step_scalar(uint32_t* R, const uint8_t* in, uint32_t m, uint32_t k, const RansEncSymbol* rec,
                            uint8_t*& wp) {
  for (int z = rans_states - 1; z >= 0; z--) {
    const uint8_t* p = in + z * size_t{m} + k;
    enc_put(R[z], rec[rec_index(p[-1], p[0])], wp);
  }
}

// One step of eight states whose records are given by index (lane order). The records are loaded whole and
// transposed into one vector per field, which is cheaper than gathering each field.
__attribute__((target("avx2"), always_inline)) inline __m256i enc_group_avx2(__m256i x, const RansEncSymbol* rec,
                                                                             const uint8_t* pair, uint8_t*& wp) {
  // pair points at lane 0's (context, symbol) bytes; lane l's lie l rows further on.
#define QARN_REC(l) _mm_loadu_si128(reinterpret_cast<const __m128i*>(rec + get16(pair + (l) * enc_local_row)))
  __m256i a0 = _mm256_inserti128_si256(_mm256_castsi128_si256(QARN_REC(0)), QARN_REC(4), 1);
  __m256i a1 = _mm256_inserti128_si256(_mm256_castsi128_si256(QARN_REC(1)), QARN_REC(5), 1);
  __m256i a2 = _mm256_inserti128_si256(_mm256_castsi128_si256(QARN_REC(2)), QARN_REC(6), 1);
  __m256i a3 = _mm256_inserti128_si256(_mm256_castsi128_si256(QARN_REC(3)), QARN_REC(7), 1);
#undef QARN_REC
  __m256i t0 = _mm256_unpacklo_epi32(a0, a1), t1 = _mm256_unpackhi_epi32(a0, a1);
  __m256i t2 = _mm256_unpacklo_epi32(a2, a3), t3 = _mm256_unpackhi_epi32(a2, a3);
  __m256i limit = _mm256_unpacklo_epi64(t0, t2);
  __m256i recip = _mm256_unpackhi_epi64(t0, t2);
  __m256i addend = _mm256_unpacklo_epi64(t1, t3);
  __m256i cs = _mm256_unpackhi_epi64(t1, t3);
  // States and limits both lie below 2^31, so the signed comparison is exact.
  __m256i renorm = _mm256_cmpgt_epi32(x, limit);
  int mask = _mm256_movemask_ps(_mm256_castsi256_ps(renorm));
  __m256i perm = _mm256_load_si256(reinterpret_cast<const __m256i*>(perms.enc[mask]));
  __m256i w = _mm256_and_si256(_mm256_permutevar8x32_epi32(x, perm), _mm256_set1_epi32(0xFFFF));
  w = _mm256_permute4x64_epi64(_mm256_packus_epi32(w, w), 0x08);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(wp - 16), _mm256_castsi256_si128(w));
  wp -= 2 * _mm_popcnt_u32(static_cast<unsigned>(mask));
  x = _mm256_blendv_epi8(x, _mm256_srli_epi32(x, 16), renorm);
  // q = (x * recip) >> shift, with shift >= 32: the high half of the product shifted by shift - 32.
  __m256i even = _mm256_srli_epi64(_mm256_mul_epu32(x, recip), 32);
  __m256i odd = _mm256_mul_epu32(_mm256_srli_epi64(x, 32), _mm256_srli_epi64(recip, 32));
  __m256i hi = _mm256_blend_epi32(even, odd, 0xAA);
  __m256i shift = _mm256_sub_epi32(_mm256_srli_epi32(cs, 16), _mm256_set1_epi32(32));
  __m256i q = _mm256_srlv_epi32(hi, shift);
  __m256i comp = _mm256_and_si256(cs, _mm256_set1_epi32(0xFFFF));
  return _mm256_add_epi32(_mm256_add_epi32(x, addend), _mm256_mullo_epi32(comp, q));
}

// Main steps k = m-1 down to 3 in vector form, 32 steps per batch. The 32 chunks lie m bytes apart, often a
// large power of two, so reading them in place would make every step's loads fight over the same cache sets:
// each batch first copies its 33 bytes of every chunk into a small local array, where each step finds the
// (context, symbol) pair of every state.
__attribute__((target("avx2"))) void enc_main_avx2(uint32_t* R, const uint8_t* in, uint32_t m,
                                                    const RansEncSymbol* rec, uint8_t*& wp) {
  // Row z: bytes k_lo - 1 .. k_hi of chunk z.
  alignas(32) uint8_t local[rans_states][enc_local_row] = {};
  __m256i x0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(R));
  __m256i x1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(R + 8));
  __m256i x2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(R + 16));
  __m256i x3 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(R + 24));
  uint8_t* w = wp;
  for (uint32_t k_hi = m - 1; k_hi >= 3;) {
    uint32_t k_lo = k_hi >= 3 + steps_per_batch - 1 ? k_hi - (steps_per_batch - 1) : 3;
    size_t span = k_hi - k_lo + 2;
    for (int z = 0; z < rans_states; z++) {
      const uint8_t* src = in + z * size_t{m} + k_lo - 1;
      if (span == steps_per_batch + 1) {
        std::memcpy(local[z], src, steps_per_batch + 1);  // the usual case, with a size known here
      } else {
        std::memcpy(local[z], src, span);
      }
    }
    for (uint32_t k = k_hi + 1; k-- > k_lo;) {
      const uint8_t* pair = &local[0][k - k_lo];
      x3 = enc_group_avx2(x3, rec, pair + 24 * enc_local_row, w);
      x2 = enc_group_avx2(x2, rec, pair + 16 * enc_local_row, w);
      x1 = enc_group_avx2(x1, rec, pair + 8 * enc_local_row, w);
      x0 = enc_group_avx2(x0, rec, pair, w);
    }
    k_hi = k_lo - 1;
  }
  wp = w;
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(R), x0);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(R + 8), x1);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(R + 16), x2);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(R + 24), x3);
}

// given, when not null, holds the order-1 counts of in as count_order1 makes them (every row set). With `own` the
// counts are those in given and may be changed in place. With `at_end` the block is left at the end of the room
// (out + bound) and starts at the returned pointer; the table waits in working memory meanwhile, so that the room
// in front of the block is never written.
unsigned char* compress(bool vec, unsigned char* in, unsigned int n, unsigned char* out, unsigned int* out_size,
                        const uint32_t* given = nullptr, bool own = false, bool at_end = false) {
  unsigned int bound = rans_compress_bound(n);
  if (!bound) return nullptr;
  if (out && *out_size < bound) return nullptr;
  owned_block owned;
  if (!out) {
    out = owned.take(bound);
    *out_size = bound;
  }

  if (n == 0) {
    // Nothing to code: context 0 lists symbol 0 at full frequency, and every state stays at its start value.
    uint8_t* cp = out + 4;
    *cp++ = 0;
    *cp++ = 0;
    cp = put_freq(cp, TOTFREQ_O1);
    *cp++ = 0;
    *cp++ = 0;
    for (int z = 0; z < rans_states; z++, cp += 4) put_u32(cp, rans_state_lower);
    put_u32(out, 0);
    *out_size = static_cast<unsigned int>(cp - out);
    owned.release();
    if (!at_end) return out;
    return static_cast<unsigned char*>(std::memmove(out + bound - *out_size, out, *out_size));
  }

  // With counts of its own to work in, the coder needs no table of its own: a table it takes faults in pages.
  size_t count_entries = (n < quarter_count_min || given ? 1 : 4) * size_t{65536};
  heap_buffer counts(own ? 0 : count_entries * sizeof(uint32_t));
  heap_buffer records(65536 * sizeof(RansEncSymbol));
  heap_buffer table_room(at_end ? tab_size_limit : 0);
  uint32_t* F = own ? const_cast<uint32_t*>(given) : static_cast<uint32_t*>(counts.p);
  auto* rec = static_cast<RansEncSymbol*>(records.p);

  uint32_t T[256];
  if (given) {
    if (!own) std::memcpy(F, given, 65536 * sizeof(uint32_t));
    for (uint32_t c = 0; c < 256; c++) {
      uint32_t t = 0;
      for (uint32_t s = 0; s < 256; s++) t += F[c * 256 + s];
      T[c] = t;
    }
  } else {
    count_order1(in, n, F, T);
  }
  uint32_t m = n >> 5;
  // Every chunk's first byte is coded in context 0: seed those bytes there.
  for (uint32_t k = 1; k < rans_states; k++) F[in[k * m]]++;
  T[0] += rans_states - 1;
  uint8_t* table_start = at_end ? static_cast<uint8_t*>(table_room.p) : out + 4;
  uint8_t* table_end = build_table(F, T, rec, table_start);
  uint32_t tab_size = static_cast<uint32_t>(table_end - table_start) + 4;
  assert(tab_size < tab_size_limit);

  uint32_t R[rans_states];
  for (auto& r : R) r = rans_state_lower;
  uint8_t* end = out + bound;
  uint8_t* wp = end;

  // Remainder, state 31 only, from the last byte down.
  uint32_t lowest = 32 * m > 1 ? 32 * m : 1;
  for (uint32_t p = n - 1; p >= lowest; p--) enc_put(R[31], rec[rec_index(in[p - 1], in[p])], wp);

  uint32_t k = m;  // main steps still to code are k-1 down to 1
  if (vec && m > 3 && n < (1u << 31)) {
    enc_main_avx2(R, in, m, rec, wp);
    k = 3;
  }
  while (k-- > 1) enc_step_scalar(R, in, m, k, rec, wp);

  // First bytes, in context 0; with m = 0 only state 31 has one.
  for (int z = rans_states - 1; z >= (m ? 0 : rans_states - 1); z--)
    enc_put(R[z], rec[rec_index(0, in[z * size_t{m}])], wp);

  for (int z = rans_states - 1; z >= 0; z--) {
    wp -= 4;
    put_u32(wp, R[z]);
  }
  assert(wp >= out + tab_size);
  size_t coded = static_cast<size_t>(end - wp);
  if (at_end) {
    uint8_t* start = wp - tab_size;
    put_u32(start, n);
    std::memcpy(start + 4, table_start, tab_size - 4);
    *out_size = static_cast<unsigned int>(tab_size + coded);
    return start;
  }
  std::memmove(table_end, wp, coded);
  put_u32(out, n);
  *out_size = static_cast<unsigned int>(tab_size + coded);
  owned.release();
  return out;
}

// ---------------------------------------------------------------------------------------------------------------
// Decoder

// Reads the table into the slots S; returns the position after it, or null when the table is damaged.
// Contexts that a decoded symbol can lead to but that the table lacks get slots of one symbol 0 at frequency
// 2048, so no lookup ever meets an unset slot.
const uint8_t* read_table(const uint8_t* ip, const uint8_t* iend, uint32_t* S) {
  bool ctx_present[256] = {};
  bool reachable[256] = {};
  reachable[0] = true;  // every state starts in context 0
  auto next = [&]() -> int { return ip < iend ? *ip++ : -1; };

  int i = next();
  int ctx_run = 0;
  for (;;) {
    if (i < 0) return nullptr;
    ctx_present[i] = true;
    uint32_t* slots = S + i * slots_per_context;
    uint32_t x = 0;
    int j = next();
    int sym_run = 0;
    for (;;) {
      if (j < 0) return nullptr;
      int f = next();
      if (f < 0) return nullptr;
      if (f >= static_cast<int>(freq_two_byte_flag)) {
        int lo = next();
        if (lo < 0) return nullptr;
        f = (f & 0x7F) << 8 | lo;
      }
      if (f == 0) f = TOTFREQ_O1;
      if (x + f > TOTFREQ_O1) return nullptr;
      uint32_t v = static_cast<uint32_t>(j) | static_cast<uint32_t>(f) << slot_freq_shift;
      for (uint32_t d = 0; d < static_cast<uint32_t>(f); d++) slots[x + d] = v | d << slot_dist_shift;
      x += f;
      reachable[j] = true;
      if (sym_run) {
        sym_run--;
        if (++j > 255) return nullptr;
        continue;
      }
      int b = next();
      if (b < 0) return nullptr;
      if (b == j + 1) {
        sym_run = next();
        if (sym_run < 0) return nullptr;
      } else if (b == 0) {
        break;
      } else if (b <= j) {
        return nullptr;
      }
      j = b;
    }
    if (x != TOTFREQ_O1) return nullptr;
    if (ctx_run) {
      ctx_run--;
      if (++i > 255) return nullptr;
      continue;
    }
    int b = next();
    if (b < 0) return nullptr;
    if (b == i + 1) {
      ctx_run = next();
      if (ctx_run < 0) return nullptr;
    } else if (b == 0) {
      break;
    } else if (b <= i) {
      return nullptr;
    }
    i = b;
  }
  for (uint32_t c = 0; c < 256; c++) {
    if (!reachable[c] || ctx_present[c]) continue;
    uint32_t* slots = S + c * slots_per_context;
    for (uint32_t d = 0; d < TOTFREQ_O1; d++) slots[d] = d << slot_dist_shift | TOTFREQ_O1 << slot_freq_shift;
  }
  return ip;
}

// Decodes one symbol from x; a needed word comes from wp. Unsigned arithmetic keeps any state well defined.
inline uint32_t dec_get(uint32_t& x, const uint32_t* slots, const uint8_t*& wp) {
  uint32_t s = slots[x & scale_mask];
  x = (s >> slot_freq_shift) * (x >> scale_bits) + ((s >> slot_dist_shift) & scale_mask);
  if (x < rans_state_lower) {
    x = x << 16 | get16(wp);
    wp += 2;
  }
  return s & 0xFF;
}

// As dec_get, failing instead of reading past wend.
inline bool dec_get_checked(uint32_t& x, const uint32_t* slots, const uint8_t*& wp, const uint8_t* wend,
                            uint32_t& sym) {
  uint32_t s = slots[x & scale_mask];
  x = (s >> slot_freq_shift) * (x >> scale_bits) + ((s >> slot_dist_shift) & scale_mask);
  if (x < rans_state_lower) {
    if (wend - wp < 2) return false;
    x = x << 16 | get16(wp);
    wp += 2;
  }
  sym = s & 0xFF;
  return true;
}

// Main steps k = 0..m-1 of all 32 states, plain code. Returns false when the words run out.
bool dec_main_scalar(uint32_t* R, const uint32_t* S, const uint8_t*& wp, const uint8_t* wend, uint8_t* out,
                     uint32_t m) {
  uint32_t ctx[rans_states] = {};
  const uint8_t* w = wp;
  for (uint32_t k = 0; k < m; k++) {
    if (wend - w >= 2 * rans_states) {
      for (int z = 0; z < rans_states; z++) {
        uint32_t s = dec_get(R[z], S + ctx[z] * slots_per_context, w);
        out[z * size_t{m} + k] = static_cast<uint8_t>(s);
        ctx[z] = s;
      }
    } else {
      for (int z = 0; z < rans_states; z++) {
        uint32_t s;
        if (!dec_get_checked(R[z], S + ctx[z] * slots_per_context, w, wend, s)) return false;
        out[z * size_t{m} + k] = static_cast<uint8_t>(s);
        ctx[z] = s;
      }
    }
  }
  wp = w;
  return true;
}

// One step of eight states: gathers the slots, updates x and takes the group's words from w. Returns the symbols.
__attribute__((target("avx2"), always_inline)) inline __m256i dec_group_avx2(__m256i& x, __m256i ctx, const uint32_t* S,
                                                              const uint8_t*& w) {
  __m256i idx = _mm256_or_si256(_mm256_slli_epi32(ctx, scale_bits), _mm256_and_si256(x, _mm256_set1_epi32(scale_mask)));
  __m256i s = _mm256_i32gather_epi32(reinterpret_cast<const int*>(S), idx, 4);
  __m256i f = _mm256_srli_epi32(s, slot_freq_shift);
  __m256i d = _mm256_and_si256(_mm256_srli_epi32(s, slot_dist_shift), _mm256_set1_epi32(scale_mask));
  x = _mm256_add_epi32(_mm256_mullo_epi32(f, _mm256_srli_epi32(x, scale_bits)), d);
  // States stay below 2^31 (larger starting states are refused), so the signed compare is exact.
  __m256i keep = _mm256_cmpgt_epi32(x, _mm256_set1_epi32(rans_state_lower - 1));
  int mask = _mm256_movemask_ps(_mm256_castsi256_ps(keep));
  // The words sit in both halves, so that an in-lane byte shuffle can hand any of them to any lane; lanes that
  // take none get zero, and x moves up by 16 bits where a word comes in.
  __m256i words = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(w)));
  __m256i shuffle = _mm256_load_si256(reinterpret_cast<const __m256i*>(perms.dec[mask]));
  words = _mm256_shuffle_epi8(words, shuffle);
  x = _mm256_or_si256(_mm256_sllv_epi32(x, _mm256_andnot_si256(keep, _mm256_set1_epi32(16))), words);
  w += 2 * (8 - _mm_popcnt_u32(static_cast<unsigned>(mask)));
  return _mm256_and_si256(s, _mm256_set1_epi32(0xFF));
}

// Transposes eight rows of eight u32 in place: row r, lane l becomes row l, lane r.
__attribute__((target("avx2"), always_inline)) inline void transpose8x8(__m256i* r) {
  __m256i t0 = _mm256_unpacklo_epi32(r[0], r[1]), t1 = _mm256_unpackhi_epi32(r[0], r[1]);
  __m256i t2 = _mm256_unpacklo_epi32(r[2], r[3]), t3 = _mm256_unpackhi_epi32(r[2], r[3]);
  __m256i t4 = _mm256_unpacklo_epi32(r[4], r[5]), t5 = _mm256_unpackhi_epi32(r[4], r[5]);
  __m256i t6 = _mm256_unpacklo_epi32(r[6], r[7]), t7 = _mm256_unpackhi_epi32(r[6], r[7]);
  __m256i u0 = _mm256_unpacklo_epi64(t0, t2), u1 = _mm256_unpackhi_epi64(t0, t2);
  __m256i u2 = _mm256_unpacklo_epi64(t1, t3), u3 = _mm256_unpackhi_epi64(t1, t3);
  __m256i u4 = _mm256_unpacklo_epi64(t4, t6), u5 = _mm256_unpackhi_epi64(t4, t6);
  __m256i u6 = _mm256_unpacklo_epi64(t5, t7), u7 = _mm256_unpackhi_epi64(t5, t7);
  r[0] = _mm256_permute2x128_si256(u0, u4, 0x20);
  r[1] = _mm256_permute2x128_si256(u1, u5, 0x20);
  r[2] = _mm256_permute2x128_si256(u2, u6, 0x20);
  r[3] = _mm256_permute2x128_si256(u3, u7, 0x20);
  r[4] = _mm256_permute2x128_si256(u0, u4, 0x31);
  r[5] = _mm256_permute2x128_si256(u1, u5, 0x31);
  r[6] = _mm256_permute2x128_si256(u2, u6, 0x31);
  r[7] = _mm256_permute2x128_si256(u3, u7, 0x31);
}

// Main steps in vector form, 32 steps per batch. The steps' symbols (one u32 per state) are kept and packed into
// 32 bytes per state while the next batch decodes: the loop waits on its slot lookups most of the time, and the
// packing fills that time instead of stalling the next batch. While a whole batch's words (at most 32 x 32) lie
// inside the block they are read in place; the last stretch is copied into a zero-padded buffer so that the
// eight-word loads stay in bounds, and a batch that consumed more words than the block holds fails.
__attribute__((target("avx2"))) bool dec_main_avx2(uint32_t* R, const uint32_t* S, const uint8_t*& wp,
                                                    const uint8_t* wend, uint8_t* out, uint32_t m, uint8_t* scratch) {
  constexpr size_t batch_bytes = 2 * rans_states * steps_per_batch;
  constexpr int pack_units = 32;  // a batch is packed in 32 pieces: 8 per group of states
  static_assert(pack_units == steps_per_batch, "one piece of packing rides along each step");
  alignas(32) uint8_t tail[2 * batch_bytes + 32];
  alignas(32) uint32_t syms[2][steps_per_batch][rans_states] = {};
  // Decoded bytes wait here, 512 per state, before going to their chunks: the chunks lie m bytes apart, often a
  // power of two, and storing 32 bytes into each of them per batch makes the lines evict each other.
  auto stage = reinterpret_cast<uint8_t (*)[dec_stage_row]>(scratch);
  __m256i x0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(R));
  __m256i x1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(R + 8));
  __m256i x2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(R + 16));
  __m256i x3 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(R + 24));
  __m256i c0 = _mm256_setzero_si256(), c1 = c0, c2 = c0, c3 = c0;
  // Gathers bytes 0, 4, 8, 12 of each 128-bit half: with four steps packed per lane, the 4 x 4 byte transpose.
  const __m256i interleave = _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15,
                                              0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
  // The batch waiting to be packed: its symbols, first step and length.
  const uint32_t(*packing)[rans_states] = nullptr;
  uint32_t pack_k0 = 0, pack_steps = 0;
  __m256i v[8];  // v[r], lane l: the bytes of steps 4r .. 4r+3 of state 8g + l
  // Piece u of the waiting batch: group u / 8, row u % 8; the last row of a group transposes it into the stage.
  auto pack = [&](int u) __attribute__((target("avx2"), always_inline)) {
    int g = u >> 3, r = u & 7;
    const __m256i* row = reinterpret_cast<const __m256i*>(packing[4 * r] + 8 * g);
    constexpr int next = rans_states / 8;  // one step further, in vectors
    __m256i b = _mm256_packus_epi16(_mm256_packus_epi32(_mm256_load_si256(row), _mm256_load_si256(row + next)),
                                    _mm256_packus_epi32(_mm256_load_si256(row + 2 * next),
                                                        _mm256_load_si256(row + 3 * next)));
    v[r] = _mm256_shuffle_epi8(b, interleave);
    if (r == 7) {
      transpose8x8(v);
      for (int l = 0; l < 8; l++)
        _mm256_store_si256(reinterpret_cast<__m256i*>(&stage[8 * g + l][pack_k0 % stage_steps]), v[l]);
    }
  };
  // A full stage goes to the chunks one state's row per step of the next batch, each row before the packing
  // writes over its start; the last one goes at once.
  bool flushing = false;
  uint32_t flush_first = 0;
  auto flush_row = [&](int z) __attribute__((target("avx2"), always_inline)) {
    uint8_t* dst = out + z * size_t{m} + flush_first;
    for (uint32_t i = 0; i < stage_steps; i += 32)
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i),
                          _mm256_load_si256(reinterpret_cast<const __m256i*>(&stage[z][i])));
  };
  // Packs what is left of the waiting batch; a stage it fills waits for the next batch, the last one goes now.
  auto finish_packing = [&](int from) __attribute__((target("avx2"))) {
    for (int u = from; u < pack_units; u++) pack(u);
    uint32_t end = pack_k0 + pack_steps, first = pack_k0 - pack_k0 % stage_steps;
    if (end == m) {
      for (int z = 0; z < rans_states; z++) std::memcpy(out + z * size_t{m} + first, stage[z], end - first);
    } else if (end % stage_steps == 0) {
      flushing = true;
      flush_first = first;
    }
    packing = nullptr;
  };
  const uint8_t* w = wp;
  // One step of all 32 states; the symbols are stored after all four groups (stores between them slow the loop).
  auto step = [&](uint32_t* syms_of_step) __attribute__((target("avx2"), always_inline)) {
    c0 = dec_group_avx2(x0, c0, S, w);
    c1 = dec_group_avx2(x1, c1, S, w);
    c2 = dec_group_avx2(x2, c2, S, w);
    c3 = dec_group_avx2(x3, c3, S, w);
    _mm256_store_si256(reinterpret_cast<__m256i*>(syms_of_step), c0);
    _mm256_store_si256(reinterpret_cast<__m256i*>(syms_of_step + 8), c1);
    _mm256_store_si256(reinterpret_cast<__m256i*>(syms_of_step + 16), c2);
    _mm256_store_si256(reinterpret_cast<__m256i*>(syms_of_step + 24), c3);
  };
  const uint8_t* limit = wend;
  bool padded = false;
  for (uint32_t k0 = 0; k0 < m; k0 += steps_per_batch) {
    if (!padded && static_cast<size_t>(limit - w) < batch_bytes) {
      size_t used = static_cast<size_t>(limit - w);
      std::memcpy(tail, w, used);
      std::memset(tail + used, 0, sizeof tail - used);
      w = tail;
      limit = tail + used;
      padded = true;
    }
    uint32_t steps = m - k0 < steps_per_batch ? m - k0 : steps_per_batch;
    uint32_t(*cur)[rans_states] = syms[(k0 / steps_per_batch) & 1];
    uint32_t k = 0;
    if (flushing) {
      for (; k < steps; k++) {
        step(cur[k]);
        flush_row(static_cast<int>(k));
        pack(static_cast<int>(k));
      }
      for (uint32_t z = steps; z < rans_states; z++) flush_row(static_cast<int>(z));
      flushing = false;
      finish_packing(static_cast<int>(steps));
    } else if (packing) {
      for (; k < steps; k++) {
        step(cur[k]);
        pack(static_cast<int>(k));
      }
      finish_packing(static_cast<int>(steps));
    }
    for (; k < steps; k++) {
      step(cur[k]);
    }
    if (padded && w > limit) return false;
    packing = cur;
    pack_k0 = k0;
    pack_steps = steps;
  }
  if (flushing)
    for (int z = 0; z < rans_states; z++) flush_row(z);
  if (packing) finish_packing(0);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(R), x0);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(R + 8), x1);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(R + 16), x2);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(R + 24), x3);
  wp = padded ? wend - (limit - w) : w;
  return true;
}

unsigned char* uncompress(bool vec, unsigned char* in, unsigned int in_size, unsigned char* out,
                          unsigned int* out_size) {
  if (in_size < 4) return nullptr;
  uint32_t n = get_u32(in);
  if (out && n > *out_size) return nullptr;

  // The slots, then the vector loop's staging rows.
  heap_buffer slots(decode_table_entries * sizeof(uint32_t) + dec_stage_bytes + 64);
  if (!slots.p) return nullptr;
  auto* S = static_cast<uint32_t*>(slots.p);
  const uint8_t* iend = in + in_size;
  const uint8_t* ip = read_table(in + 4, iend, S);
  if (!ip || iend - ip < 4 * rans_states) return nullptr;
  uint32_t R[rans_states];
  for (int z = 0; z < rans_states; z++, ip += 4) {
    R[z] = get_u32(ip);
    if (R[z] >> 31) return nullptr;  // the coder keeps states below 2^31
  }

  owned_block owned;
  if (!out) out = owned.take(n ? n : 1);
  uint32_t m = n >> 5;
  const uint8_t* wp = ip;
  // Staging rows start on a cache line, so that no 32-byte store there splits across two lines.
  auto scratch_at = reinterpret_cast<uintptr_t>(slots.p) + decode_table_entries * sizeof(uint32_t);
  auto* scratch = reinterpret_cast<uint8_t*>((scratch_at + 63) & ~uintptr_t{63});
  bool ok = vec ? dec_main_avx2(R, S, wp, iend, out, m, scratch) : dec_main_scalar(R, S, wp, iend, out, m);
  for (uint32_t p = 32 * m; ok && p < n; p++) {
    uint32_t s = 0;
    ok = dec_get_checked(R[31], S + (p ? out[p - 1] : 0) * slots_per_context, wp, iend, s);
    out[p] = static_cast<uint8_t>(s);
  }
  if (!ok) return nullptr;
  *out_size = n;
  owned.release();
  return out;
}

}  // namespace

unsigned int rans_compress_bound(unsigned int n) {
  double b = bound_per_byte * n + bound_states + bound_table;
  if (b >= 4294967296.0) return 0;
  return static_cast<unsigned int>(b);
}

static bool use_vector(rans_impl impl) { return impl != rans_impl::scalar && cpu_has_avx2(); }

unsigned char* rans_compress_O1_32x16_impl(rans_impl impl, unsigned char* in, unsigned int in_size,
                                           unsigned char* out, unsigned int* out_size) {
  return compress(use_vector(impl), in, in_size, out, out_size);
}

unsigned char* rans_uncompress_O1_32x16_impl(rans_impl impl, unsigned char* in, unsigned int in_size,
                                             unsigned char* out, unsigned int* out_size) {
  return uncompress(use_vector(impl), in, in_size, out, out_size);
}

unsigned char* rans_compress_O1_32x16(unsigned char* in, unsigned int in_size, unsigned char* out,
                                      unsigned int* out_size) {
  return compress(use_vector(rans_impl::automatic), in, in_size, out, out_size);
}

unsigned char* rans_compress_O1_32x16_counted(const uint32_t* counts, unsigned char* in, unsigned int in_size,
                                              unsigned char* out, unsigned int* out_size) {
  return compress(use_vector(rans_impl::automatic), in, in_size, out, out_size, counts);
}

unsigned char* rans_compress_O1_32x16_counted_at_end(uint32_t* counts, unsigned char* in, unsigned int in_size,
                                                     unsigned char* out, unsigned int* out_size) {
  if (!out) return nullptr;
  return compress(use_vector(rans_impl::automatic), in, in_size, out, out_size, counts, true, true);
}

void release_coder_tables() {
  std::lock_guard<std::mutex> hold(kept_tables_lock);
  for (kept_table& t : kept_tables)
    if (t.p && !t.in_use) {
      big_free(t.p, t.size);
      t = {};
    }
}

void rans_prepare_counted_at_end() {
  heap_buffer records(65536 * sizeof(RansEncSymbol), true);
  heap_buffer table_room(tab_size_limit, true);
  populate(records.p, 65536 * sizeof(RansEncSymbol));
  populate(table_room.p, tab_size_limit);
}

unsigned char* rans_uncompress_O1_32x16(unsigned char* in, unsigned int in_size, unsigned char* out,
                                        unsigned int* out_size) {
  return uncompress(use_vector(rans_impl::automatic), in, in_size, out, out_size);
}

}  // namespace qarn
