// text.cpp — text mode: tokens, frequency numbering, escape coding, the text file layout and its whitening.
#include "text.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "qarn.h"
#include "ransavx.h"
#include "sort.h"

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
constexpr uint64_t token_step = 0x3592398572958725ULL;
// Slack after copied buffers: token copies move 16 bytes at a time, bit reads 8 bytes at a time.
constexpr size_t copy_slack = 16;
constexpr int32_t initial_table_slots = 1 << 12;
constexpr int32_t largest_table_slots = 1 << 26;

inline bool is_delimiter(uint8_t c) { return c == ' ' || c == '\n'; }

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

struct dict_entry {
  int32_t start, length, count;
  uint64_t head;  // the token's first 8 bytes (zero past its end): short tokens are checked without the dictionary
};

inline uint64_t head_of(const uint8_t* p, int64_t len, int64_t room) {
  if (len >= 8) return get_u64(p);
  if (room >= 8) return get_u64(p) & ((uint64_t{1} << (8 * len)) - 1);
  uint64_t w = 0;
  std::memcpy(&w, p, static_cast<size_t>(len));
  return w;
}

class tokenizer {
 public:
  explicit tokenizer(text_data* t) : t_(t) {
    xorshift1024 g;
    for (uint64_t& v : byte_table_) v = g.next();
    int64_t bytes = std::min<int64_t>(t->textc, dictionary_limit) + copy_slack;
    list_ = byte_buffer(static_cast<size_t>(bytes));
  }

  text_refusal run() {
    text_data* t = t_;
    int64_t n = t->textc - t->appended;  // bytes of the input itself
    int64_t tokens = t->appended;
    for (int64_t i = 0; i < n; i++) tokens += is_delimiter(t->text[i]);
    if (tokens >= token_limit) return text_refusal::too_many_tokens;
    t->a2 = raw_array<int32_t>(static_cast<size_t>(tokens));
    if (!t->ht.allocated) hashinit(&t->ht, initial_table_slots);

    // Hashes and ends of the tokens of one chunk are found first, without branches, then looked up together. The
    // chunk's second half starts at a token boundary, so its hashes form a second chain that runs alongside the
    // first.
    constexpr int64_t chunk = 1 << 15;
    std::vector<uint64_t> hashes(chunk + 1);
    std::vector<int32_t> ends(chunk + 1);
    uint64_t h = 0;
    int64_t start = 0;
    for (int64_t base = 0; base < n; base += chunk) {
      int64_t limit = std::min(n, base + chunk);
      int64_t mid = base + (limit - base) / 2;
      while (mid < limit && !is_delimiter(t->text[mid])) mid++;
      int64_t m1 = 0, m2 = 0;
      if (mid + 1 < limit) {
        // hashes[0..m1) for [base, mid], hashes[chunk/2..chunk/2 + m2) for (mid, limit).
        uint64_t h2 = 0;
        int64_t len1 = mid + 1 - base, len2 = limit - (mid + 1), both = std::min(len1, len2);
        const uint8_t* p1 = t->text + base;
        const uint8_t* p2 = t->text + mid + 1;
        uint64_t* hs2 = hashes.data() + chunk / 2;
        int32_t* es2 = ends.data() + chunk / 2;
        int32_t off2 = static_cast<int32_t>(mid + 1 - base);
        for (int64_t i = 0; i < both; i++) {
          uint8_t c1 = p1[i], c2 = p2[i];
          h = (h + token_step) ^ byte_table_[c1];
          h2 = (h2 + token_step) ^ byte_table_[c2];
          hashes[m1] = h;
          hs2[m2] = h2;
          ends[m1] = static_cast<int32_t>(i + 1);
          es2[m2] = static_cast<int32_t>(i + 1) + off2;
          uint64_t d1 = is_delimiter(c1), d2 = is_delimiter(c2);
          m1 += static_cast<int64_t>(d1);
          m2 += static_cast<int64_t>(d2);
          h &= d1 - 1;
          h2 &= d2 - 1;
        }
        for (int64_t i = both; i < len1; i++) {
          uint8_t c = p1[i];
          h = (h + token_step) ^ byte_table_[c];
          hashes[m1] = h;
          ends[m1] = static_cast<int32_t>(i + 1);
          uint64_t d = is_delimiter(c);
          m1 += static_cast<int64_t>(d);
          h &= d - 1;
        }
        for (int64_t i = both; i < len2; i++) {
          uint8_t c = p2[i];
          h2 = (h2 + token_step) ^ byte_table_[c];
          hs2[m2] = h2;
          es2[m2] = static_cast<int32_t>(i + 1) + off2;
          uint64_t d = is_delimiter(c);
          m2 += static_cast<int64_t>(d);
          h2 &= d - 1;
        }
        h = h2;  // the chain that carries into the next chunk
        std::memmove(hashes.data() + m1, hs2, static_cast<size_t>(m2) * sizeof(uint64_t));
        std::memmove(ends.data() + m1, es2, static_cast<size_t>(m2) * sizeof(int32_t));
      } else {
        for (int64_t i = base; i < limit; i++) {
          uint8_t c = t->text[i];
          h = (h + token_step) ^ byte_table_[c];
          hashes[m1] = h;
          ends[m1] = static_cast<int32_t>(i + 1 - base);
          uint64_t d = is_delimiter(c);
          m1 += static_cast<int64_t>(d);
          h &= d - 1;
        }
      }
      int64_t m = m1 + m2;
      const hashentry* slots = t->ht.a;
      uint64_t mask = static_cast<uint64_t>(t->ht.mask);
      for (int64_t j = 0; j < m; j++) {
        // The slot of a token 16 ahead, and the dictionary entry of one 8 ahead (its slot is in cache by now).
        if (j + 16 < m) __builtin_prefetch(&slots[hashes[j + 16] & mask]);
        if (j + 8 < m) {
          const hashentry& ahead = slots[hashes[j + 8] & mask];
          if (ahead.key == hashes[j + 8] && static_cast<size_t>(ahead.value) < dict_.size())
            __builtin_prefetch(&dict_[static_cast<size_t>(ahead.value)]);
        }
        int64_t end = base + ends[j];
        text_refusal r = add(hashes[j], t->text + start, end - start, n - start);
        if (r != text_refusal::none) return r;
        if (t->ht.a != slots) {  // the table grew
          slots = t->ht.a;
          mask = static_cast<uint64_t>(t->ht.mask);
        }
        start = end;
      }
    }
    if (t->appended) {
      // The last token ends with the appended space.
      std::vector<uint8_t> last(t->text + start, t->text + n);
      last.push_back(' ');
      h = (h + token_step) ^ byte_table_[' '];
      text_refusal r = add(h, last.data(), static_cast<int64_t>(last.size()), static_cast<int64_t>(last.size()));
      if (r != text_refusal::none) return r;
    }
    finish();
    return text_refusal::none;
  }

