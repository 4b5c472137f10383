// format_test.cpp — the fixtures of docs/format.md: each is built with the library's buffer functions (the stream's
// with its one-shot call), then read
// field by field by a small reader written from the document alone (never the library's decoders), so that the
// document and the program cannot drift apart unnoticed.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "helpers.h"
#include "qarn.h"
#include "ransavx.h"
#include "util.h"

using namespace qarn;

namespace {

uint32_t u32_at(const bytes& b, size_t at) {
  EXPECT_LE(at + 4, b.size());
  if (at + 4 > b.size()) return 0;
  return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 | uint32_t{b[at + 3]} << 24;
}

bytes from_buffer(const byte_buffer& b) { return bytes(b.data(), b.data() + b.size()); }

bytes compressed(uint32_t mode, const bytes& in) { return from_buffer(compress_buffer(mode, in.data(), in.size())); }

std::string hex(const bytes& b, size_t from, size_t count) {
  std::string s;
  char two[4];
  for (size_t i = from; i < from + count && i < b.size(); i++) {
    std::snprintf(two, sizeof two, "%02x", b[i]);
    if (!s.empty()) s += ' ';
    s += two;
  }
  return s;
}

// ---- The order-1 rANS block, read as the document describes it. ----

// Reads the block p[0..size) into out; false when the block is damaged. *used is set to the bytes the decoding
// consumed (the coder's own blocks are consumed exactly).
bool read_rans_block(const uint8_t* p, size_t size, bytes* out, size_t* used = nullptr) {
  if (size < 4) return false;
  const uint32_t n = uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
  size_t at = 4;
  auto next = [&]() -> int { return at < size ? p[at++] : -1; };
  // freq and start of every (context, symbol); a context the table does not list decodes symbol 0 at 2048.
  std::vector<uint16_t> freq(256 * 256, 0), start(256 * 256, 0);
  std::vector<bool> listed(256, false);
  int ctx = next(), ctx_run = 0;
  for (;;) {
    if (ctx < 0 || listed[ctx]) return false;
    listed[ctx] = true;
    int sym = next(), sym_run = 0;
    uint32_t total = 0;
    for (;;) {
      if (sym < 0) return false;
      int f = next();
      if (f < 0) return false;
      if (f >= 0x80) {
        const int lo = next();
        if (lo < 0) return false;
        f = (f & 0x7F) << 8 | lo;
      }
      if (f == 0) f = 2048;
      if (total + f > 2048) return false;
      freq[ctx * 256 + sym] = static_cast<uint16_t>(f);
      start[ctx * 256 + sym] = static_cast<uint16_t>(total);
      total += f;
      if (sym_run > 0) {
        sym_run--;
        if (++sym > 255) return false;
        continue;
      }
      const int b = next();
      if (b == 0) break;
      if (b < 0 || b <= sym) return false;
      if (b == sym + 1 && (sym_run = next()) < 0) return false;
      sym = b;
    }
    if (total != 2048) return false;
    if (ctx_run > 0) {
      ctx_run--;
      if (++ctx > 255) return false;
      continue;
    }
    const int b = next();
    if (b == 0) break;
    if (b < 0 || b <= ctx) return false;
    if (b == ctx + 1 && (ctx_run = next()) < 0) return false;
    ctx = b;
  }
  // slot -> symbol of each context.
  std::vector<uint8_t> symbol_at(256 * 2048, 0);
  for (int c = 0; c < 256; c++) {
    if (!listed[c]) {
      freq[c * 256] = 2048;
      continue;
    }
    for (int s = 0; s < 256; s++)
      for (int k = 0; k < freq[c * 256 + s]; k++) symbol_at[c * 2048 + start[c * 256 + s] + k] = static_cast<uint8_t>(s);
  }
  if (size - at < 4 * 32) return false;
  uint32_t R[32];
  for (uint32_t& r : R) {
    r = uint32_t{p[at]} | uint32_t{p[at + 1]} << 8 | uint32_t{p[at + 2]} << 16 | uint32_t{p[at + 3]} << 24;
    at += 4;
    if (r >= 0x80000000u) return false;
  }
  bool ok = true;
  auto decode = [&](uint32_t& x, int context) -> uint8_t {
    const uint32_t slot = x & 2047;
    const uint8_t s = symbol_at[context * 2048 + slot];
    x = freq[context * 256 + s] * (x >> 11) + slot - start[context * 256 + s];
    if (x < (1u << 15)) {
      if (size - at < 2) {
        ok = false;
        return 0;
      }
      x = x << 16 | uint32_t{p[at]} | uint32_t{p[at + 1]} << 8;
      at += 2;
    }
    return s;
  };
  out->assign(n, 0);
  const uint32_t m = n / 32;
  int context[32] = {};
  for (uint32_t k = 0; k < m && ok; k++)
    for (int z = 0; z < 32; z++) context[z] = (*out)[z * m + k] = decode(R[z], context[z]);
  for (uint32_t i = 32 * m; i < n && ok; i++) (*out)[i] = decode(R[31], i ? (*out)[i - 1] : 0);
  if (used) *used = at;
  return ok;
}

// ---- The text generator, from its definition. ----

struct generator {
  uint64_t s[16];
  int p = 15;
  generator() {
    uint64_t x = 0;
    for (uint64_t& w : s) {
      x += 0x9E3779B97F4A7C15ULL;
      uint64_t z = x;
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
      w = z ^ (z >> 31);
    }
  }
  uint64_t next() {
    const uint64_t s0 = s[p];
    p = (p + 1) & 15;
    uint64_t s1 = s[p];
    s1 ^= s1 << 31;
    s[p] = s1 ^ s0 ^ (s1 >> 11) ^ (s0 >> 30);
    return s[p] * 1181783497276652981ULL;
  }
};

// ---- Image mode, read as the document describes it. ----

// Restores an image file (its 32-byte header, three planes, prediction and colour transform) into *out; false
// when the file is damaged.
bool read_image_file(const bytes& file, bytes* out) {
  if (file.size() < 32 || u32_at(file, 0) != 2) return false;
  const uint32_t transform = u32_at(file, 4), width = u32_at(file, 8), height = u32_at(file, 12);
  const uint32_t raw_planes = u32_at(file, 16) & 7;
  if (transform >= 16 || width == 0) return false;
  const size_t N = size_t{width} * height;

  // Three blocks back to back; the third runs to the end of the file.
  const size_t start[3] = {32, 32 + size_t{u32_at(file, 20)}, 32 + size_t{u32_at(file, 20)} + u32_at(file, 24)};
  const size_t end[3] = {start[1], start[2], file.size()};
  if (start[2] > file.size()) return false;
  const size_t border = 65536;
  bytes planes(border, 128);
  for (int c = 0; c < 3; c++) {
    bytes plane;
    if (!read_rans_block(file.data() + start[c], end[c] - start[c], &plane) || plane.size() != N) return false;
    planes.insert(planes.end(), plane.begin(), plane.end());
  }
  // Prediction is undone in file order, one long array: neighbours reach across plane boundaries and into the
  // border of 128s.
  for (int c = 0; c < 3; c++) {
    if (raw_planes >> c & 1) continue;
    for (size_t j = border + c * N; j < border + (c + 1) * N; j++)
      planes[j] = static_cast<uint8_t>((planes[j] ^ 128) + ((planes[j - width] + planes[j - 1]) >> 1));
  }
  // The stored quantities of each transform: 0 R, 1 G, 2 B, 3 R-G, 4 R-B, 5 G-B (differences XOR 128).
  static const int stored[16][3] = {{0, 1, 2}, {0, 1, 4}, {0, 1, 5}, {0, 2, 3}, {0, 2, 5}, {1, 2, 3},
                                    {1, 2, 4}, {0, 3, 4}, {1, 3, 4}, {2, 3, 4}, {0, 3, 5}, {1, 3, 5},
                                    {2, 3, 5}, {0, 4, 5}, {1, 4, 5}, {2, 4, 5}};
  static const int pair_of[6][2] = {{0, 0}, {1, 1}, {2, 2}, {0, 1}, {0, 2}, {1, 2}};
  bytes pixels;
  for (size_t i = 0; i < N; i++) {
    int rgb[3] = {-1, -1, -1};
    int v[3];
    for (int k = 0; k < 3; k++) {
      v[k] = planes[border + k * N + i];
      if (stored[transform][k] < 3) rgb[stored[transform][k]] = v[k];
    }
    // Each difference gives its unknown channel once the other one is known.
    for (int pass = 0; pass < 2; pass++)
      for (int k = 0; k < 3; k++) {
        const int q = stored[transform][k];
        if (q < 3) continue;
        const int a = pair_of[q][0], b = pair_of[q][1], d = v[k] ^ 128;
        if (rgb[a] >= 0 && rgb[b] < 0) rgb[b] = (rgb[a] - d) & 255;
        if (rgb[b] >= 0 && rgb[a] < 0) rgb[a] = (rgb[b] + d) & 255;
      }
    for (int ch : rgb) {
      if (ch < 0) return false;
      pixels.push_back(static_cast<uint8_t>(ch));
    }
  }
  const std::string head = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
  out->assign(head.begin(), head.end());
  out->insert(out->end(), pixels.begin(), pixels.end());
  return true;
}

// ---- Fixtures. ----

bytes rans_fixture_input() {
  const std::string s = "abracadabra abracadabra abracadabra abracadabra abracadabra abracad";
  return to_bytes(s);
}

bytes text_fixture_input() {
  std::string s;
  for (int i = 0; i < 200; i++) s += "to be or not to be\n";
  for (int i = 0; i < 300; i++) s += std::to_string(i) + (i + 1 < 300 ? " " : "\n");
  return to_bytes(s);
}

// A 32 x 32 PNM whose channels are smooth ramps that move together, so that a difference transform pays.
bytes image_fixture_input() {
  const int w = 32, h = 32;
  std::string head = "P6\n32 32\n255\n";
  bytes b(head.begin(), head.end());
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      const int g = 2 * x + 3 * y;
      b.push_back(static_cast<uint8_t>(g + 40));
      b.push_back(static_cast<uint8_t>(g));
      b.push_back(static_cast<uint8_t>(g + 20 + (x & 1)));
    }
  return b;
}

