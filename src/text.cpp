// text.cpp — text mode: tokens, frequency numbering, escape coding, the text file layout and its whitening.
#include "text.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <numeric>

#include <immintrin.h>

#include "ransavx.h"
#include "sort.h"

namespace qarn {

namespace {

// Text file header: mode, textc, a2c, listc, appended (u32 each); the escape stream follows.
constexpr int32_t text_header_size = 20;
// Limits of the format's counters (each is "below").
constexpr int64_t distinct_token_limit = 10000000;
constexpr int64_t dictionary_limit = 50000000;
constexpr int64_t token_limit = 250000000;
// Token numbers below this are one byte; the byte 255 escapes a larger number.
constexpr int32_t escape_byte = 255;
// Escape stream: at most 254 buckets, so 256 boundaries and widths are stored, 1024 bytes each.
constexpr int32_t bucket_table_bytes = 1024;
constexpr int32_t bucket_scan_limit = 250000;
// The shortest text file: the header, an escape stream of no values (count, two bucket tables, an empty rANS
// block, an empty bit stream) and the two rANS blocks of the token bytes and the dictionary, empty.
constexpr size_t smallest_text_file = text_header_size + 4 + 2 * (4 + bucket_table_bytes) + 4 + rans_empty_block_size +
                                      4 + 2 * (4 + rans_empty_block_size);
// Texts from this size up are rebuilt (and compressed) by two workers where two processors are free.
constexpr uint64_t parallel_min_text = uint64_t{1} << 20;

int worker_count(int asked, uint64_t text_bytes) {
  if (asked > 0) return std::min(asked, 2);
  return text_bytes >= parallel_min_text && usable_cpus() >= 2 ? 2 : 1;
}

// Runs work(w, workers) for each of `workers` workers (w = 0 on this thread); one worker when no second thread
// can be started.
template <class Work, class Stop>
void run_split(int workers, Work&& work, Stop&& stop) {
  if (workers > 1 && run_workers(2, [&](int w) { work(w, 2); }, stop)) return;
  work(0, 1);
}

// Slack after copied buffers: token copies move 16 bytes at a time, bit reads 8 bytes at a time.
constexpr size_t copy_slack = 16;

inline bool is_delimiter(uint8_t c) { return c == ' ' || c == '\n'; }

// Memory that earlier steps have written and no longer need, handed out again in pieces to later ones: a page
// already touched costs nothing, a fresh one a fault and its clearing, which on these machines is a good part of a
// run. Pieces are never given back; a piece no given area has room for gets fresh memory of its own.
class scratch {
 public:
  // Takes over an array whose first `touched` bytes have been written.
  template <class T>
  void donate(raw_array<T>&& a, size_t touched) {
    if (!a.data()) return;
    auto* p = reinterpret_cast<uint8_t*>(a.data());
    const size_t bytes = a.size() * sizeof(T);
    owned_.push_back(std::make_unique<holder<T>>(std::move(a)));
    areas_.push_back({p, bytes, std::min(touched, bytes), 0});
  }
  // Room for n values of T, 64-byte aligned, not cleared: within touched memory where some area has room, else
  // within an area's untouched rest, else fresh.
  template <class T>
  T* take(size_t n) {
    const size_t bytes = std::max<size_t>(n * sizeof(T), 1);
    for (int pass = 0; pass < 2; pass++)
      for (area& a : areas_) {
        const size_t at = (a.used + 63) & ~size_t{63};
        if (at + bytes <= (pass == 0 ? a.touched : a.bytes)) {
          a.used = at + bytes;
          return reinterpret_cast<T*>(a.p + at);
        }
      }
    raw_array<uint8_t> fresh(bytes + 64);
    uint8_t* p = fresh.data();
    owned_.push_back(std::make_unique<holder<uint8_t>>(std::move(fresh)));
    return reinterpret_cast<T*>(p + (-reinterpret_cast<uintptr_t>(p) & 63));
  }

 private:
  struct area {
    uint8_t* p;
    size_t bytes, touched, used;
  };
  struct holder_base {
    virtual ~holder_base() = default;
  };
  template <class T>
  struct holder final : holder_base {
    explicit holder(raw_array<T>&& a) : a(std::move(a)) {}
    raw_array<T> a;
  };
  std::vector<area> areas_;
  std::vector<std::unique_ptr<holder_base>> owned_;
};

}  // namespace

void text_whiten(uint8_t* buf, size_t total) {
  if (total < 16) return;
  xorshift1024 g;
  for (size_t w = 1; w < total / 8; w++) put_u64(buf + 8 * w, get_u64(buf + 8 * w) ^ g.next());
}

// ---- cfile ----

void cfile::put32(uint32_t v) {
  put_u32(data + pos, v);
  pos += 4;
}

void cfile::putblock(const void* p, uint32_t n) {
  put32(n);
  std::memcpy(data + pos, p, n);
  pos += static_cast<int32_t>(n);
}

uint32_t cfile::get32() {
  if (pos < 0 || size - pos < 4) corrupt();
  uint32_t v = get_u32(data + pos);
  pos += 4;
  return v;
}

const uint8_t* cfile::getblock(uint32_t* n) {
  *n = get32();
  if (*n > size - pos) corrupt();
  const uint8_t* p = data + pos;
  pos += static_cast<int32_t>(*n);
  return p;
}

// ---- tokens ----

namespace {

// Tokens are told apart by their bytes, never by a hash alone. The table keeps each distinct token's first 8 bytes
// (zero past its end) in its slot: a token of up to 8 bytes, the delimiter included, is matched by them alone, since
// its only delimiter ends it among them. Longer ones compare their next 8 bytes and length with the token's entry,
// and beyond 16 bytes the rest with its first occurrence in the text.
struct alignas(16) token_slot {
  uint64_t w0;     // the token's first 8 bytes, zero past its end
  int32_t number;  // first-occurrence number
  int32_t count;   // occurrences so far (0: a free slot), kept in the line the lookup reads anyway
};

// A token found by the scan and waiting for its lookup.
struct pending_token {
  int64_t start, length;
  uint64_t w0, w1, hash;
};

struct token_entry {
  int64_t start;  // first occurrence in the text (the appended space, if any, lies just past the input)
  int32_t length, count;
  uint64_t w1;  // bytes 8 to 15 of the token, zero past its end
};

constexpr int token_table_min_bits = 12;

// An array of plain entries in big_alloc's memory (huge pages where offered, on a worker thread too, whose own heap
// would take small pages, a fault each), with room for up to 2^20 entries, or as many as its owner can ever add
// when that is fewer: pages are taken only as entries reach them, and the entries move only in the rare text with
// more (a doubling array takes fresh pages for twice its size, and fresh pages are dear here). The room is not
// taken whole at once, so that the address space stays in proportion to the text (the whole room of two parts of
// a large text would be 480 MB).
template <class T>
class entry_array {
 public:
  static constexpr size_t first_room = size_t{1} << 20;
  explicit entry_array(size_t capacity = 0)
      : a_(std::max<size_t>(std::min(capacity, first_room), 1)), capacity_(std::max<size_t>(capacity, 1)) {}
  size_t size() const { return n_; }
  T& operator[](size_t i) { return a_[i]; }
  const T& operator[](size_t i) const { return a_[i]; }
  const T* begin() const { return a_.data(); }
  const T* end() const { return a_.data() + n_; }
  // The caller never adds more than the capacity.
  void push_back(const T& v) {
    if (n_ == a_.size()) {
      raw_array<T> more(std::min(capacity_, 4 * a_.size()));
      std::memcpy(more.data(), a_.data(), n_ * sizeof(T));
      a_ = std::move(more);
    }
    a_[n_++] = v;
  }
  // The array's memory, with the bytes its entries took; the array is left empty.
  raw_array<T> release(size_t* touched) {
    *touched = n_ * sizeof(T);
    n_ = 0;
    return std::move(a_);
  }

