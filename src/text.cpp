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

// Doubles the table and inserts every known key again with its number.
void grow_table(text_data* t) {
  int32_t l = t->ht.l * 2;
  hashdelete(&t->ht);
  hashinit(&t->ht, l);
  for (size_t k = 0; k < t->keys.size(); k++) {
    int32_t r = hashinsert2(&t->ht, t->keys[k], static_cast<int32_t>(k));
    if (r == hash_full) {  // the keys crowd one part of the table: try larger still
      grow_table(t);
      return;
    }
  }
}

void whiten(uint8_t* buf, size_t total) {
  if (total < 16) return;
  xorshift1024 g;
  for (size_t w = 1; w < total / 8; w++) put_u64(buf + 8 * w, get_u64(buf + 8 * w) ^ g.next());
}

[[noreturn]] void fail() { corrupt(); }

}  // namespace

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
  if (pos < 0 || size - pos < 4) fail();
  uint32_t v = get_u32(data + pos);
  pos += 4;
  return v;
}

const uint8_t* cfile::getblock(uint32_t* n) {
  *n = get32();
  if (*n > size - pos) fail();
  const uint8_t* p = data + pos;
  pos += static_cast<int32_t>(*n);
  return p;
}

// ---- tokens ----

text_refusal text_build_a2(text_data* t) {
  xorshift1024 g;
  uint64_t byte_table[256];
  for (uint64_t& v : byte_table) v = g.next();

  int64_t tokens = 0;
  for (int32_t i = 0; i < t->textc; i++) tokens += is_delimiter(t->text[i]);
  if (tokens >= token_limit) return text_refusal::too_many_tokens;
  t->a2 = raw_array<int32_t>(static_cast<size_t>(tokens));
  int32_t* a2 = t->a2.data();
  int32_t a2c = 0;
  if (!t->ht.allocated) hashinit(&t->ht, initial_table_slots);

  const uint8_t* text = t->text;
  uint64_t h = 0;
  int32_t start = 0;
  for (int32_t i = 0; i < t->textc; i++) {
    uint8_t c = text[i];
    h = (h + token_step) ^ byte_table[c];
    if (!is_delimiter(c)) continue;
    int32_t len = i + 1 - start;
    int32_t distinct = static_cast<int32_t>(t->keys.size());
    int32_t r;
    while ((r = hashinsert2(&t->ht, h, distinct)) == hash_full) {
      if (t->ht.l >= largest_table_slots) return text_refusal::hash_collision;
      grow_table(t);
    }
    int32_t k;
    if (r >= 0) {
      k = r;
      if (distinct + 1 >= distinct_token_limit) return text_refusal::too_many_distinct;
      if (static_cast<int64_t>(t->list.size()) + len >= dictionary_limit) return text_refusal::dictionary_too_large;
      t->keys.push_back(h);
      t->list2.push_back(static_cast<int32_t>(t->list.size()));
      t->list.insert(t->list.end(), text + start, text + i + 1);
      t->freq.push_back(0);
    } else {
      // Equal hashes must mean equal bytes: a collision would merge two tokens and lose data.
      k = ~r;
      int32_t from = t->list2[k];
      int32_t to = k + 1 < distinct ? t->list2[k + 1] : static_cast<int32_t>(t->list.size());
      if (to - from != len || std::memcmp(t->list.data() + from, text + start, static_cast<size_t>(len)) != 0)
        return text_refusal::hash_collision;
    }
    a2[a2c++] = k;
    t->freq[k]++;
    h = 0;
    start = i + 1;
  }
  t->list2.push_back(static_cast<int32_t>(t->list.size()));
  return text_refusal::none;
}