// Forty 100-byte blocks, ten of each class: machine code, a table of 24-byte records, English text, and bytes of
// no evident kind. Each class repeats itself: a mixed file carries at least 456 bytes of headers, and the program
// stores any input whose mixed file would not be smaller.
bytes mixed_fixture_input() {
  bytes b;
  const uint8_t code[] = {0x48, 0x89, 0xe5, 0x48, 0x8b, 0x45, 0xf8, 0x48, 0x8d, 0x04, 0x85, 0x10, 0x00, 0x00, 0x00,
                          0xe8, 0x00, 0x00, 0x00, 0x00, 0x48, 0x83, 0xc4, 0x08, 0x0f, 0x84, 0x12, 0x00, 0x00, 0x00,
                          0x48, 0x85, 0xc0, 0xc3};
  while (b.size() < 1000) b.push_back(code[b.size() % sizeof code]);
  for (int r = 0; b.size() < 2000; r++) {
    const uint8_t rec[24] = {static_cast<uint8_t>(r), 0, 0, 0, 0x10, 0x20, 0x30, 0x40, static_cast<uint8_t>(2 * r),
                             1, 0, 0, 0xff, 0xff, 0, 0, 0, 0, 0, 0, 7, 7, 7, static_cast<uint8_t>(r ^ 5)};
    for (uint8_t v : rec)
      if (b.size() < 2000) b.push_back(v);
  }
  const std::string text = "the quick brown fox jumps over the lazy dog and then runs along the river bank ";
  for (size_t i = 0; b.size() < 3000; i++) b.push_back(static_cast<uint8_t>(text[i % text.size()]));
  for (uint32_t i = 0; b.size() < 4000; i++) b.push_back(static_cast<uint8_t>(((i % 40) * (i % 40) * 37 + i % 40 * 11) >> 3 | 0x80));
  return b;
}

}  // namespace