 private:
  raw_array<T> a_;
  size_t capacity_;
  size_t n_ = 0;
};
constexpr uint64_t hash_mul0 = 0x9E3779B97F4A7C15ULL, hash_mul1 = 0xC2B2AE3D27D4EB4FULL;

// Bits of the delimiters among the 64 bytes at p.
inline uint64_t delimiter_mask(const uint8_t* p) {
  const __m128i space = _mm_set1_epi8(' '), lf = _mm_set1_epi8('\n');
  uint64_t m = 0;
  for (int k = 0; k < 4; k++) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
    __m128i d = _mm_or_si128(_mm_cmpeq_epi8(v, space), _mm_cmpeq_epi8(v, lf));
    m |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(d))) << (16 * k);
  }
  return m;
}

inline uint64_t low_bytes(uint64_t w, int64_t k) { return k >= 8 ? w : w & ((uint64_t{1} << (8 * k)) - 1); }

inline int bit_count(uint64_t m) {
  m -= (m >> 1) & 0x5555555555555555ULL;
  m = (m & 0x3333333333333333ULL) + ((m >> 2) & 0x3333333333333333ULL);
  m = (m + (m >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
  return static_cast<int>((m * 0x0101010101010101ULL) >> 56);
}

void copy_token(const text_data* t, const token_entry& e, uint8_t* to);

// One part of the text, tokenized on its own: tokens numbered by first occurrence within the part.
struct token_part {
  int64_t from = 0, to = 0;  // bytes [from, to) of the text, ending with a delimiter
  int64_t tokens = 0;
  // Numbers two bytes each while every number fits, three (wide) from the first that does not (distinct tokens are
  // fewer than 2^24); `room` bytes at least, so that token bytes and their coded block fit there.
  byte_buffer numbers;
  bool wide = false;
  size_t room = 0;
  // Entries the part's dictionary may come to hold (the first part's takes the second's new tokens too).
  size_t capacity = 0;
  entry_array<token_entry> dict;  // the part's distinct tokens in its numbering
};

class tokenizer {
 public:
  // packed: the numbers go to part->numbers instead of t->a2 (which then holds the whole text's).
  tokenizer(text_data* t, token_part* part, bool packed) : t_(t), part_(part), packed_(packed) {}

  // Counts the part's tokens.
  text_refusal count() {
    int64_t tokens = 0;
    scan([&](int64_t, uint64_t m) {
      tokens += bit_count(m);
      return true;
    });
    part_->tokens = tokens;
    return tokens >= token_limit ? text_refusal::too_many_tokens : text_refusal::none;
  }

  // Numbers the part's tokens (counted first).
  text_refusal run() {
    text_data* t = t_;
    token_part* part = part_;
    const int64_t tokens = part->tokens;
    if (packed_) {
      part->wide = false;
      // Room for three bytes a number from the start (and the one byte past the last that a four-byte store
      // writes): pages are taken only as numbers reach them, and numbers that outgrow two bytes are widened in place.
      part->numbers = byte_buffer(std::max<size_t>(3 * static_cast<size_t>(tokens) + 1, part->room));
      numbers_ = part->numbers.data();
    } else {
      t->a2 = raw_array<int32_t>(static_cast<size_t>(tokens));
      numbers_ = reinterpret_cast<uint8_t*>(t->a2.data());
    }
    part->dict = entry_array<token_entry>(std::max<size_t>(part->capacity, static_cast<size_t>(
                                              std::min<int64_t>(tokens, distinct_token_limit))));
    // The table takes the room of its largest size at once, up to 2^21 slots (32 MB), and grows within it; a
    // vocabulary that outgrows that (a word list, say) moves it once into the room of the largest size. (Taking
    // that room from the start would reserve 512 MB of address space for each part of a large text.)
    int bits = token_table_min_bits;
    while (uint64_t{2} * static_cast<uint64_t>(std::min<int64_t>(tokens, distinct_token_limit)) >
           (uint64_t{1} << bits) - 1)
      bits++;
    largest_slots_ = size_t{1} << bits;
    slots_ = raw_array<token_slot>(std::min(largest_slots_, size_t{1} << 21));
    resize(token_table_min_bits);

    // Each token's slot is prefetched when it is found and looked up `lookahead` tokens later. The loop keeps its
    // state in locals; anything unusual (a token that is new, longer than 8 bytes, near the input's end, or a
    // number past two bytes) leaves it for a call.
    constexpr int64_t lookahead = 24, entry_ahead = 12, ring = 32;
    pending_token queue[ring];
    const uint8_t* const text = t->text;
    const int64_t n = t->textc - t->appended, from = part->from, to = part->to;
    const int64_t tail_base = from + ((n - from) & ~int64_t{63});
    const int64_t key_safe = n - 16;
    bool narrow = packed_;
    const int64_t stride = packed_ ? 3 : 4;  // bytes of a wide number
    uint8_t* numbers = numbers_;
    int64_t found = 0, start = from;
    // Numbers token `done` (queued) and stores its number; false when the text is refused.
    auto take = [&](int64_t done) __attribute__((always_inline)) {
      const pending_token& q = queue[done & (ring - 1)];
      int32_t k;
      token_slot& s = slots_[q.hash >> shift_];
      if (s.w0 == q.w0 && s.count != 0 && q.length <= 8) {
        s.count++;
        k = s.number;
      } else {
        k = find(q);
        if (k < 0) return ~k;
      }
      if (narrow) {
        if (k <= UINT16_MAX) {
          put_u16(numbers + 2 * done, static_cast<uint16_t>(k));
          return -1;
        }
        widen(done);
        narrow = false;
      }
      put_u32(numbers + stride * done, static_cast<uint32_t>(k));
      return -1;
    };
    uint8_t tail[64] = {};
    for (int64_t base = from; base < to; base += 64) {
      const uint8_t* block = text + base;
      if (base >= tail_base) {
        if (n > base) std::memcpy(tail, text + base, static_cast<size_t>(n - base));
        if (t->appended) tail[n - base] = ' ';
        block = tail;
      }
      uint64_t m = delimiter_mask(block);
      if (to - base < 64) m &= (uint64_t{1} << (to - base)) - 1;
      while (m) {
        const int64_t end = base + __builtin_ctzll(m) + 1;
        m &= m - 1;
        const int64_t len = end - start;
        // More tokens than counted: the input changed under the scan (its caller refuses such an input).
        if (found == tokens) return text_refusal::too_many_tokens;
        pending_token& q = queue[found & (ring - 1)];
        q.start = start;
        q.length = len;
        if (start <= key_safe) {
          q.w0 = low_bytes(get_u64(text + start), len);
          q.w1 = len > 8 ? low_bytes(get_u64(text + start + 8), len - 8) : 0;
        } else {
          read_key(start, len, &q.w0, &q.w1);
        }
        q.hash = slot_hash(q.w0, q.w1);
        __builtin_prefetch(&slots_[q.hash >> shift_]);
        start = end;
        if (found >= entry_ahead) {
          // A long token's entry, which its comparison reads, is fetched once its slot has arrived.
          const pending_token& p = queue[(found - entry_ahead) & (ring - 1)];
          if (p.length > 8) {
            const token_slot& s = slots_[p.hash >> shift_];
            if (s.count != 0 && s.w0 == p.w0) __builtin_prefetch(&part->dict[static_cast<size_t>(s.number)]);
          }
        }
        if (found >= lookahead)
          if (int r = take(found - lookahead); r >= 0) return static_cast<text_refusal>(r);
        found++;
      }
    }
    for (int64_t done = std::max<int64_t>(0, found - lookahead); done < found; done++)
      if (int r = take(done); r >= 0) return static_cast<text_refusal>(r);
    // Fewer than counted if the input changed meanwhile.
    part->tokens = found;
    for (size_t j = 0; j <= mask_; j++)
      if (slots_[j].count) part->dict[static_cast<size_t>(slots_[j].number)].count = slots_[j].count;
    return text_refusal::none;
  }

  // The number of the token of `length` bytes at `start` (a token of a later part), or -1 when this part has no
  // such token.
  int32_t lookup(int64_t start, int64_t length) const {
    pending_token q;
    q.start = start;
    q.length = length;
    read_key(start, length, &q.w0, &q.w1);
    for (uint64_t i = slot_hash(q.w0, q.w1) >> shift_;; i = (i + 1) & mask_) {
      const token_slot& s = slots_[i];
      if (s.count == 0) return -1;
      if (same(s, q)) return s.number;
    }
  }

  // Fetches the slot where lookup(start, length) starts.
  void prefetch(int64_t start, int64_t length) const {
    uint64_t w0, w1;
    read_key(start, length, &w0, &w1);
    __builtin_prefetch(&slots_[slot_hash(w0, w1) >> shift_]);
  }

  // The tokens' bytes in first-occurrence order (for text_build_a2).
  void finish() {
    text_data* t = t_;
    t->list.resize(static_cast<size_t>(listc_));
    t->list2.clear();
    t->freq.clear();
    t->list2.reserve(part_->dict.size() + 1);
    t->freq.reserve(part_->dict.size());
    size_t at = 0;
    for (const token_entry& e : part_->dict) {
      t->list2.push_back(static_cast<int32_t>(at));
      t->freq.push_back(e.count);
      copy_token(t, e, t->list.data() + at);
      at += static_cast<size_t>(e.length);
    }
    t->list2.push_back(static_cast<int32_t>(at));
  }

  int64_t dictionary_bytes() const { return listc_; }

  // The table's memory, with the bytes its slots took; the tokenizer can look nothing up afterwards.
  raw_array<token_slot> release_table(size_t* touched) {
    *touched = (mask_ + 1) * sizeof(token_slot);
    return std::move(slots_);
  }

 private:
  // Calls f(base, mask) for the part's 64-byte blocks in order, mask having a bit for each delimiter. Blocks are
  // read in place while they lie within the input; the last one, with the appended space, from a padded copy.
  template <class F>
  void scan(F&& f) const {
    const uint8_t* text = t_->text;
    const int64_t n = t_->textc - t_->appended;
    const int64_t from = part_->from, to = part_->to;
    const int64_t tail_base = from + ((n - from) & ~int64_t{63});
    const int64_t whole_end = std::min(to, tail_base);
    int64_t base = from;
    for (; base < whole_end; base += 64) {
      uint64_t m = delimiter_mask(text + base);
      if (!f(base, to - base < 64 ? m & ((uint64_t{1} << (to - base)) - 1) : m)) return;
    }
    if (base < to) {
      uint8_t tail[64] = {};
      if (n > base) std::memcpy(tail, text + base, static_cast<size_t>(n - base));
      if (t_->appended) tail[n - base] = ' ';
      uint64_t m = delimiter_mask(tail);
      f(base, to - base < 64 ? m & ((uint64_t{1} << (to - base)) - 1) : m);
    }
  }

  // The first 16 bytes of the token at start (zero past its end).
  void read_key(int64_t start, int64_t len, uint64_t* w0, uint64_t* w1) const {
    const uint8_t* text = t_->text;
    const int64_t n = t_->textc - t_->appended;
    uint64_t a, b;
    if (start <= n - 16) {
      a = get_u64(text + start);
      b = get_u64(text + start + 8);
    } else {
      uint8_t buf[16] = {};
      for (int64_t i = start; i < std::min<int64_t>(t_->textc, start + 16); i++) buf[i - start] = i < n ? text[i] : ' ';
      a = get_u64(buf);
      b = get_u64(buf + 8);
    }
    *w0 = low_bytes(a, len);
    *w1 = len > 8 ? low_bytes(b, len - 8) : 0;
  }

  // Whether the tokens at a and b, both len bytes long and equal in their first 16, are equal from byte 16 on. The
  // token at a is an earlier one, wholly in the input; the one at b may end with the appended space.
  bool same_rest(int64_t a, int64_t b, int64_t len) const {
    const uint8_t* text = t_->text;
    int64_t n = t_->textc - t_->appended;
    int64_t inside = std::min(len, n - b);  // only b, the later token, can be the one with the appended space
    if (std::memcmp(text + a + 16, text + b + 16, static_cast<size_t>(inside - 16)) != 0) return false;
    return inside == len || text[a + len - 1] == ' ';
  }

  bool same(const token_slot& s, const pending_token& q) const {
    if (s.w0 != q.w0) return false;
    if (q.length <= 8) return true;
    const token_entry& e = part_->dict[static_cast<size_t>(s.number)];
    return e.w1 == q.w1 && e.length == q.length && (q.length <= 16 || same_rest(e.start, q.start, q.length));
  }

  static uint64_t slot_hash(uint64_t w0, uint64_t w1) { return w0 * hash_mul0 ^ w1 * hash_mul1; }

  // The token's number, a new one if it is new; a negative value ~refusal when it does not fit the format.
  int32_t find(const pending_token& q) {
    uint64_t i = q.hash >> shift_;
    entry_array<token_entry>& dict = part_->dict;
    for (;; i = (i + 1) & mask_) {
      token_slot& s = slots_[i];
      if (s.count == 0) break;
      if (same(s, q)) {
        s.count++;
        return s.number;
      }
    }
    int32_t k = static_cast<int32_t>(dict.size());
    if (k + 1 >= distinct_token_limit) return ~static_cast<int32_t>(text_refusal::too_many_distinct);
    if (listc_ + q.length >= dictionary_limit) return ~static_cast<int32_t>(text_refusal::dictionary_too_large);
    listc_ += q.length;
    dict.push_back({q.start, static_cast<int32_t>(q.length), 1, q.w1});
    slots_[i] = {q.w0, k, 1};
    if (2 * dict.size() > mask_) resize(64 - shift_ + 1);
    return k;
  }

  // Makes the first `count` numbers three bytes each, from the last down: number i goes where numbers 3i / 2 to
  // (3i + 2) / 2 were, which are moved already (or, for i = 0, read just before).
  void widen(int64_t count) {
    for (int64_t i = count - 1; i >= 0; i--) {
      const uint16_t v = get_u16(numbers_ + 2 * i);
      put_u16(numbers_ + 3 * i, v);
      numbers_[3 * i + 2] = 0;
    }
    part_->wide = true;
  }

  // The table at 2^bits slots, within the room it took at the start, holding every known token again; at most half
  // full. Its tokens are put back from the dictionary, in order, so that the table needs no copy of itself: the
  // counts go to the entries first, and each token's first 8 bytes are read again from the text (first occurrences
  // lie in text order, so the reads go forward).
  void resize(int bits) {
    entry_array<token_entry>& dict = part_->dict;
    for (size_t j = 0; dict.size() && j <= mask_; j++)
      if (slots_[j].count) dict[static_cast<size_t>(slots_[j].number)].count = slots_[j].count;
    size_t count = size_t{1} << bits;
    if (count > slots_.size()) slots_ = raw_array<token_slot>(largest_slots_);  // the counts are in dict now
    std::memset(slots_.data(), 0, count * sizeof(token_slot));
    mask_ = count - 1;
    shift_ = 64 - bits;
    // Each token's slot is fetched `ahead` tokens before it is filled.
    constexpr size_t ahead = 16;
    struct keyed {
      uint64_t w0, slot;
    } ring[ahead];
    const size_t distinct = dict.size();
    for (size_t k = 0; k < distinct + ahead; k++) {
      if (k >= ahead) {
        const keyed& q = ring[k % ahead];
        uint64_t i = q.slot;
        while (slots_[i].count) i = (i + 1) & mask_;
        slots_[i] = {q.w0, static_cast<int32_t>(k - ahead), dict[k - ahead].count};
      }
      if (k < distinct) {
        const token_entry& e = dict[k];
        uint64_t w0, w1;
        read_key(e.start, e.length, &w0, &w1);
        ring[k % ahead] = {w0, slot_hash(w0, e.w1) >> shift_};
        __builtin_prefetch(&slots_[ring[k % ahead].slot]);
      }
    }
  }

  text_data* t_;
  token_part* part_;
  bool packed_;
  uint8_t* numbers_ = nullptr;
  raw_array<token_slot> slots_;
  size_t largest_slots_ = 0;  // the slots the table may come to
  uint64_t mask_ = 0;
  int shift_ = 64;
  int64_t listc_ = 0;
};

// Copies the bytes of a token, the appended space included, to `to`.
void copy_token(const text_data* t, int64_t start, int64_t length, uint8_t* to) {
  const int64_t n = t->textc - t->appended;
  int64_t inside = std::min<int64_t>(length, n - start);
  if (inside > 0) std::memcpy(to, t->text + start, static_cast<size_t>(inside));
  if (inside < length) to[inside] = ' ';
}

void copy_token(const text_data* t, const token_entry& e, uint8_t* to) { copy_token(t, e.start, e.length, to); }

}  // namespace

text_refusal text_build_a2(text_data* t) {
  token_part part;
  part.to = t->textc;
  tokenizer tk(t, &part, false);
  if (text_refusal r = tk.count(); r != text_refusal::none) return r;
  if (text_refusal r = tk.run(); r != text_refusal::none) return r;
  t->a2.shrink(static_cast<size_t>(part.tokens));
  tk.finish();
  return text_refusal::none;
}

std::vector<int32_t> frequency_order(text_data* t) {
  int32_t distinct = static_cast<int32_t>(t->freq.size());
  std::vector<int32_t> records(2 * static_cast<size_t>(distinct));
  for (int32_t k = 0; k < distinct; k++) {
    records[2 * k] = t->freq[k];
    records[2 * k + 1] = k;
  }
  sort_array(records.data(), distinct, 2, 0, sort_descending_unsigned);

  std::vector<int32_t> renumber(static_cast<size_t>(distinct));
  std::vector<int32_t> freq(static_cast<size_t>(distinct));
  std::vector<uint8_t> list;
  list.reserve(t->list.size());
  std::vector<int32_t> list2;
  list2.reserve(static_cast<size_t>(distinct) + 1);
  for (int32_t r = 0; r < distinct; r++) {
    int32_t k = records[2 * r + 1];
    renumber[k] = r;
    freq[r] = t->freq[k];
    list2.push_back(static_cast<int32_t>(list.size()));
    list.insert(list.end(), t->list.begin() + t->list2[k], t->list.begin() + t->list2[k + 1]);
  }
  list2.push_back(static_cast<int32_t>(list.size()));
  t->freq = std::move(freq);
  t->list = std::move(list);
  t->list2 = std::move(list2);
  return renumber;
}

void reorder_text(text_data* t) {
  std::vector<int32_t> renumber = frequency_order(t);
  for (size_t i = 0; i < t->a2.size(); i++) t->a2[i] = renumber[t->a2[i]];
}

// ---- escape values ----

int64_t escape_stream_bound(int64_t n) {
  // Header fields, the two tables, the coded bucket bytes, and at most 18 offset bits per value plus slack.
  return 4 + (4 + bucket_table_bytes) * 2 + 4 + rans_compress_bound(static_cast<unsigned>(n)) + 4 + (n * 18) / 8 + 16;
}

namespace {

// add_integers_to_file with its working arrays taken from mem.
bool put_integers(cfile* f, const int32_t* vals, int32_t n, scratch& mem) {
  int32_t r[257] = {};
  int32_t rbits[257] = {};
  int32_t max = 0;
  for (int32_t i = 0; i < n; i++) max = std::max(max, vals[i]);
  int32_t* const hist = mem.take<int32_t>(static_cast<size_t>(max) + 1);
  std::memset(hist, 0, (static_cast<size_t>(max) + 1) * sizeof(int32_t));
  for (int32_t i = 0; i < n; i++) hist[vals[i]]++;

  // Boundaries from the top down: a bucket grows downward while counts stay within 4% of its top value's count,
  // at most 250,000 values, then widens to a power of two.
  r[0] = max + 1;
  int32_t b = max, k = 1, boundary;
  do {
    int32_t thr = static_cast<int32_t>(static_cast<double>(static_cast<float>(hist[b])) * 1.04);
    int32_t lowest = std::max(1, b - bucket_scan_limit);
    int32_t cand = -1;
    for (int32_t j = b - 1; j >= lowest; j--)
      if (hist[j] > thr) {
        cand = j;
        break;
      }
    if (cand < 0) cand = b - bucket_scan_limit <= 1 ? 0 : b - bucket_scan_limit - 1;
    boundary = cand;
    if (cand > 0) {
      int32_t prev = r[k - 1], c = cand;
      for (;;) {
        if (__builtin_popcount(static_cast<uint32_t>(prev - c)) == 1) break;
        if (c > 1) {
          c--;
        } else {
          c = 0;
          break;
        }
      }
      boundary = c;
    }
    r[k++] = boundary;
    if (k >= 256) return false;
    b = boundary;
  } while (boundary > 0);
  int32_t rc = k;
  std::reverse(r, r + rc);

  // Each value's bucket, a byte (fewer than 256 buckets).
  uint8_t* const bucket_of = mem.take<uint8_t>(static_cast<size_t>(max) + 2);
  for (int32_t i = 0; i + 1 < rc; i++) {
    int32_t size = r[i + 1] - r[i];
    rbits[i] = static_cast<int32_t>(std::log(static_cast<double>(size)) / 0.6931471805599453) +
               (__builtin_popcount(static_cast<uint32_t>(size)) > 1 ? 1 : 0);
    std::memset(bucket_of + r[i], i, static_cast<size_t>(size));
  }

  // Offsets fill 64-bit words from the low end; a word is stored when full, so nothing needs clearing first.
  uint8_t* const buckets = mem.take<uint8_t>(static_cast<size_t>(n) + 1);
  uint8_t* const bits = mem.take<uint8_t>(static_cast<size_t>(n) * 3 + 16);  // at most 18 bits a value
  uint64_t q = 0, word = 0;
  uint8_t* wp = bits;
  for (int32_t i = 0; i < n; i++) {
    const int32_t v = vals[i];
    const uint8_t b = bucket_of[v];
    const unsigned width = static_cast<unsigned>(rbits[b]);
    buckets[i] = b;
    uint64_t offset = static_cast<uint64_t>(v - r[b]);
    unsigned used = static_cast<unsigned>(q % 64);
    word |= offset << used;
    q += width;
    if (used + width >= 64) {
      put_u64(wp, word);
      wp += 8;
      word = used ? offset >> (64 - used) : 0;
    }
  }
  put_u64(wp, word);
  uint32_t nbytes = static_cast<uint32_t>(q / 8 + 1);

  f->put32(static_cast<uint32_t>(n));
  f->put32(bucket_table_bytes);
  for (int i = 0; i < 256; i++) f->put32(static_cast<uint32_t>(r[i]));
  f->put32(bucket_table_bytes);
  for (int i = 0; i < 256; i++) f->put32(static_cast<uint32_t>(rbits[i]));
  unsigned csize = rans_compress_bound(static_cast<unsigned>(n));
  rans_compress_O1_32x16(buckets, static_cast<unsigned>(n), f->data + f->pos + 4, &csize);
  f->put32(csize);
  f->pos += static_cast<int32_t>(csize);
  f->putblock(bits, nbytes);
  return true;
}

}  // namespace

bool add_integers_to_file(cfile* f, const int32_t* vals, int32_t n) {
  scratch mem;
  return put_integers(f, vals, n, mem);
}

namespace {

// An escape-value stream read in two steps: its parts found in place (their bytes stay in the file), then the
// values decoded (by the text decoder a piece at a time).
struct escape_parts {
  uint32_t n = 0, csize = 0, nbytes = 0;
  int32_t r[256], rbits[256];
  const uint8_t* coded = nullptr;   // the rANS block of the bucket numbers
  const uint8_t* stream = nullptr;  // the offset bits
};

escape_parts read_escape_parts(cfile* f, int32_t max_count) {
  escape_parts e;
  e.n = f->get32();
  if (e.n > static_cast<uint32_t>(max_count)) corrupt();
  uint32_t len;
  const uint8_t* rp = f->getblock(&len);
  if (len != bucket_table_bytes) corrupt();
  const uint8_t* bp = f->getblock(&len);
  if (len != bucket_table_bytes) corrupt();
  for (int i = 0; i < 256; i++) {
    e.r[i] = static_cast<int32_t>(get_u32(rp + 4 * i));
    e.rbits[i] = static_cast<int32_t>(get_u32(bp + 4 * i));
    if (e.r[i] < 0 || e.rbits[i] < 0 || e.rbits[i] > 24) corrupt();
  }
  e.coded = f->getblock(&e.csize);
  e.stream = f->getblock(&e.nbytes);
  return e;
}

raw_array<int32_t> decode_escape_parts(const escape_parts& e) {
  const uint32_t n = e.n, nbytes = e.nbytes;
  raw_array<int32_t> vals(n);
  byte_buffer buckets(n + 1);
  unsigned out_size = n;
  if (!rans_uncompress_O1_32x16(const_cast<uint8_t*>(e.coded), e.csize, buckets.data(), &out_size) || out_size != n)
    corrupt();
  // Offsets are read 8 bytes at a time: the last few from a padded copy of the stream's end.
  uint8_t tail[16] = {};
  const uint32_t safe = nbytes >= 8 ? nbytes - 7 : 0;  // reads from bytes below this stay within the stream
  std::memcpy(tail, e.stream + safe, nbytes - safe);
  uint64_t q = 0, limit = 8 * static_cast<uint64_t>(nbytes);
  for (uint32_t i = 0; i < n; i++) {
    int b = buckets[i];
    int w = e.rbits[b];
    if (q + static_cast<uint64_t>(w) > limit) corrupt();
    uint64_t at = q / 8;
    uint64_t word = at < safe ? get_u64(e.stream + at) : get_u64(tail + (at - safe));
    uint64_t o = (word >> (q % 8)) & ((uint64_t{1} << w) - 1);
    int64_t v = e.r[b] + static_cast<int64_t>(o);
    if (v > INT32_MAX) corrupt();
    vals[i] = static_cast<int32_t>(v);
    q += static_cast<uint64_t>(w);
  }
  return vals;
}

}  // namespace

raw_array<int32_t> get_integers_from_file(cfile* f, int32_t max_count) {
  return decode_escape_parts(read_escape_parts(f, max_count));
}

// ---- the file ----

std::optional<byte_buffer> compress_text_buffer(const uint8_t* in, size_t n, text_refusal* why, int asked) {
  auto refuse = [&](text_refusal r) {
    if (why) *why = r;
    return std::nullopt;
  };
  if (why) *why = text_refusal::none;
  if (n >= static_cast<size_t>(input_size_limit)) return refuse(text_refusal::too_many_tokens);

  // The text, with a space appended unless it ends with a delimiter (an empty input becomes one space).
  text_data t;
  t.text = in;
  t.appended = n == 0 || !is_delimiter(in[n - 1]);
  t.textc = static_cast<int32_t>(n) + t.appended;

  // Two workers take a half each, split after a delimiter; each numbers its tokens by first occurrence in its
  // half, with a table of its own.
  int workers = worker_count(asked, static_cast<uint64_t>(t.textc));
  int64_t split = t.textc;
  if (workers > 1) {
    const void* d = nullptr;
    for (int64_t at = t.textc / 2; at < static_cast<int64_t>(n) && !d; at += 4096) {
      size_t span = static_cast<size_t>(std::min<int64_t>(4096, static_cast<int64_t>(n) - at));
      const void* sp = std::memchr(in + at, ' ', span);
      const void* lf = std::memchr(in + at, '\n', span);
      d = !sp ? lf : !lf ? sp : std::min(sp, lf);
    }
    if (d) split = static_cast<const uint8_t*>(d) - in + 1;
    if (split >= t.textc) workers = 1;
  }
  token_part parts[2];
  parts[0].to = split;
  parts[1].from = split;
  parts[1].to = t.textc;
  std::optional<tokenizer> tk[2];
  text_refusal refused[2] = {text_refusal::none, text_refusal::none};
  auto stopped = [&] { return refused[0] != text_refusal::none || refused[1] != text_refusal::none; };
  run_split(workers, [&](int w, int count) {
    for (int p = w; p < workers; p += count) {
      tk[p].emplace(&t, &parts[p], true);
      refused[p] = tk[p]->count();
    }
  }, [] {});
  if (stopped()) return refuse(refused[0] != text_refusal::none ? refused[0] : refused[1]);
  int64_t a2c = parts[0].tokens + parts[1].tokens;
  if (a2c >= token_limit) return refuse(text_refusal::too_many_tokens);
  // The first part's numbers take the token bytes of both parts and their coded block.
  parts[0].room = static_cast<size_t>(a2c + rans_compress_bound(static_cast<unsigned>(a2c)));
  parts[0].capacity = static_cast<size_t>(std::min<int64_t>(a2c, distinct_token_limit));
  run_split(workers, [&](int w, int count) {
    for (int p = w; p < workers; p += count) refused[p] = tk[p]->run();
  }, [] {});
  for (text_refusal r : refused)
    if (r != text_refusal::none) return refuse(r);
  a2c = parts[0].tokens + parts[1].tokens;  // the same unless the input changed meanwhile

  // The whole text's tokens by first occurrence: the first part's, then those new in the second. map[k] is the
  // whole-text number of the second part's token k.
  entry_array<token_entry>& dict = parts[0].dict;
  std::vector<int32_t> map;
  if (workers > 1) {
    const entry_array<token_entry>& second = parts[1].dict;
    const size_t m = second.size();
    map.resize(m);
    // The two workers look up a half of the second part's tokens each in the first part's table (which they only
    // read) and add the counts of those it has (no two of them are the same token); new ones are marked -1. Most
    // lookups miss the cache: a token's text is fetched 16 tokens ahead and its slot 8 ahead.
    run_split(workers, [&](int w, int count) {
      const size_t from = m * static_cast<size_t>(w) / static_cast<size_t>(count);
      const size_t to = m * static_cast<size_t>(w + 1) / static_cast<size_t>(count);
      for (size_t k = from; k < to; k++) {
        if (k + 16 < to) __builtin_prefetch(in + second[k + 16].start);
        if (k + 8 < to) tk[0]->prefetch(second[k + 8].start, second[k + 8].length);
        int32_t j = tk[0]->lookup(second[k].start, second[k].length);
        if (j >= 0) dict[static_cast<size_t>(j)].count += second[k].count;
        map[k] = j;
      }
    }, [] {});
    // The new ones take the next numbers, in their order.
    int64_t listc = tk[0]->dictionary_bytes();
    for (size_t k = 0; k < m; k++) {
      if (map[k] >= 0) continue;
      map[k] = static_cast<int32_t>(dict.size());
      if (map[k] + 1 >= distinct_token_limit) return refuse(text_refusal::too_many_distinct);
      listc += second[k].length;
      if (listc >= dictionary_limit) return refuse(text_refusal::dictionary_too_large);
      dict.push_back(second[k]);
    }
  }
  // From here on the working arrays take the memory of the tokenizers' tables, and then of other arrays as they
  // fall out of use, instead of fresh pages.
  scratch mem;
  for (std::optional<tokenizer>& k : tk) {
    if (!k) continue;
    size_t touched;
    raw_array<token_slot> table = k->release_table(&touched);
    mem.donate(std::move(table), touched);
    k.reset();
  }

  // Frequency order, and the dictionary in that order.
  const int32_t distinct = static_cast<int32_t>(dict.size());
  int32_t* const order = mem.take<int32_t>(static_cast<size_t>(distinct));
  int32_t* const rank = mem.take<int32_t>(static_cast<size_t>(distinct));
  int32_t* const length_of = mem.take<int32_t>(static_cast<size_t>(distinct));  // the counts first
  for (int32_t k = 0; k < distinct; k++) length_of[k] = dict[k].count;
  order_by_count(length_of, distinct, order);
  // The two workers take a half of the ranks each, twice: first each rank's token gets its rank, and its entry's start
  // and length are gathered in rank order (start where its number was); then, with the bytes of the first half
  // known, the tokens are copied in that order from all over the text. Entries and bytes are fetched 16 ahead.
  const int32_t mid = distinct / 2;
  int64_t half_bytes[2] = {0, 0};
  run_split(workers, [&](int w, int count) {
    for (int h = w; h < 2; h += count) {
      const int32_t from = h ? mid : 0, to = h ? distinct : mid;
      int64_t bytes = 0;
      for (int32_t r = from; r < to; r++) {
        if (r + 16 < to) __builtin_prefetch(&dict[static_cast<size_t>(order[r + 16])]);
        const int32_t k = order[r];
        const token_entry& e = dict[static_cast<size_t>(k)];
        rank[k] = r;
        length_of[r] = e.length;
        order[r] = static_cast<int32_t>(e.start);
        bytes += e.length;
      }
      half_bytes[h] = bytes;
    }
  }, [] {});
  const int32_t* const start_of = order;
  const int64_t listc = half_bytes[0] + half_bytes[1];
  if (listc >= dictionary_limit) return refuse(text_refusal::dictionary_too_large);
  uint8_t* const list = mem.take<uint8_t>(static_cast<size_t>(listc) + 1);
  run_split(workers, [&](int w, int count) {
    for (int h = w; h < 2; h += count) {
      const int32_t from = h ? mid : 0, to = h ? distinct : mid;
      int64_t at = h ? half_bytes[0] : 0;
      for (int32_t r = from; r < to; r++) {
        if (r + 16 < to) __builtin_prefetch(in + start_of[r + 16]);
        copy_token(&t, start_of[r], length_of[r], list + at);
        at += length_of[r];
      }
    }
  }, [] {});

  // Token numbers below 255 become their byte; larger ones the byte 255 and an escape value. Each part's bytes
  // overwrite the front of its numbers as they are read (byte i lies within number i, which has been read); its
  // escape values go to an area of their own, the second part's one slot behind the first's (each part stores a
  // value at every token and moves on past escapes only, so its last store lands one past its values).
  // The first part's numbers keep their ranks (rank[k] for k below first_distinct).
  const int32_t* part_rank[2] = {rank, nullptr};
  int64_t escc = 0, second_escapes = 0;
  for (int32_t k = 0; k < distinct; k++)
    if (rank[k] >= escape_byte) escc += dict[k].count;
  if (workers > 1) {
    int32_t* const second_rank = mem.take<int32_t>(map.size());
    for (size_t k = 0; k < map.size(); k++) {
      second_rank[k] = rank[map[k]];
      if (second_rank[k] >= escape_byte) second_escapes += parts[1].dict[k].count;
    }
    part_rank[1] = second_rank;
  }
  std::vector<int32_t>().swap(map);
  for (token_part& part : parts) {
    size_t touched;
    raw_array<token_entry> entries = part.dict.release(&touched);
    mem.donate(std::move(entries), touched);
  }
  const int64_t first_escapes = escc - second_escapes;
  int32_t* const escapes = mem.take<int32_t>(static_cast<size_t>(escc) + 2);
  run_split(workers, [&](int w, int count) {
    for (int p = w; p < workers; p += count) {
      token_part& part = parts[p];
      const int32_t* const to_rank = part_rank[p];
      uint8_t* const bytes = part.numbers.data();
      int32_t* const esc_out = escapes + (p == 0 ? 0 : first_escapes + 1);
      auto recode = [&](auto number_at) {
        int64_t e = 0;
        for (int64_t i = 0; i < part.tokens; i++) {
          int32_t k = to_rank[number_at(i)];
          esc_out[e] = k - escape_byte;
          e += k >= escape_byte;
          bytes[i] = static_cast<uint8_t>(std::min(k, escape_byte));
        }
      };
      if (part.wide) recode([&](int64_t i) { return get_u32(bytes + 3 * i) & 0xFFFFFF; });
      else recode([&](int64_t i) { return get_u16(bytes + 2 * i); });
    }
  }, [] {});
  if (workers > 1) {
    std::memmove(escapes + first_escapes, escapes + first_escapes + 1,
                 static_cast<size_t>(second_escapes) * sizeof(int32_t));
    std::memcpy(parts[0].numbers.data() + parts[0].tokens, parts[1].numbers.data(), static_cast<size_t>(parts[1].tokens));
    mem.donate(std::move(parts[1].numbers), static_cast<size_t>(parts[1].tokens) * (parts[1].wide ? 3 : 2));
  }

  // One worker codes the token bytes, the other the escape values, and the dictionary goes to the one with less to
  // do (an escape value takes about three times as long as a token byte); the token bytes' block goes behind the token bytes themselves (memory the numbers already took). The parts are then put together
  // in that same memory when the file fits there, else in a buffer of exactly its size.
  uint8_t* const token_bytes = parts[0].numbers.data();
  const size_t escape_room = static_cast<size_t>(escape_stream_bound(escc));
  cfile e{mem.take<uint8_t>(escape_room), 0, static_cast<int64_t>(escape_room)};
  unsigned token_size = static_cast<unsigned>(parts[0].numbers.size() - static_cast<size_t>(a2c));
  uint8_t* token_block = token_bytes + a2c;
  unsigned list_size = rans_compress_bound(static_cast<unsigned>(listc));
  uint8_t* const list_block = mem.take<uint8_t>(list_size);
  bool escapes_fit = true;
  // Only the escape coder takes scratch memory while the workers run (scratch is not shared between threads).
  const int list_worker = a2c <= 3 * escc ? 0 : 1;
  run_split(workers, [&](int w, int count) {
    if (w == 0) rans_compress_O1_32x16(token_bytes, static_cast<unsigned>(a2c), token_block, &token_size);
    if (w == std::min(list_worker, count - 1))
      rans_compress_O1_32x16(list, static_cast<unsigned>(listc), list_block, &list_size);
    if (w == count - 1) escapes_fit = put_integers(&e, escapes, static_cast<int32_t>(escc), mem);
  }, [] {});
  if (!escapes_fit) return refuse(text_refusal::too_many_buckets);

  size_t total = text_header_size + static_cast<size_t>(e.pos) + 4 + token_size + 4 + list_size;
  if (total > n + container_header_size) return std::nullopt;
  // The token block moves to its place in the file first; everything before it is free by then.
  const size_t token_at = text_header_size + static_cast<size_t>(e.pos) + 4;
  byte_buffer out;
  if (total <= parts[0].numbers.size()) {
    out = std::move(parts[0].numbers);
    std::memmove(out.data() + token_at, token_block, token_size);
    out.shrink(total);
  } else {
    out = byte_buffer(total);
    std::memcpy(out.data() + token_at, token_block, token_size);
  }
  cfile f{out.data(), 0, static_cast<int64_t>(total)};
  f.put32(mode_text);
  f.put32(static_cast<uint32_t>(t.textc));
  f.put32(static_cast<uint32_t>(a2c));
  f.put32(static_cast<uint32_t>(listc));
  f.put32(static_cast<uint32_t>(t.appended));
  std::memcpy(f.data + f.pos, e.data, static_cast<size_t>(e.pos));
  f.pos += e.pos;
  f.put32(token_size);
  f.pos += static_cast<int32_t>(token_size);
  f.putblock(list_block, list_size);
  text_whiten(out.data(), total);
  return out;
}

namespace {

struct text_header {
  uint32_t textc, a2c, listc, appended;
};

// The header's fields from a file's first 24 bytes, checked before anything is sized by them or the whole file is
// unwhitened: those bytes are unwhitened apart (words 1 and 2 take the generator's first two draws, as in the whole
// file).
text_header header_fields(const uint8_t* in) {
  uint8_t head[24];
  std::memcpy(head, in, sizeof head);
  text_whiten(head, sizeof head);
  const text_header h{get_u32(head + 4), get_u32(head + 8), get_u32(head + 12), get_u32(head + 16)};
  // A text holds at least one token and its restored length stays within the input limit.
  if (h.appended > 1 || h.textc > static_cast<uint64_t>(input_size_limit) || h.a2c < 1 || h.a2c > h.textc ||
      h.listc < 1 || h.listc > h.textc || h.listc >= dictionary_limit || h.a2c >= token_limit)
    corrupt();
  return h;
}

text_header checked_header(const uint8_t* in, size_t n) {
  if (n < smallest_text_file || n >= static_cast<size_t>(input_size_limit)) corrupt();
  return header_fields(in);
}

// Tokens of one piece of the rebuilt text: the pieces go to the sink in order, built by the workers in turn.
constexpr uint32_t piece_tokens = 1 << 15;
// The start of each dictionary token in list, then listc. list has 64 bytes of room past listc, zero.
raw_array<uint32_t> index_dictionary(const uint8_t* list, uint32_t listc) {
  uint64_t count = 0;
  auto mask = [&](uint32_t base) {
    uint64_t m = delimiter_mask(list + base);
    return listc - base < 64 ? m & ((uint64_t{1} << (listc - base)) - 1) : m;
  };
  for (uint32_t base = 0; base < listc; base += 64) count += static_cast<uint64_t>(bit_count(mask(base)));
  raw_array<uint32_t> starts(count + 1);
  uint32_t* s = starts.data();
  *s++ = 0;
  for (uint32_t base = 0; base < listc; base += 64)
    for (uint64_t m = mask(base); m; m &= m - 1) *s++ = base + static_cast<uint32_t>(__builtin_ctzll(m)) + 1;
  return starts;
}

// Escape values are decoded a piece at a time, each piece from where its offsets start in the bit stream: the bit
// position of every 4096th value is noted beforehand.
constexpr int checkpoint_shift = 12;

// Decodes the unwhitened file[0..n) whose header is h.
void decode_text(const uint8_t* file, size_t n, const text_header& h, byte_sink& sink, int asked) {
  const uint32_t textc = h.textc, a2c = h.a2c, listc = h.listc, appended = h.appended;
  cfile f{const_cast<uint8_t*>(file), text_header_size, static_cast<int64_t>(n)};
  const int workers = worker_count(asked, textc);

  // The three parts are found first, then decoded side by side: the token bytes by one worker, the escape buckets
  // and the dictionary by the other.
  const escape_parts esc = read_escape_parts(&f, static_cast<int32_t>(a2c));
  uint32_t token_csize, list_csize;
  const uint8_t* token_block = f.getblock(&token_csize);
  const uint8_t* list_block = f.getblock(&list_csize);
  if (f.pos != static_cast<int64_t>(n)) corrupt();

  const uint32_t pieces = (a2c + piece_tokens - 1) / piece_tokens;
  const uint32_t escc = esc.n;
  byte_buffer token_bytes(a2c);
  std::vector<uint32_t> piece_escapes(pieces + 1);  // escape values before each piece
  byte_buffer buckets(escc + 1);
  std::vector<uint64_t> checkpoints((escc >> checkpoint_shift) + 1);
  byte_buffer list(listc + 64);
  raw_array<uint32_t> starts;
  auto decode = [](const uint8_t* block, uint32_t csize, uint8_t* dest, uint32_t size) {
    unsigned out_size = size;
    if (!rans_uncompress_O1_32x16(const_cast<uint8_t*>(block), csize, dest, &out_size) || out_size != size) corrupt();
  };
  auto part = [&](int w, int count) {
    if (w == 0) {
      decode(token_block, token_csize, token_bytes.data(), a2c);
      const uint8_t* b = token_bytes.data();
      for (uint32_t p = 0; p < pieces; p++) {
        uint32_t from = p * piece_tokens, to = std::min(a2c, from + piece_tokens), c = 0;
        for (uint32_t j = from; j < to; j++) c += b[j] == escape_byte;
        piece_escapes[p + 1] = piece_escapes[p] + c;
      }
    }
    if (w == count - 1) {
      decode(esc.coded, esc.csize, buckets.data(), escc);
      uint64_t q = 0;
      for (uint32_t i = 0; i < escc; i++) {
        if ((i & ((1u << checkpoint_shift) - 1)) == 0) checkpoints[i >> checkpoint_shift] = q;
        q += static_cast<uint64_t>(esc.rbits[buckets[i]]);
      }
      if (q > 8 * static_cast<uint64_t>(esc.nbytes)) corrupt();
      decode(list_block, list_csize, list.data(), listc);
      std::memset(list.data() + listc, 0, 64);
      // Dictionary tokens end after each delimiter; the dictionary ends with one.
      if (!is_delimiter(list[listc - 1])) corrupt();
      starts = index_dictionary(list.data(), listc);
    }
  };
  run_split(workers, part, [] {});
  if (piece_escapes[pieces] != escc) corrupt();

  const uint32_t* const start_of = starts.data();
  const uint8_t* const words = list.data();
  const uint64_t keep = textc - appended;
  // Bit stream reads take 8 bytes: the last few come from a padded copy of the stream's end.
  uint8_t tail[16] = {};
  const uint32_t safe = esc.nbytes >= 8 ? esc.nbytes - 7 : 0;
  std::memcpy(tail, esc.stream + safe, esc.nbytes - safe);

  // Each worker builds its pieces in a buffer that stays in cache; a buffer goes to the sink, in text order, when
  // it fills or its piece ends, once every earlier piece has gone. `turn` is the piece whose bytes may go now
  // (negative once a worker failed); `written` counts the text so far (the appended space included, which never
  // reaches the sink) and `last` is the text's last token, both kept by whoever holds the turn.
  std::atomic<int64_t> turn{0};
  uint64_t written = 0, last = 0;
  auto wait_turn = [&](int64_t p) {
    for (;;) {
      int64_t t = turn.load(std::memory_order_acquire);
      if (t == p) return true;
      if (t < 0) return false;
      turn.wait(t, std::memory_order_acquire);
    }
  };
  auto give = [&](const uint8_t* p, uint64_t count) {
    if (written + count > textc) corrupt();
    uint64_t k = std::min(count, keep - std::min(keep, written));
    if (k) sink.write(p, static_cast<size_t>(k));
    written += count;
  };
  constexpr size_t chunk = size_t{1} << 18;
  auto rebuild = [&](int w, int count) {
    // The loops' constants as locals of their own, so that they stay in registers.
    const uint64_t distinct = starts.size() - 1;
    const uint32_t* const start_of = starts.data();
    const uint8_t* const words = list.data();
    const uint8_t* const bytes = token_bytes.data();
    byte_buffer buf(chunk + copy_slack);
    uint8_t* const out = buf.data();
    constexpr uint32_t start_ahead = 16, bytes_ahead = 8;
    raw_array<uint32_t> values(piece_tokens + start_ahead + 1);
    uint32_t* const escaped = values.data();
    for (uint32_t p = static_cast<uint32_t>(w); p < pieces; p += static_cast<uint32_t>(count)) {
      // The piece's escape values, checked against the dictionary.
      const uint32_t e0 = piece_escapes[p], ec = piece_escapes[p + 1] - e0;
      uint64_t q = checkpoints[e0 >> checkpoint_shift];
      for (uint32_t i = e0 & ~((1u << checkpoint_shift) - 1); i < e0; i++) q += static_cast<uint64_t>(esc.rbits[buckets[i]]);
      for (uint32_t i = 0; i < ec; i++) {
        int b = buckets[e0 + i];
        int width = esc.rbits[b];
        uint64_t at = q / 8;
        uint64_t word = at < safe ? get_u64(esc.stream + at) : get_u64(tail + (at - safe));
        uint64_t v = static_cast<uint64_t>(esc.r[b]) + ((word >> (q % 8)) & ((uint64_t{1} << width) - 1));
        if (v + escape_byte >= distinct) corrupt();
        escaped[i] = static_cast<uint32_t>(v + escape_byte);
        q += static_cast<uint64_t>(width);
      }
      // Past the piece's values, which the loop reads up to start_ahead further: number 0, a harmless target.
      for (uint32_t i = ec; i <= ec + start_ahead; i++) escaped[i] = 0;

      const uint32_t end = std::min(a2c, (p + 1) * piece_tokens);
      size_t used = 0, e = 0;
      uint64_t k = 0;
      uint32_t i = p * piece_tokens;
      while (i < end) {
        // Short tokens while the buffer has room for 16 more bytes: no calls, everything in registers. A piece
        // holds exactly as many escape bytes as it has escape values.
        {
          size_t u = used, ee = e;
          uint32_t j = i;
          for (; j < end && u <= chunk - copy_slack; j++) {
            // Escape bytes are frequent and unpredictable: the token's number is chosen without a branch.
            // Rare tokens lie far apart: the start of the one 16 escapes ahead is fetched, and the bytes of the
            // one 8 ahead.
            __builtin_prefetch(start_of + escaped[ee + start_ahead]);
            __builtin_prefetch(words + start_of[escaped[ee + bytes_ahead]]);
            const uint32_t b = bytes[j], value = escaped[ee];
            const uint32_t escaped_here = b == escape_byte;
            const uint32_t pick = 0u - escaped_here;  // all ones at an escape byte
            const uint64_t c = (value & pick) | (b & ~pick);
            if (c >= distinct) corrupt();
            const uint32_t from = start_of[c], length = start_of[c + 1] - from;
            if (length > copy_slack) break;
            ee += escaped_here;
            std::memcpy(out + u, words + from, copy_slack);
            u += length;
            k = c;
          }
          used = u;
          e = ee;
          i = j;
        }
        if (i >= end) break;
        // One token the loop above left: a long one, or one past a full buffer.
        k = bytes[i];
        if (k == escape_byte) k = escaped[e++];
        if (k >= distinct) corrupt();
        const uint32_t from = start_of[k], length = start_of[k + 1] - from;
        if (used + length > chunk) {
          if (!wait_turn(p)) return;
          give(out, used);
          used = 0;
        }
        if (length > chunk) {
          if (!wait_turn(p)) return;
          give(words + from, length);
        } else {
          std::memcpy(out + used, words + from, length);
          used += length;
        }
        i++;
      }
      if (!wait_turn(p)) return;
      give(out, used);
      last = k;
      turn.store(p + 1, std::memory_order_release);
      turn.notify_all();
    }
  };
  run_split(workers, rebuild, [&] {
    turn.store(-1, std::memory_order_release);
    turn.notify_all();
  });
  // The appended space is the last byte of the last token.
  if (written != textc || (appended && words[start_of[last + 1] - 1] != ' ')) corrupt();
}

}  // namespace

void decompress_text_to(const uint8_t* in, size_t n, byte_sink& sink, int workers) {
  const text_header h = checked_header(in, n);
  byte_buffer file(n);
  std::memcpy(file.data(), in, n);
  text_whiten(file.data(), n);
  decode_text(file.data(), n, h, sink, workers);
}

void decompress_text_in_place(uint8_t* in, size_t n, byte_sink& sink, int workers) {
  const text_header h = checked_header(in, n);
  text_whiten(in, n);
  decode_text(in, n, h, sink, workers);
}

uint64_t text_restored_length(const uint8_t* in, size_t n) {
  if (n < 24) corrupt();
  const text_header h = header_fields(in);
  return h.textc - h.appended;
}

byte_buffer decompress_text_buffer(const uint8_t* in, size_t n, int workers) {
  // The restored length is in the header (whitened), less the appended space, which the sink never receives.
  buffer_sink sink(static_cast<size_t>(text_restored_length(in, n)));
  decompress_text_to(in, n, sink, workers);
  return sink.release();
}

}  // namespace qarn