 private:
  text_refusal add(uint64_t h, const uint8_t* token, int64_t len64, int64_t room) {
    hashtable& ht = t_->ht;
    int32_t len = static_cast<int32_t>(len64);
    int32_t k;
    const hashentry& home = ht.a[h & static_cast<uint64_t>(ht.mask)];
    if (home.key == h && h != 0) {
      k = home.value;
    } else {
      int32_t distinct = static_cast<int32_t>(dict_.size());
      int32_t r;
      while ((r = hashinsert2(&ht, h, distinct)) == hash_full) {
        if (ht.l >= largest_table_slots) return text_refusal::hash_collision;
        grow();
      }
      if (r >= 0) {
        if (distinct + 1 >= distinct_token_limit) return text_refusal::too_many_distinct;
        if (listc_ + len64 >= dictionary_limit) return text_refusal::dictionary_too_large;
        std::memcpy(list_.data() + listc_, token, static_cast<size_t>(len));
        dict_.push_back({static_cast<int32_t>(listc_), len, 1, head_of(token, len64, room)});
        listc_ += len64;
        t_->a2[a2c_++] = r;
        return text_refusal::none;
      }
      k = ~r;
    }
    // Equal hashes must mean equal bytes: a collision would merge two tokens and lose data.
    dict_entry& e = dict_[static_cast<size_t>(k)];
    if (e.length != len || head_of(token, len64, room) != e.head ||
        (len > 8 && std::memcmp(token + 8, list_.data() + e.start + 8, static_cast<size_t>(len - 8)) != 0))
      return text_refusal::hash_collision;
    e.count++;
    t_->a2[a2c_++] = k;
    return text_refusal::none;
  }

  // Doubles the table and inserts every key again with its number.
  void grow() {
    hashtable& old = t_->ht;
    hashtable bigger;
    for (int32_t l = old.l * 2;; l *= 2) {
      hashinit(&bigger, l);
      bool fits = true;
      for (int32_t i = 0; i < old.size && fits; i++)
        if (old.a[i].key) fits = hashinsert2(&bigger, old.a[i].key, old.a[i].value) != hash_full;
      if (fits || l >= largest_table_slots) break;
      hashdelete(&bigger);
    }
    hashdelete(&old);
    old = bigger;
  }