// ---- Container header and stored mode. ----

TEST(FormatStored, five_bytes_are_the_header_and_the_bytes_themselves) {
  const bytes in = to_bytes("hello");
  const bytes file = compressed(mode_stored, in);
  EXPECT_EQ(hex(file, 0, file.size()), "00 00 00 00 68 65 6c 6c 6f");
  ASSERT_EQ(u32_at(file, 0), 0u);
  // Reading it back: everything after the four-byte header.
  EXPECT_EQ(bytes(file.begin() + 4, file.end()), in);
  EXPECT_EQ(from_buffer(decompress_buffer(file.data(), file.size())), in);
  // The mode numbers and their words.
  EXPECT_STREQ(mode_word(0), "default");
  EXPECT_STREQ(mode_word(1), "text");
  EXPECT_STREQ(mode_word(2), "image");
  EXPECT_STREQ(mode_word(3), "mixed");
  EXPECT_EQ(mode_word(4), nullptr);
  // A header with no mode behind it, and a file too short for a header, are damaged.
  for (const bytes& bad : {bytes{4, 0, 0, 0, 1}, bytes{0, 0, 0}}) {
    EXPECT_THROW(decompress_buffer(bad.data(), bad.size()), qarn_error);
  }
}

// ---- The order-1 rANS block. ----