void reorder_text(text_data* t) {
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
  for (size_t i = 0; i < t->a2.size(); i++) t->a2[i] = renumber[t->a2[i]];
  t->freq = std::move(freq);
  t->list = std::move(list);
  t->list2 = std::move(list2);
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

std::vector<int32_t> get_integers_from_file(cfile* f, int32_t max_count) {
  uint32_t n = f->get32();
  if (n > static_cast<uint32_t>(max_count)) fail();
  std::vector<int32_t> vals(n);
  uint32_t len;
  const uint8_t* rp = f->getblock(&len);
  if (len != bucket_table_bytes) fail();
  const uint8_t* bp = f->getblock(&len);
  if (len != bucket_table_bytes) fail();
  int32_t r[256], rbits[256];
  for (int i = 0; i < 256; i++) {
    r[i] = static_cast<int32_t>(get_u32(rp + 4 * i));
    rbits[i] = static_cast<int32_t>(get_u32(bp + 4 * i));
    if (r[i] < 0 || rbits[i] < 0 || rbits[i] > 24) fail();
  }
  uint32_t csize;
  const uint8_t* coded = f->getblock(&csize);
  std::vector<uint8_t> buckets(n + 1);
  unsigned out_size = n;
  if (!rans_uncompress_O1_32x16(const_cast<uint8_t*>(coded), csize, buckets.data(), &out_size) || out_size != n)
    fail();
  uint32_t nbytes;
  const uint8_t* stream = f->getblock(&nbytes);
  std::vector<uint8_t> bits(nbytes + 8, 0);
  std::memcpy(bits.data(), stream, nbytes);
  uint64_t q = 0, limit = 8 * static_cast<uint64_t>(nbytes);
  for (uint32_t i = 0; i < n; i++) {
    int b = buckets[i];
    int w = rbits[b];
    if (q + static_cast<uint64_t>(w) > limit) fail();
    uint64_t o = (get_u64(&bits[q / 8]) >> (q % 8)) & ((uint64_t{1} << w) - 1);
    int64_t v = r[b] + static_cast<int64_t>(o);
    if (v > INT32_MAX) fail();
    vals[i] = static_cast<int32_t>(v);
    q += static_cast<uint64_t>(w);
  }
  return vals;
}

// ---- the file ----

std::optional<byte_buffer> compress_text_buffer(const uint8_t* in, size_t n, text_refusal* why) {
  text_refusal refusal = text_refusal::none;
  auto refuse = [&](text_refusal r) {
    if (why) *why = r;
    return std::nullopt;
  };
  if (why) *why = text_refusal::none;
  if (n >= static_cast<size_t>(input_size_limit)) return refuse(text_refusal::too_many_tokens);

  // The text, with a space appended unless it ends with a delimiter (an empty input becomes one space); only then
  // is it copied.
  text_data t;
  t.text = in;
  t.textc = static_cast<int32_t>(n);
  byte_buffer text;
  if (n == 0 || !is_delimiter(in[n - 1])) {
    text = byte_buffer(n + 1);
    if (n) std::memcpy(text.data(), in, n);
    text[n] = ' ';
    t.text = text.data();
    t.textc++;
    t.appended = 1;
  }
  if ((refusal = text_build_a2(&t)) != text_refusal::none) return refuse(refusal);
  hashdelete(&t.ht);
  reorder_text(&t);

  int32_t a2c = static_cast<int32_t>(t.a2.size());
  int32_t listc = static_cast<int32_t>(t.list.size());
  byte_buffer token_bytes(static_cast<size_t>(a2c) + 1);
  std::vector<int32_t> escapes;
  for (int32_t i = 0; i < a2c; i++) {
    int32_t k = t.a2[i];
    if (k < escape_byte) {
      token_bytes[i] = static_cast<uint8_t>(k);
    } else {
      token_bytes[i] = escape_byte;
      escapes.push_back(k - escape_byte);
    }
  }

  int64_t room = text_header_size + escape_stream_bound(static_cast<int64_t>(escapes.size())) + 4 +
                 rans_compress_bound(static_cast<unsigned>(a2c)) + 4 + rans_compress_bound(static_cast<unsigned>(listc));
  byte_buffer out(static_cast<size_t>(room));
  cfile f{out.data(), 0, room};
  f.put32(mode_text);
  f.put32(static_cast<uint32_t>(t.textc));
  f.put32(static_cast<uint32_t>(a2c));
  f.put32(static_cast<uint32_t>(listc));
  f.put32(static_cast<uint32_t>(t.appended));
  if (!add_integers_to_file(&f, escapes.data(), static_cast<int32_t>(escapes.size())))
    return refuse(text_refusal::too_many_buckets);
  for (auto [data, size] : {std::pair<uint8_t*, int32_t>{token_bytes.data(), a2c}, {t.list.data(), listc}}) {
    unsigned csize = rans_compress_bound(static_cast<unsigned>(size));
    rans_compress_O1_32x16(data, static_cast<unsigned>(size), f.data + f.pos + 4, &csize);
    f.put32(csize);
    f.pos += static_cast<int32_t>(csize);
  }
  size_t total = static_cast<size_t>(f.pos);
  if (total > n + container_header_size) return std::nullopt;
  whiten(out.data(), total);
  out.shrink(total);
  return out;
}

byte_buffer decompress_text_buffer(const uint8_t* in, size_t n) {
  if (n < static_cast<size_t>(text_header_size) || n >= static_cast<size_t>(input_size_limit)) fail();
  byte_buffer file(n);
  std::memcpy(file.data(), in, n);
  whiten(file.data(), n);
  uint32_t textc = get_u32(file.data() + 4), a2c = get_u32(file.data() + 8), listc = get_u32(file.data() + 12);
  uint32_t appended = get_u32(file.data() + 16);
  // A text holds at least one token and its restored length stays within the input limit.
  if (appended > 1 || textc > static_cast<uint64_t>(input_size_limit) || a2c < 1 || a2c > textc || listc < 1 ||
      listc > textc || listc >= dictionary_limit || a2c >= token_limit)
    fail();
  cfile f{file.data(), text_header_size, static_cast<int64_t>(n)};

  std::vector<int32_t> escapes = get_integers_from_file(&f, static_cast<int32_t>(a2c));
  size_t escc = escapes.size();

  byte_buffer token_bytes(a2c);
  byte_buffer list(listc + copy_slack);
  for (auto [dest, size] : {std::pair<uint8_t*, uint32_t>{token_bytes.data(), a2c}, {list.data(), listc}}) {
    uint32_t csize;
    const uint8_t* block = f.getblock(&csize);
    unsigned out_size = size;
    if (!rans_uncompress_O1_32x16(const_cast<uint8_t*>(block), csize, dest, &out_size) || out_size != size) fail();
  }
  if (f.pos != static_cast<int64_t>(n)) fail();

  // Dictionary tokens end after each delimiter; the dictionary ends with one.
  if (!is_delimiter(list[listc - 1])) fail();
  std::vector<uint32_t> starts;
  starts.push_back(0);
  for (uint32_t i = 0; i < listc; i++)
    if (is_delimiter(list[i])) starts.push_back(i + 1);
  uint32_t distinct = static_cast<uint32_t>(starts.size() - 1);

  byte_buffer text(static_cast<size_t>(textc) + copy_slack);
  uint64_t at = 0;
  size_t e = 0;
  for (uint32_t i = 0; i < a2c; i++) {
    uint64_t k = token_bytes[i];
    if (k == escape_byte) {
      if (e >= escc) fail();
      k = static_cast<uint64_t>(escapes[e++]) + escape_byte;
    }
    if (k >= distinct) fail();
    uint32_t from = starts[k], len = starts[k + 1] - from;
    if (at + len > textc) fail();
    if (len <= copy_slack) {
      std::memcpy(text.data() + at, list.data() + from, copy_slack);
    } else {
      std::memcpy(text.data() + at, list.data() + from, len);
    }
    at += len;
  }
  if (e != escc || at != textc || (appended && text[at - 1] != ' ')) fail();
  text.shrink(at - appended);
  return text;
}

int compress_text(const char* in_path, const char* out_path) {
  int64_t size = file_size(in_path);
  if (size < 0) fatal_check("fp!=NULL", 58);
  byte_buffer in(static_cast<size_t>(size) + 1);
  uint64_t n = size ? readfile(in_path, in.data(), static_cast<uint64_t>(size)) : 0;
  std::optional<byte_buffer> out = compress_text_buffer(in.data(), n);
  if (!out) {
    write_stored(in_path, out_path, in.data(), n);
    return 0;
  }
  writefile(out_path, out->data(), out->size());
  return 0;
}

int decompress_text(const char* in_path, const char* out_path) {
  int64_t size = file_size(in_path);
  if (size < 0) fatal_check("fp!=NULL", 58);
  byte_buffer in(static_cast<size_t>(size) + 1);
  uint64_t n = size ? readfile(in_path, in.data(), static_cast<uint64_t>(size)) : 0;
  byte_buffer text = decompress_text_buffer(in.data(), n);
  writefile(out_path, text.data(), text.size());
  return 0;
}