  void finish() {
    text_data* t = t_;
    t->list.assign(list_.data(), list_.data() + listc_);
    t->list2.clear();
    t->freq.clear();
    for (const dict_entry& e : dict_) {
      t->list2.push_back(e.start);
      t->freq.push_back(e.count);
    }
    t->list2.push_back(static_cast<int32_t>(listc_));
  }

  text_data* t_;
  uint64_t byte_table_[256];
  byte_buffer list_;
  int64_t listc_ = 0;
  std::vector<dict_entry> dict_;
  size_t a2c_ = 0;
};

}  // namespace

text_refusal text_build_a2(text_data* t) { return tokenizer(t).run(); }

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

bool add_integers_to_file(cfile* f, const int32_t* vals, int32_t n) {
  int32_t r[257] = {};
  int32_t rbits[257] = {};
  int32_t max = 0;
  for (int32_t i = 0; i < n; i++) max = std::max(max, vals[i]);
  std::vector<int32_t> hist(static_cast<size_t>(max) + 1);
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

  struct reduced {
    int32_t bucket, offset, bits;
  };
  std::vector<reduced> reduce(static_cast<size_t>(max) + 2);
  for (int32_t i = 0; i + 1 < rc; i++) {
    int32_t size = r[i + 1] - r[i];
    rbits[i] = static_cast<int32_t>(std::log(static_cast<double>(size)) / 0.6931471805599453) +
               (__builtin_popcount(static_cast<uint32_t>(size)) > 1 ? 1 : 0);
    for (int32_t v = r[i]; v < r[i + 1]; v++) reduce[v] = {i, v - r[i], rbits[i]};
  }

  std::vector<uint8_t> buckets(static_cast<size_t>(n) + 1);
  std::vector<uint8_t> bits(static_cast<size_t>(n) * 3 + 16);  // at most 18 bits a value
  uint64_t q = 0;
  for (int32_t i = 0; i < n; i++) {
    const reduced& x = reduce[vals[i]];
    buckets[i] = static_cast<uint8_t>(x.bucket);
    uint64_t w = get_u64(&bits[q / 8]) | (static_cast<uint64_t>(x.offset) << (q % 8));
    put_u64(&bits[q / 8], w);
    q += static_cast<uint64_t>(x.bits);
  }
  uint32_t nbytes = static_cast<uint32_t>(q / 8 + 1);

  f->put32(static_cast<uint32_t>(n));
  f->put32(bucket_table_bytes);
  for (int i = 0; i < 256; i++) f->put32(static_cast<uint32_t>(r[i]));
  f->put32(bucket_table_bytes);
  for (int i = 0; i < 256; i++) f->put32(static_cast<uint32_t>(rbits[i]));
  unsigned csize = rans_compress_bound(static_cast<unsigned>(n));
  rans_compress_O1_32x16(buckets.data(), static_cast<unsigned>(n), f->data + f->pos + 4, &csize);
  f->put32(csize);
  f->pos += static_cast<int32_t>(csize);
  f->putblock(bits.data(), nbytes);
  return true;
}

raw_array<int32_t> get_integers_from_file(cfile* f, int32_t max_count) {
  uint32_t n = f->get32();
  if (n > static_cast<uint32_t>(max_count)) corrupt();
  raw_array<int32_t> vals(n);
  uint32_t len;
  const uint8_t* rp = f->getblock(&len);
  if (len != bucket_table_bytes) corrupt();
  const uint8_t* bp = f->getblock(&len);
  if (len != bucket_table_bytes) corrupt();
  int32_t r[256], rbits[256];
  for (int i = 0; i < 256; i++) {
    r[i] = static_cast<int32_t>(get_u32(rp + 4 * i));
    rbits[i] = static_cast<int32_t>(get_u32(bp + 4 * i));
    if (r[i] < 0 || rbits[i] < 0 || rbits[i] > 24) corrupt();
  }
  uint32_t csize;
  const uint8_t* coded = f->getblock(&csize);
  byte_buffer buckets(n + 1);
  unsigned out_size = n;
  if (!rans_uncompress_O1_32x16(const_cast<uint8_t*>(coded), csize, buckets.data(), &out_size) || out_size != n)
    corrupt();
  uint32_t nbytes;
  const uint8_t* stream = f->getblock(&nbytes);
  byte_buffer bits(nbytes + 8);
  std::memcpy(bits.data(), stream, nbytes);
  std::memset(bits.data() + nbytes, 0, 8);
  uint64_t q = 0, limit = 8 * static_cast<uint64_t>(nbytes);
  for (uint32_t i = 0; i < n; i++) {
    int b = buckets[i];
    int w = rbits[b];
    if (q + static_cast<uint64_t>(w) > limit) corrupt();
    uint64_t o = (get_u64(&bits[q / 8]) >> (q % 8)) & ((uint64_t{1} << w) - 1);
    int64_t v = r[b] + static_cast<int64_t>(o);
    if (v > INT32_MAX) corrupt();
    vals[i] = static_cast<int32_t>(v);
    q += static_cast<uint64_t>(w);
  }
  return vals;
}