TEST(FormatRans, the_abracadabra_block_decodes_field_by_field) {
  bytes in = rans_fixture_input();
  ASSERT_EQ(in.size(), 67u);
  unsigned room = rans_compress_bound(static_cast<unsigned>(in.size()));
  bytes block(room);
  ASSERT_NE(rans_compress_O1_32x16(in.data(), static_cast<unsigned>(in.size()), block.data(), &room), nullptr);
  block.resize(room);
  EXPECT_EQ(u32_at(block, 0), 67u);
  // The table as the document shows it.
  // The whole table as the document walks through it, then the 32 states; these states took every bit, so no
  // words follow them.
  EXPECT_EQ(hex(block, 4, 55),
            "00 61 82 c0 62 02 81 40 81 40 81 40 72 81 80 00 20 61 88 00 00 61 20 81 6d 62 83 27 63 01 81 b6 81 b6 "
            "00 62 02 72 88 00 00 61 88 00 00 61 88 00 00 72 61 88 00 00 00");
  EXPECT_EQ(block.size(), 59u + 4 * 32);
  EXPECT_EQ(u32_at(block, 59), 0x3a995u);
  EXPECT_EQ(u32_at(block, 63), 0x2af00u);
  EXPECT_EQ(u32_at(block, 59 + 4 * 31), 0x3a76eeu);
  bytes back;
  size_t used = 0;
  ASSERT_TRUE(read_rans_block(block.data(), block.size(), &back, &used));
  EXPECT_EQ(back, in);
  EXPECT_EQ(used, block.size());
  // The empty block is the fixed 138 bytes.
  unsigned empty_room = rans_compress_bound(0);
  bytes empty(empty_room);
  ASSERT_NE(rans_compress_O1_32x16(in.data(), 0, empty.data(), &empty_room), nullptr);
  empty.resize(empty_room);
  EXPECT_EQ(empty.size(), 138u);
  EXPECT_EQ(hex(empty, 0, 10), "00 00 00 00 00 00 88 00 00 00");
  for (int z = 0; z < 32; z++) EXPECT_EQ(u32_at(empty, 10 + 4 * z), 0x8000u);
  ASSERT_TRUE(read_rans_block(empty.data(), empty.size(), &back));
  EXPECT_TRUE(back.empty());
}

// ---- Text mode. ----

TEST(FormatText, a_repeated_line_and_three_hundred_numbers_decode_field_by_field) {
  const bytes in = text_fixture_input();
  ASSERT_EQ(in.size(), 4890u);
  const bytes file = compressed(mode_text, in);
  ASSERT_EQ(u32_at(file, 0), 1u);
  // Words 0 (mode and length) are never whitened.
  EXPECT_EQ(hex(file, 0, 24), "01 00 00 00 1a 13 00 00 a3 02 f8 4a fc 1c c8 44 65 a7 ff 42 bb 59 53 ea");
  EXPECT_EQ(file.size(), 4277u);

  // Unwhitening: word w >= 1 of the file XOR the generator's draw w - 1; the bytes past the last whole word stay.
  bytes f = file;
  generator g;
  for (size_t w = 1; w < f.size() / 8 && f.size() >= 16; w++) {
    uint64_t v;
    std::memcpy(&v, f.data() + 8 * w, 8);
    v ^= g.next();
    std::memcpy(f.data() + 8 * w, &v, 8);
  }
  const uint32_t textc = u32_at(f, 4), a2c = u32_at(f, 8), listc = u32_at(f, 12), appended = u32_at(f, 16);
  EXPECT_EQ(textc, 4890u);  // the input ends with a line feed: nothing appended
  EXPECT_EQ(appended, 0u);
  EXPECT_EQ(a2c, 200u * 6 + 300);
  EXPECT_EQ(hex(f, 0, 40),
            "01 00 00 00 1a 13 00 00 dc 05 00 00 52 04 00 00 00 00 00 00 32 00 00 00 00 04 00 00 00 00 00 00 "
            "32 00 00 00 00 00 00 00");

  // The escape stream.
  size_t at = 20;
  const uint32_t escc = u32_at(f, at);
  EXPECT_EQ(escc, 5u + 300 - 255);  // token numbers 255 to 304
  ASSERT_EQ(u32_at(f, at + 4), 1024u);
  int64_t r[256], width[256];
  for (int i = 0; i < 256; i++) r[i] = u32_at(f, at + 8 + 4 * i);
  ASSERT_EQ(u32_at(f, at + 8 + 1024), 1024u);
  for (int i = 0; i < 256; i++) width[i] = u32_at(f, at + 12 + 1024 + 4 * i);
  EXPECT_EQ(r[0], 0);
  EXPECT_EQ(r[1], 50);
  EXPECT_EQ(width[0], 6);
  at += 12 + 2048;
  ASSERT_EQ(at, 2080u);
  const uint32_t bucket_size = u32_at(f, at);
  EXPECT_EQ(bucket_size, 138u);
  bytes buckets;
  ASSERT_TRUE(read_rans_block(f.data() + at + 4, bucket_size, &buckets));
  ASSERT_EQ(buckets.size(), escc);
  at += 4 + bucket_size;
  const uint32_t nbytes = u32_at(f, at);
  const size_t bits_at = at + 4;
  EXPECT_EQ(nbytes, 38u);
  EXPECT_EQ(hex(f, bits_at, 4), "40 20 0c 44");
  at += 4 + nbytes;
  ASSERT_LE(at, f.size());
  std::vector<uint32_t> escapes;
  uint64_t q = 0;
  for (uint8_t b : buckets) {
    uint64_t v = 0;
    for (int k = 0; k < width[b]; k++, q++) v |= uint64_t{(f.at(bits_at + q / 8) >> (q % 8)) & 1u} << k;
    escapes.push_back(static_cast<uint32_t>(r[b] + static_cast<int64_t>(v)));
  }
  EXPECT_LE(q, 8u * nbytes);

  // The token bytes and the dictionary, then nothing.
  EXPECT_EQ(at, 2264u);
  bytes token_bytes, dictionary;
  const uint32_t token_size = u32_at(f, at);
  ASSERT_TRUE(read_rans_block(f.data() + at + 4, token_size, &token_bytes));
  at += 4 + token_size;
  EXPECT_EQ(at, 3499u);
  const uint32_t list_size = u32_at(f, at);
  ASSERT_TRUE(read_rans_block(f.data() + at + 4, list_size, &dictionary));
  at += 4 + list_size;
  EXPECT_EQ(at, f.size());
  ASSERT_EQ(token_bytes.size(), a2c);
  ASSERT_EQ(dictionary.size(), listc);

  // Dictionary tokens end after each space or line feed; number k is the k-th. The most frequent come first.
  std::vector<std::string> tokens(1);
  for (uint8_t c : dictionary) {
    tokens.back() += static_cast<char>(c);
    if (c == ' ' || c == '\n') tokens.emplace_back();
  }
  ASSERT_TRUE(tokens.back().empty());
  tokens.pop_back();
  ASSERT_EQ(tokens.size(), 305u);
  EXPECT_EQ(tokens[0], "to ");  // 400 occurrences
  EXPECT_EQ(tokens[1], "be ");  // 200, first seen before "or " and "not "
  EXPECT_EQ(tokens[4], "be\n");

  std::string text;
  size_t e = 0;
  for (uint8_t b : token_bytes) {
    const uint32_t k = b < 255 ? b : 255 + escapes.at(e++);
    ASSERT_LT(k, tokens.size());
    text += tokens[k];
  }
  EXPECT_EQ(e, escapes.size());
  ASSERT_EQ(text.size(), textc);
  if (appended) text.pop_back();
  EXPECT_EQ(to_bytes(text), in);
}