// ---- the file ----

std::optional<byte_buffer> compress_text_buffer(const uint8_t* in, size_t n, text_refusal* why) {
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
  if (text_refusal r = text_build_a2(&t); r != text_refusal::none) return refuse(r);
  hashdelete(&t.ht);
  std::vector<int32_t> renumber = frequency_order(&t);

  // Token numbers below 255 become their byte; larger ones the byte 255 and an escape value. The bytes overwrite
  // the front of a2 as it is read (byte i lies within entry i / 4, which has been read).
  int32_t a2c = static_cast<int32_t>(t.a2.size());
  int32_t listc = static_cast<int32_t>(t.list.size());
  raw_array<int32_t> escapes(static_cast<size_t>(a2c) + 1);
  uint8_t* token_bytes = reinterpret_cast<uint8_t*>(t.a2.data());
  int32_t escc = 0;
  for (int32_t i = 0; i < a2c; i++) {
    int32_t k = renumber[t.a2[i]];
    escapes[escc] = k - escape_byte;
    escc += k >= escape_byte;
    token_bytes[i] = static_cast<uint8_t>(std::min(k, escape_byte));
  }

  int64_t room = text_header_size + escape_stream_bound(escc) + 4 + rans_compress_bound(static_cast<unsigned>(a2c)) +
                 4 + rans_compress_bound(static_cast<unsigned>(listc));
  byte_buffer out(static_cast<size_t>(room));
  cfile f{out.data(), 0, room};
  f.put32(mode_text);
  f.put32(static_cast<uint32_t>(t.textc));
  f.put32(static_cast<uint32_t>(a2c));
  f.put32(static_cast<uint32_t>(listc));
  f.put32(static_cast<uint32_t>(t.appended));
  if (!add_integers_to_file(&f, escapes.data(), escc)) return refuse(text_refusal::too_many_buckets);
  for (auto [data, size] : {std::pair<uint8_t*, int32_t>{token_bytes, a2c}, {t.list.data(), listc}}) {
    unsigned csize = rans_compress_bound(static_cast<unsigned>(size));
    rans_compress_O1_32x16(data, static_cast<unsigned>(size), f.data + f.pos + 4, &csize);
    f.put32(csize);
    f.pos += static_cast<int32_t>(csize);
  }
  size_t total = static_cast<size_t>(f.pos);
  if (total > n + container_header_size) return std::nullopt;
  text_whiten(out.data(), total);
  out.shrink(total);
  return out;
}