// ---- Image mode. ----

TEST(FormatImage, a_32_by_32_ramp_decodes_plane_by_plane) {
  const bytes in = image_fixture_input();
  const bytes file = compressed(mode_image, in);
  ASSERT_EQ(u32_at(file, 0), 2u);
  const uint32_t transform = u32_at(file, 4), width = u32_at(file, 8), height = u32_at(file, 12);
  EXPECT_EQ(hex(file, 0, 32),
            "02 00 00 00 07 00 00 00 20 00 00 00 20 00 00 00 00 00 00 00 19 01 00 00 13 01 00 00 a9 00 00 00");
  // Plane 0's block: 1024 bytes; context 0 lists 0x28 (the first pixel's R = 40 against a prediction of 128) at
  // 64 and 0x64 at 1984.
  EXPECT_EQ(hex(file, 32, 11), "00 04 00 00 00 28 40 64 87 c0 00");
  EXPECT_EQ(file.size(), 757u);
  ASSERT_EQ(width, 32u);
  ASSERT_EQ(height, 32u);
  ASSERT_LT(transform, 16u);
  // Three blocks back to back; the third runs to the end of the file.
  EXPECT_EQ(u32_at(file, 28), file.size() - 32 - u32_at(file, 20) - u32_at(file, 24));
  bytes out;
  ASSERT_TRUE(read_image_file(file, &out));
  EXPECT_EQ(out, in);
}

// ---- Mixed mode. ----

namespace {

// One section read as the document describes it: the restored stream, or false when damaged. *sub receives the
// seven sub-blocks' raw bytes.
bool read_section(const bytes& f, size_t at, size_t* size, bytes* stream, std::array<bytes, 7>* sub) {
  const uint32_t n = u32_at(f, at), body = u32_at(f, at + 4);
  *size = 8 + size_t{body};
  size_t p = at + 8;
  for (int k = 0; k < 7; k++) {
    const uint32_t stored = u32_at(f, p), raw = u32_at(f, p + 4);
    if (p + 8 + stored > at + 8 + body) return false;
    if (raw <= 100 || k == 6) {
      if (stored != raw) return false;
      (*sub)[k].assign(f.begin() + static_cast<ptrdiff_t>(p + 8), f.begin() + static_cast<ptrdiff_t>(p + 8 + raw));
    } else if (!read_rans_block(f.data() + p + 8, stored, &(*sub)[k]) || (*sub)[k].size() != raw) {
      return false;
    }
    p += 8 + stored;
  }
  if (p != at + 8 + body) return false;
  const bytes &types = (*sub)[0], &rep_len = (*sub)[1], &new_len = (*sub)[2], &lit_len = (*sub)[3];
  const bytes &lits = (*sub)[4], &codes = (*sub)[5], &extra = (*sub)[6];
  size_t nrep = 0, nnew = 0, nlit = 0, lit_at = 0;
  uint64_t bit = 0;
  std::vector<uint64_t> dist(types.size(), 0);
  bytes out;
  for (size_t t = 0; t < types.size(); t++) {
    const uint8_t type = types[t];
    if (type == 0) {
      const size_t L = lit_len.at(nlit++);
      if (lit_at + L > lits.size()) return false;
      out.insert(out.end(), lits.begin() + static_cast<ptrdiff_t>(lit_at), lits.begin() + static_cast<ptrdiff_t>(lit_at + L));
      lit_at += L;
      continue;
    }
    uint64_t d;
    size_t L;
    if (type == 1) {
      const uint8_t code = codes.at(nnew);
      L = new_len.at(nnew++);
      const int e = code >> 3, m = code & 7;
      if (e < 3) {
        d = uint64_t(8 + m) << e >> 3;
      } else {
        uint64_t x = 0;
        for (int k = 0; k < e - 3; k++, bit++) {
          if (bit / 8 >= extra.size()) return false;
          x |= uint64_t{(extra[bit / 8] >> (bit % 8)) & 1u} << k;
        }
        d = (uint64_t(8 + m) << (e - 3)) + x;
      }
    } else {
      if (type < 3 || type > 11 || t + 2 < type) return false;
      d = dist[t + 2 - type];
      L = rep_len.at(nrep++);
      if (d == 0) return false;
    }
    if (d > out.size()) return false;
    dist[t] = d;
    for (size_t k = 0; k < L; k++) out.push_back(out[out.size() - d]);  // overlapping copies repeat
  }
  if (nrep != rep_len.size() || nnew != new_len.size() || nnew != codes.size() || nlit != lit_len.size() ||
      lit_at != lits.size() || bit / 8 + 1 != extra.size() || out.size() != (n ? n : 1))
    return false;
  out.resize(n);
  *stream = out;
  return true;
}

}  // namespace

TEST(FormatMixed, forty_classed_blocks_decode_section_by_section) {
  const bytes in = mixed_fixture_input();
  ASSERT_EQ(in.size(), 4000u);
  const bytes f = compressed(mode_mixed, in);
  ASSERT_EQ(u32_at(f, 0), 3u);
  ASSERT_EQ(u32_at(f, 4), 4000u);

  // Seven sections: code, text, other, classes, strides, flags, exceptions.
  std::array<bytes, 7> s;
  std::array<std::array<bytes, 7>, 7> sub;
  std::vector<size_t> section_at;
  size_t at = 8;
  for (int k = 0; k < 7; k++) {
    size_t size = 0;
    section_at.push_back(at);
    ASSERT_TRUE(read_section(f, at, &size, &s[k], &sub[k])) << "section " << k;
    at += size;
  }
  EXPECT_EQ(at, f.size());
  const bytes &code = s[0], &text = s[1], &other = s[2], &classes = s[3];
  const bytes &strides = s[4], &flags = s[5], &exceptions = s[6];
  EXPECT_EQ(classes, bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
                             2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3}));
  EXPECT_EQ(code.size(), 1000u);
  EXPECT_EQ(text.size(), 1000u);
  EXPECT_EQ(other.size(), 1000u);
  ASSERT_EQ(strides.size(), 16u);  // 1000 periodic bytes in 64-byte chunks
  ASSERT_EQ(flags.size(), 8 * strides.size());
  EXPECT_EQ(exceptions.size(), 146u);

  // The stride transform undone: 256 zero bytes in front, then each byte copied from `stride` back unless its flag
  // bit (the first byte of each group of eight in the top bit) marks an exception.
  bytes periodic(256, 0);
  size_t e = 0;
  for (size_t c = 0; c < strides.size(); c++) {
    ASSERT_TRUE(strides[c] % 4 == 0 && strides[c] >= 4 && strides[c] <= 68);
    for (int j = 0; j < 64; j++) {
      const bool exception = flags[8 * c + j / 8] >> (7 - j % 8) & 1;
      periodic.push_back(exception ? exceptions.at(e++) : periodic[periodic.size() - strides[c]]);
    }
  }
  EXPECT_EQ(e, exceptions.size());
  periodic.erase(periodic.begin(), periodic.begin() + 256);

  // The blocks back in file order, each taken from the front of its class's stream.
  const bytes* from[4] = {&code, &periodic, &text, &other};
  size_t used[4] = {};
  bytes out;
  for (uint8_t c : classes) {
    ASSERT_LT(c, 4);
    ASSERT_LE(used[c] + 100, from[c]->size());
    out.insert(out.end(), from[c]->begin() + static_cast<ptrdiff_t>(used[c]),
               from[c]->begin() + static_cast<ptrdiff_t>(used[c] + 100));
    used[c] += 100;
  }
  out.resize(4000);
  EXPECT_EQ(out, in);
  // The bytes the document walks through: the file header, where the sections start, and the classes and strides
  // sections whole.
  EXPECT_EQ(hex(f, 0, 8), "03 00 00 00 a0 0f 00 00");
  EXPECT_EQ(section_at, std::vector<size_t>({8, 397, 1005, 1483, 1578, 1661, 1752}));
  EXPECT_EQ(f.size(), 2505u);
  EXPECT_EQ(hex(f, section_at[3], section_at[4] - section_at[3]),
            "28 00 00 00 57 00 00 00 06 00 00 00 06 00 00 00 00 01 00 01 00 01 00 00 00 00 00 00 00 00 03 00 00 00 "
            "03 00 00 00 08 08 09 03 00 00 00 03 00 00 00 0b 02 02 0f 00 00 00 0f 00 00 00 00 00 00 00 00 00 00 00 "
            "00 00 01 01 02 02 03 03 00 00 00 03 00 00 00 00 00 00 01 00 00 00 01 00 00 00 00");
  EXPECT_EQ(hex(f, section_at[4], section_at[5] - section_at[4]),
            "10 00 00 00 4b 00 00 00 01 00 00 00 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01 "
            "00 00 00 01 00 00 00 10 10 00 00 00 10 00 00 00 18 18 18 18 18 18 18 18 18 18 18 18 18 18 18 18 00 00 "
            "00 00 00 00 00 00 01 00 00 00 01 00 00 00 00");
  // Sub-blocks longer than 100 bytes are rANS coded: the code section's literal bytes.
  EXPECT_EQ(hex(f, section_at[0], 8), "e8 03 00 00 7d 01 00 00");
  // Its sub-blocks 0 to 3 hold 16, 2, 7 and 7 bytes, so sub-block 4 starts at 8 + 8 + 24 + 10 + 15 + 15.
  EXPECT_EQ(hex(f, 80, 8), "1d 01 00 00 13 01 00 00");
}