void decompress_text_to(const uint8_t* in, size_t n, byte_sink& sink) {
  if (n < static_cast<size_t>(text_header_size) || n >= static_cast<size_t>(input_size_limit)) corrupt();
  byte_buffer file(n);
  std::memcpy(file.data(), in, n);
  text_whiten(file.data(), n);
  uint32_t textc = get_u32(file.data() + 4), a2c = get_u32(file.data() + 8), listc = get_u32(file.data() + 12);
  uint32_t appended = get_u32(file.data() + 16);
  // A text holds at least one token and its restored length stays within the input limit.
  if (appended > 1 || textc > static_cast<uint64_t>(input_size_limit) || a2c < 1 || a2c > textc || listc < 1 ||
      listc > textc || listc >= dictionary_limit || a2c >= token_limit)
    corrupt();
  cfile f{file.data(), text_header_size, static_cast<int64_t>(n)};

  raw_array<int32_t> escapes = get_integers_from_file(&f, static_cast<int32_t>(a2c));
  byte_buffer token_bytes(a2c);
  byte_buffer list(listc + copy_slack);
  for (auto [dest, size] : {std::pair<uint8_t*, uint32_t>{token_bytes.data(), a2c}, {list.data(), listc}}) {
    uint32_t csize;
    const uint8_t* block = f.getblock(&csize);
    unsigned out_size = size;
    if (!rans_uncompress_O1_32x16(const_cast<uint8_t*>(block), csize, dest, &out_size) || out_size != size) corrupt();
  }
  if (f.pos != static_cast<int64_t>(n)) corrupt();

  // Dictionary tokens end after each delimiter; the dictionary ends with one.
  if (!is_delimiter(list[listc - 1])) corrupt();
  struct piece {
    uint32_t start, length;
  };
  std::vector<piece> tokens;
  for (uint32_t i = 0, start = 0; i < listc; i++)
    if (is_delimiter(list[i])) {
      tokens.push_back({start, i + 1 - start});
      start = i + 1;
    }
  const piece* dict = tokens.data();
  uint64_t distinct = tokens.size();

  // The text is rebuilt in a buffer that stays in cache and goes to the sink whenever it fills; the appended space
  // never reaches the sink. `flushed` counts what left the buffer, so flushed + used is the text so far.
  constexpr size_t chunk = size_t{1} << 18;
  std::vector<uint8_t> buf(chunk + copy_slack);
  uint8_t* const out = buf.data();
  const uint8_t* const words = list.data();
  const uint8_t* const bytes = token_bytes.data();
  const int32_t* const escaped = escapes.data();
  const uint64_t keep = textc - appended;
  uint64_t flushed = 0;
  size_t used = 0;
  // Sends bytes [from, from + n) of the text to the sink, less whatever lies past `keep`.
  auto give = [&](const uint8_t* p, uint64_t from, uint64_t n) {
    if (from + n > textc) corrupt();
    uint64_t k = std::min(n, keep - std::min(keep, from));
    if (k) sink.write(p, static_cast<size_t>(k));
  };
  size_t e = 0, escc = escapes.size();
  uint64_t k = 0;
  for (uint32_t i = 0; i < a2c; i++) {
    k = bytes[i];
    if (k == escape_byte) {
      if (e >= escc) corrupt();
      k = static_cast<uint64_t>(escaped[e++]) + escape_byte;
    }
    if (k >= distinct) corrupt();
    const piece p = dict[k];
    if (p.length <= copy_slack && used + copy_slack <= chunk) {
      std::memcpy(out + used, words + p.start, copy_slack);
      used += p.length;
      continue;
    }
    if (used + p.length > chunk) {
      give(out, flushed, used);
      flushed += used;
      used = 0;
    }
    if (p.length > chunk) {
      give(words + p.start, flushed, p.length);
      flushed += p.length;
    } else {
      std::memcpy(out + used, words + p.start, p.length);
      used += p.length;
    }
  }
  give(out, flushed, used);
  uint64_t total = flushed + used;
  // The appended space is the last byte of the last token.
  const piece last = dict[k];
  if (e != escc || total != textc || (appended && words[last.start + last.length - 1] != ' ')) corrupt();
}

namespace {

class buffer_sink : public byte_sink {
 public:
  explicit buffer_sink(byte_buffer& b) : b_(b) {}
  void write(const uint8_t* p, size_t n) override {
    if (n > b_.size() - used_) corrupt();
    std::memcpy(b_.data() + used_, p, n);
    used_ += n;
  }
  size_t used() const { return used_; }

 private:
  byte_buffer& b_;
  size_t used_ = 0;
};

class file_sink : public byte_sink {
 public:
  explicit file_sink(output_file& f) : f_(f) {}
  void write(const uint8_t* p, size_t n) override { f_.write(p, n); }

 private:
  output_file& f_;
};

}  // namespace

byte_buffer decompress_text_buffer(const uint8_t* in, size_t n) {
  if (n < static_cast<size_t>(text_header_size)) corrupt();
  // The restored length is in the header (unwhitened), less the appended space, which the sink never receives.
  byte_buffer text(static_cast<size_t>(std::min<uint64_t>(get_u32(in + 4), input_size_limit)));
  buffer_sink sink(text);
  decompress_text_to(in, n, sink);
  text.shrink(sink.used());
  return text;
}

int compress_text(const char* in_path, const char* out_path) {
  mapped_file in(in_path);
  text_refusal why;
  std::optional<byte_buffer> out = compress_text_buffer(in.data(), in.size(), &why);
  if (!out) {
    // Past the text format's limits: mixed mode. Merely no gain: stored.
    if (why != text_refusal::none) write_fallback(in_path, out_path, in.data(), in.size());
    else write_stored(in_path, out_path, in.data(), in.size());
    return 0;
  }
  writefile(out_path, out->data(), out->size());
  return 0;
}

int decompress_text(const char* in_path, const char* out_path) {
  mapped_file in(in_path);
  output_file out(out_path);
  file_sink sink(out);
  decompress_text_to(in.data(), in.size(), sink);
  out.commit();
  return 0;
}