// ---- The .qz stream. ----

namespace {

uint64_t u64_at(const bytes& b, size_t at) { return u32_at(b, at) | uint64_t{u32_at(b, at + 4)} << 32; }

// The check of a header: the low 32 bits of the XXH3-64 (seed 0) of the bytes before it.
uint32_t check_of(const bytes& b, size_t from, size_t n) {
  return static_cast<uint32_t>(XXH3_64bits(b.data() + from, n));
}

// Section 5's photo, then a line of 259 bytes that reads as text: in blocks of 100 bytes, the photo is one image
// block and the line is cut after a space.
bytes stream_fixture_input() {
  std::string line;
  for (int i = 0; i < 7; i++) line += "a rose is a rose is a rose is a rose ";
  line.back() = '\n';
  const bytes text = to_bytes(line);
  bytes in = image_fixture_input();
  in.insert(in.end(), text.begin(), text.end());
  return in;
}

struct fixture_block {
  size_t at;  // of its header
  uint32_t stored, original, mode;
};

}  // namespace

TEST(FormatStream, a_photo_and_a_line_in_blocks_of_100_read_block_by_block) {
  const bytes in = stream_fixture_input();
  ASSERT_EQ(in.size(), 3085u + 259);
  qarn_params* params = qarn_params_create();
  ASSERT_EQ(QARN_OK, qarn_params_set(params, QARN_PARAM_BLOCK_SIZE, 100));
  bytes s(qarn_stream_compress_bound(in.size(), params));
  size_t size = 0;
  ASSERT_EQ(QARN_OK, qarn_stream_compress(params, in.data(), in.size(), s.data(), s.size(), &size));
  qarn_params_free(params);
  s.resize(size);

  // The frame header: magic, version 1, flags 7 (content size, block checksums, frame checksum), reserved 0, the
  // block size (the photo's length: it is one block), the content size and the header's check.
  ASSERT_GE(s.size(), 24u);
  EXPECT_EQ(u32_at(s, 0), 0x0a5a51b7u);
  EXPECT_EQ(s[4], 1);
  const uint8_t flags = s[5];
  ASSERT_EQ(flags, 7);
  EXPECT_EQ(s[6] | s[7], 0);
  const uint32_t B = u32_at(s, 8);
  EXPECT_EQ(B, 3085u);
  ASSERT_TRUE(B >= 1 && B <= (1u << 28));
  const uint64_t content_size = u64_at(s, 12);
  EXPECT_EQ(content_size, in.size());
  EXPECT_EQ(u32_at(s, 20), check_of(s, 0, 20));

  // The blocks, each checked and restored, then the end mark and the frame checksum.
  std::vector<fixture_block> blocks;
  bytes out;
  size_t at = 24;
  for (;;) {
    const uint32_t C = u32_at(s, at), O = u32_at(s, at + 4);
    ASSERT_EQ(u32_at(s, at + 12), check_of(s, at, 12)) << "block header at " << at;
    if (C == 0 && O == 0) {
      EXPECT_EQ(u32_at(s, at + 8), 0u);
      break;
    }
    ASSERT_TRUE(O >= 1 && O <= B && C >= 4 && C <= uint64_t{O} + 4) << "block at " << at;
    ASSERT_LE(at + 16 + C + 8, s.size());
    EXPECT_EQ(u32_at(s, at + 8), check_of(s, at + 16, C)) << "block at " << at;
    const bytes file(s.begin() + static_cast<ptrdiff_t>(at + 16), s.begin() + static_cast<ptrdiff_t>(at + 16 + C));
    const uint32_t mode = u32_at(file, 0);
    bytes restored;
    if (mode == 0) {
      restored.assign(file.begin() + 4, file.end());
    } else if (mode == 2) {
      ASSERT_TRUE(read_image_file(file, &restored));
    } else {
      FAIL() << "a block of mode " << mode << " in the fixture";
    }
    ASSERT_EQ(restored.size(), O);
    EXPECT_EQ(u64_at(s, at + 16 + C), XXH3_64bits(restored.data(), restored.size())) << "block at " << at;
    blocks.push_back({at, C, O, mode});
    out.insert(out.end(), restored.begin(), restored.end());
    at += 16 + C + 8;
  }
  const size_t end_mark = at;
  ASSERT_EQ(at + 16 + 8, s.size());
  EXPECT_EQ(u64_at(s, at + 16), XXH3_64bits(out.data(), out.size()));
  EXPECT_EQ(out.size(), content_size);
  EXPECT_EQ(out, in);

  // Four blocks: the photo (section 5's image file, whole), then the line in three stored blocks, each of the first
  // two ending after the last space of its 100 bytes.
  ASSERT_EQ(blocks.size(), 4u);
  const uint32_t expected[4][3] = {{757, 3085, 2}, {100, 96, 0}, {103, 99, 0}, {68, 64, 0}};
  for (size_t k = 0; k < 4; k++) {
    EXPECT_EQ(blocks[k].stored, expected[k][0]) << k;
    EXPECT_EQ(blocks[k].original, expected[k][1]) << k;
    EXPECT_EQ(blocks[k].mode, expected[k][2]) << k;
  }
  EXPECT_EQ(bytes(s.begin() + 40, s.begin() + 40 + 757), compressed(mode_image, image_fixture_input()));
  EXPECT_EQ(in[3085 + 96 - 1], ' ');
  EXPECT_EQ(in[3085 + 96 + 99 - 1], ' ');

  // The bytes the document shows: the frame header, each block's header, the first 12 bytes of its qarn file and
  // its checksum, the end mark and the frame checksum.
  EXPECT_EQ(s.size(), 1172u);
  EXPECT_EQ(hex(s, 0, 24), "b7 51 5a 0a 01 07 00 00 0d 0c 00 00 10 0d 00 00 00 00 00 00 61 eb d9 e7");
  EXPECT_EQ(XXH3_64bits(s.data(), 20), 0x898cf4bfe7d9eb61u);
  EXPECT_EQ(u64_at(s, 797), 0xae29a8f02377abf6u);
  const char* shown[4][3] = {
      {"f5 02 00 00 0d 0c 00 00 56 6e 8c 3e 97 b6 1b e5", "02 00 00 00 07 00 00 00 20 00 00 00", "f6 ab 77 23 f0 a8 29 ae"},
      {"64 00 00 00 60 00 00 00 69 f6 7d d8 17 8d 4d 4a", "00 00 00 00 61 20 72 6f 73 65 20 69", "b1 e1 f3 06 0a cf ff 0f"},
      {"67 00 00 00 63 00 00 00 cd f9 2e 9e 60 56 cb b3", "00 00 00 00 72 6f 73 65 20 69 73 20", "6f a1 9b 3f 61 4e 9d c2"},
      {"44 00 00 00 40 00 00 00 42 3d 9e f7 22 66 57 34", "00 00 00 00 61 20 72 6f 73 65 20 69", "e1 cb af a7 35 bf d7 5b"},
  };
  const size_t shown_at[4] = {24, 805, 929, 1056};
  for (size_t k = 0; k < 4; k++) {
    const fixture_block& b = blocks[k];
    EXPECT_EQ(b.at, shown_at[k]);
    EXPECT_EQ(hex(s, b.at, 16), shown[k][0]) << k;
    EXPECT_EQ(hex(s, b.at + 16, 12), shown[k][1]) << k;
    EXPECT_EQ(hex(s, b.at + 16 + b.stored, 8), shown[k][2]) << k;
  }
  EXPECT_EQ(end_mark, 1148u);
  EXPECT_EQ(hex(s, end_mark, 24), "00 00 00 00 00 00 00 00 00 00 00 00 f0 a4 c2 69 84 43 d5 ae 68 7a 5f 40");
}
