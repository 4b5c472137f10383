// rans_test.cpp — the order-1 rANS block: exact tables and layouts, a division-based reference coder, round trips
// through both implementations, room rules and damaged blocks.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <sstream>

#include "helpers.h"
#include "ransavx.h"
#include "util.h"

using namespace qarn;

namespace {

std::vector<rans_impl> implementations() {
  std::vector<rans_impl> v{rans_impl::scalar};
  if (cpu_has_avx2()) v.push_back(rans_impl::avx2);
  return v;
}
const char* impl_name(rans_impl i) { return i == rans_impl::scalar ? "scalar" : "avx2"; }

// Encodes into a buffer of exactly the bound, so that a sanitizer build sees any write past the room.
bytes encode(rans_impl impl, const bytes& in) {
  unsigned room = rans_compress_bound(static_cast<unsigned>(in.size()));
  std::unique_ptr<uint8_t[]> buf(new uint8_t[room]);
  unsigned size = room;
  uint8_t* r = rans_compress_O1_32x16_impl(impl, const_cast<uint8_t*>(in.data()), static_cast<unsigned>(in.size()),
                                           buf.get(), &size);
  EXPECT_EQ(r, buf.get()) << impl_name(impl) << " refused to code " << in.size() << " bytes";
  if (!r) return {};
  EXPECT_LE(size, room);
  return bytes(buf.get(), buf.get() + size);
}

// Decodes a block held in a heap buffer of exactly its size into exactly `room` bytes; nullopt on refusal.
std::optional<bytes> decode(rans_impl impl, const bytes& block, unsigned room) {
  std::unique_ptr<uint8_t[]> in(new uint8_t[block.size() ? block.size() : 1]);
  std::copy(block.begin(), block.end(), in.get());
  std::unique_ptr<uint8_t[]> out(new uint8_t[room ? room : 1]);
  unsigned size = room;
  uint8_t* r = rans_uncompress_O1_32x16_impl(impl, in.get(), static_cast<unsigned>(block.size()), out.get(), &size);
  if (!r) return std::nullopt;
  EXPECT_EQ(r, out.get());
  EXPECT_LE(size, room);
  return bytes(out.get(), out.get() + size);
}

bytes le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
bytes cat(std::initializer_list<bytes> parts) {
  bytes r;
  for (const bytes& p : parts) r.insert(r.end(), p.begin(), p.end());
  return r;
}
bytes repeat(const bytes& unit, size_t times) {
  bytes r;
  for (size_t i = 0; i < times; i++) r.insert(r.end(), unit.begin(), unit.end());
  return r;
}
bytes start_states() { return repeat(le32(32768), 32); }

// The table of a block read independently of the library, following the grammar from the reader's side.
struct parsed_table {
  uint32_t freq[256][256] = {};
  uint32_t start[256][256] = {};
  bool present[256] = {};
  size_t end = 0;  // offset just past the table's final zero byte
};

std::unique_ptr<parsed_table> parse_table(const bytes& block) {
  auto t = std::make_unique<parsed_table>();
  size_t i = 4;
  auto next = [&]() -> int {
    if (i >= block.size()) throw std::runtime_error("table runs past the block");
    return block[i++];
  };
  int c = next(), crun = 0;
  for (;;) {
    t->present[c] = true;
    int s = next(), srun = 0;
    uint32_t x = 0;
    for (;;) {
      int f = next();
      if (f >= 128) f = (f & 0x7F) << 8 | next();
      if (f == 0) f = 2048;
      t->freq[c][s] = f;
      t->start[c][s] = x;
      x += f;
      if (srun) {
        srun--, s++;
        continue;
      }
      int b = next();
      if (b == 0) break;
      if (b == s + 1) srun = next();
      s = b;
    }
    if (x != 2048) throw std::runtime_error("context " + std::to_string(c) + " sums to " + std::to_string(x));
    if (crun) {
      crun--, c++;
      continue;
    }
    int b = next();
    if (b == 0) break;
    if (b == c + 1) crun = next();
    c = b;
  }
  t->end = i;
  return t;
}

// The block that the described coder produces for `in`, given the table the library wrote: states coded by
// division in reverse, each word written below the previous one.
bytes reference_block(const bytes& in, const bytes& lib_block) {
  auto t = parse_table(lib_block);
  uint32_t n = static_cast<uint32_t>(in.size()), m = n >> 5;
  uint32_t x[32];
  for (auto& v : x) v = 32768;
  std::vector<uint16_t> emitted;
  auto code = [&](int z, uint8_t ctx, uint8_t sym) {
    uint32_t f = t->freq[ctx][sym];
    if (!f) throw std::runtime_error("symbol missing from the table");
    if (x[z] >= (f << 20)) {
      emitted.push_back(static_cast<uint16_t>(x[z]));
      x[z] >>= 16;
    }
    x[z] = x[z] / f * 2048 + x[z] % f + t->start[ctx][sym];
  };
  for (uint32_t p = n; p-- > std::max(32 * m, 1u);) code(31, in[p - 1], in[p]);
  for (uint32_t k = m; k-- > 1;)
    for (int z = 31; z >= 0; z--) code(z, in[z * m + k - 1], in[z * m + k]);
  if (n)
    for (int z = 31; z >= (m ? 0 : 31); z--) code(z, 0, in[z * m]);
  bytes r(lib_block.begin(), lib_block.begin() + static_cast<long>(t->end));
  for (uint32_t v : x) r = cat({r, le32(v)});
  for (size_t i = emitted.size(); i-- > 0;) r.insert(r.end(), {uint8_t(emitted[i]), uint8_t(emitted[i] >> 8)});
  return r;
}

// ---- Inputs ----

// Mostly a few small values, with rare large ones: many contexts, lopsided frequencies, many of them 1.
bytes skewed_bytes(size_t n, uint32_t seed) {
  std::mt19937 g(seed);
  std::geometric_distribution<int> geo(0.3);
  bytes r(n);
  for (auto& b : r) b = static_cast<uint8_t>(g() % 97 == 0 ? g() : geo(g));
  return r;
}

bytes english_like(size_t n, uint32_t seed) {
  static const char* words[] = {"the", "of", "and", "to", "in", "a", "is", "that", "for", "it", "as", "was",
                                "with", "be", "by", "on", "not", "he", "this", "are", "or", "his", "from",
                                "at", "which", "but", "have", "an", "they", "you", "were", "their", "one",
                                "all", "we", "can", "her", "has", "there", "been", "if", "more", "when",
                                "will", "would", "who", "so", "no", "Lord", "unto", "said", "shall", "thee"};
  std::mt19937 g(seed);
  std::string s;
  while (s.size() < n) {
    s += words[g() % std::size(words)];
    uint32_t r = g() % 20;
    s += r == 0 ? ".\n" : r == 1 ? ", " : " ";
  }
  s.resize(n);
  return to_bytes(s);
}

// Real text, when the system has the license texts; empty otherwise.
bytes license_texts() {
  bytes r;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator("/usr/share/common-licenses", ec)) {
    if (!e.is_regular_file()) continue;
    bytes b = read_bytes(e.path());
    r.insert(r.end(), b.begin(), b.end());
  }
  return r;
}

// ---- Exact blocks ----

struct exact_case {
  const char* name;
  bytes input;
  bytes header_and_table;
};

TEST(RansFormat, tables_of_the_documented_examples) {
  bytes abc = repeat(to_bytes("xaxbxc"), 16);
  // Context 0 holds 'x' once plus the seeds, 16 'x' and 16 'b'; context 'x' holds 'a', 'b', 'c' 16 times each,
  // which scale to 682 each with the two missing units going to 'a', the first of the largest.
  bytes abc_table = {0x60, 0, 0, 0,                                            // n = 96
                     0x00, 0x62, 0x84, 0x00, 0x78, 0x84, 0x00, 0x00,           // context 0: 'b', 'x'
                     0x61, 0x78, 0x88, 0x00, 0x00,                             // 'a': 'x'
                     0x62, 0x01, 0x78, 0x88, 0x00, 0x00,                       // 'b' and a run of one
                     0x78, 0x88, 0x00, 0x00,                                   // 'c', implied
                     0x78, 0x61, 0x82, 0xAC, 0x62, 0x01, 0x82, 0xAA, 0x82, 0xAA, 0x00,  // 'x'
                     0x00};
  std::vector<exact_case> cases = {
      {"all 2", bytes(64, 2), {64, 0, 0, 0, 0x00, 2, 0x88, 0x00, 0x00, 2, 2, 0x88, 0x00, 0x00, 0x00}},
      {"all 0x61", bytes(100, 0x61), {100, 0, 0, 0, 0x00, 0x61, 0x88, 0, 0, 0x61, 0x61, 0x88, 0, 0, 0}},
      {"all 255, 33 bytes", bytes(33, 255), {33, 0, 0, 0, 0x00, 255, 0x88, 0, 0, 255, 255, 0x88, 0, 0, 0}},
      // Context 1 follows context 0, so its byte carries a context-run byte of 0.
      {"all 1", bytes(64, 1), {64, 0, 0, 0, 0x00, 1, 0x88, 0x00, 0x00, 1, 0x00, 1, 0x88, 0x00, 0x00, 0x00}},
      {"all 0", bytes(40, 0), {40, 0, 0, 0, 0x00, 0x00, 0x88, 0x00, 0x00, 0x00}},
      {"one symbol run", abc, abc_table},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (rans_impl impl : implementations()) {
      SCOPED_TRACE(impl_name(impl));
      bytes block = encode(impl, c.input);
      ASSERT_GE(block.size(), c.header_and_table.size());
      EXPECT_BYTES_EQ(c.header_and_table, bytes(block.begin(), block.begin() + c.header_and_table.size()));
      EXPECT_BYTES_EQ(reference_block(c.input, block), block);
      EXPECT_EQ(decode(impl, block, static_cast<unsigned>(c.input.size())), c.input);
    }
  }
}

TEST(RansFormat, single_symbol_contexts_cost_no_words) {
  // Every symbol sits alone in its context: the block is the table and 32 untouched states.
  for (bytes input : {bytes(64, 2), bytes(1000, 7), bytes(5, 9)}) {
    for (rans_impl impl : implementations()) {
      bytes block = encode(impl, input);
      bytes expected_tail = start_states();
      ASSERT_EQ(block.size(), 4 + 11 + 128u) << impl_name(impl) << " n=" << input.size();
      EXPECT_BYTES_EQ(expected_tail, bytes(block.end() - 128, block.end()));
    }
  }
}

TEST(RansFormat, empty_input_is_the_fixed_138_byte_block) {
  bytes expected = cat({le32(0), {0x00, 0x00, 0x88, 0x00, 0x00, 0x00}, start_states()});
  ASSERT_EQ(expected.size(), rans_empty_block_size);
  for (rans_impl impl : implementations()) {
    SCOPED_TRACE(impl_name(impl));
    bytes empty;
    EXPECT_BYTES_EQ(expected, encode(impl, empty));
    EXPECT_EQ(decode(impl, expected, 0), bytes{});
  }
}

TEST(RansFormat, thirty_two_bytes_code_one_byte_per_state_in_context_0) {
  // m = 1: the seeds put all 32 bytes in context 0, 'a' and 'b' at 1024 each. A state at 32768 coding a
  // frequency of 1024 becomes 65536 + start and sheds no word.
  bytes input = cat({bytes(16, 'a'), bytes(16, 'b')});
  bytes expected = cat({le32(32),
                        {0x00, 0x61, 0x84, 0x00, 0x62, 0x00, 0x84, 0x00, 0x00,  // context 0
                         0x61, 0x61, 0x87, 0x80, 0x62, 0x00, 0x80, 0x80, 0x00,  // 'a': 'a' 1920, 'b' 128
                         0x62, 0x00, 0x62, 0x88, 0x00, 0x00,                    // 'b': 'b'
                         0x00},
                        repeat(le32(65536), 16), repeat(le32(65536 + 1024), 16)});
  for (rans_impl impl : implementations()) EXPECT_BYTES_EQ(expected, encode(impl, input)) << impl_name(impl);
}

TEST(RansFormat, all_contexts_present_are_reached_through_one_run) {
  bytes input(4096);
  for (size_t i = 0; i < input.size(); i++) input[i] = static_cast<uint8_t>(i);
  bytes block = encode(rans_impl::scalar, input);
  auto t = parse_table(block);
  for (int c = 0; c < 256; c++) EXPECT_TRUE(t->present[c]) << "context " << c;
  // Context 1 is written with the run byte 254 and then symbol 2 alone; context 255 ends the table with its
  // lone symbol 0.
  bytes ctx1 = {0x01, 0xFE, 0x02, 0x88, 0x00, 0x00, 0x03, 0x88, 0x00, 0x00};
  EXPECT_NE(std::search(block.begin(), block.begin() + t->end, ctx1.begin(), ctx1.end()), block.begin() + t->end);
  bytes last = {0x00, 0x88, 0x00, 0x00, 0x00};
  EXPECT_BYTES_EQ(last, bytes(block.begin() + t->end - 5, block.begin() + t->end));
  EXPECT_BYTES_EQ(reference_block(input, block), block);
}

TEST(RansFormat, normalisation_raises_rare_symbols_and_takes_the_excess_back) {
  // Context 0xFF is followed by nine common symbols 0x10..0x18 (count C each) and once by each of the 246 other
  // values below 0xFF: the rare ones scale below 1 and are raised to 1, an excess that comes out of 0x10 (the
  // first of the most frequent) or, when 0x10 cannot give that much, out of the lowest symbols after it.
  struct norm_case {
    uint32_t common_count, f10, f11, f12;
  };
  for (norm_case c : {norm_case{1000, 34, 221, 221}, norm_case{20000, 1, 212, 227}}) {
    bytes input;
    for (int s = 0; s < 255; s++) {
      uint32_t times = s >= 0x10 && s <= 0x18 ? c.common_count : 1;
      for (uint32_t k = 0; k < times; k++) input.insert(input.end(), {0xFF, static_cast<uint8_t>(s)});
    }
    bytes block = encode(rans_impl::scalar, input);
    auto t = parse_table(block);
    EXPECT_EQ(t->freq[0xFF][0x10], c.f10) << c.common_count;
    EXPECT_EQ(t->freq[0xFF][0x11], c.f11) << c.common_count;
    for (int s = 0x12; s <= 0x18; s++) EXPECT_EQ(t->freq[0xFF][s], c.f12) << c.common_count << " symbol " << s;
    for (int s : {0x00, 0x0F, 0x19, 0xFE}) EXPECT_EQ(t->freq[0xFF][s], 1u) << c.common_count << " symbol " << s;
    EXPECT_EQ(t->freq[0xFF][0xFF], 0u);
    for (rans_impl impl : implementations()) EXPECT_EQ(decode(impl, block, unsigned(input.size())), input);
  }
}

TEST(RansFormat, short_inputs_leave_states_0_to_30_untouched) {
  for (uint32_t n = 1; n <= 31; n++) {
    bytes input = skewed_bytes(n, n);
    for (rans_impl impl : implementations()) {
      bytes block = encode(impl, input);
      auto t = parse_table(block);
      bytes states(block.begin() + t->end, block.begin() + t->end + 31 * 4);
      EXPECT_BYTES_EQ(repeat(le32(32768), 31), states) << "n=" << n << " " << impl_name(impl);
      EXPECT_BYTES_EQ(reference_block(input, block), block) << "n=" << n;
      EXPECT_EQ(decode(impl, block, n), input) << "n=" << n;
    }
  }
}

TEST(RansFormat, blocks_match_the_reference_coder) {
  // Sizes around the chunking: one byte per state, a remainder byte, one main step, and long inputs.
  for (uint32_t n : {32u, 33u, 64u, 69u, 95u, 96u, 97u, 1000u, 4099u, 70000u}) {
    for (auto make : {random_bytes, skewed_bytes, english_like}) {
      bytes input = make(n, n * 7 + 1);
      bytes block = encode(rans_impl::scalar, input);
      EXPECT_BYTES_EQ(reference_block(input, block), block) << "n=" << n;
    }
  }
}

// ---- Room rules ----

TEST(RansRoom, encoder_needs_the_whole_bound) {
  EXPECT_EQ(rans_compress_bound(0), 198535u);
  EXPECT_EQ(rans_compress_bound(1000), 199585u);
  EXPECT_EQ(rans_compress_bound(1000000), 1248535u);
  EXPECT_EQ(rans_compress_bound(4294967295u), 0u);  // does not fit: every call refuses
  bytes input = english_like(5000, 3);
  unsigned bound = rans_compress_bound(5000);
  for (rans_impl impl : implementations()) {
    bytes out(bound, 0xEE);
    unsigned size = bound - 1;
    EXPECT_EQ(rans_compress_O1_32x16_impl(impl, input.data(), 5000, out.data(), &size), nullptr);
    EXPECT_EQ(size, bound - 1);
    EXPECT_BYTES_EQ(bytes(bound, 0xEE), out);
    size = bound;
    EXPECT_EQ(rans_compress_O1_32x16_impl(impl, input.data(), 5000, out.data(), &size), out.data());
  }
}

TEST(RansRoom, decoder_needs_exactly_n_bytes) {
  for (uint32_t n : {1u, 32u, 69u, 5000u}) {
    bytes input = english_like(n, n);
    bytes block = encode(rans_impl::scalar, input);
    for (rans_impl impl : implementations()) {
      EXPECT_EQ(decode(impl, block, n), input) << n;
      EXPECT_EQ(decode(impl, block, n - 1), std::nullopt) << n;
    }
  }
}

TEST(RansRoom, null_output_buffers_are_allocated) {
  bytes input = english_like(3000, 5);
  unsigned size = 0;
  uint8_t* block = rans_compress_O1_32x16(input.data(), 3000, nullptr, &size);
  ASSERT_NE(block, nullptr);
  unsigned out_size = 0;
  uint8_t* out = rans_uncompress_O1_32x16(block, size, nullptr, &out_size);
  ASSERT_NE(out, nullptr);
  EXPECT_BYTES_EQ(input, bytes(out, out + out_size));
  std::free(block);
  std::free(out);
}

// ---- Round trips ----

TEST(RansRoundTrip, both_implementations_agree_and_restore_the_input) {
  bytes text = license_texts();
  std::vector<std::pair<std::string, bytes>> inputs;
  // Also around the vector decoder's stage of 512 steps a state (16,384 bytes): full, one step or batch past it.
  for (uint32_t n : {1u, 2u, 31u, 32u, 33u, 63u, 64u, 65u, 127u, 128u, 129u, 1023u, 1024u, 1025u, 16384u, 16416u,
                     17408u, 33000u, 33792u, 65535u, 65536u, 65537u, 262151u, 1200007u}) {
    inputs.push_back({"random " + std::to_string(n), random_bytes(n, n)});
    inputs.push_back({"skewed " + std::to_string(n), skewed_bytes(n, n + 1)});
    inputs.push_back({"english " + std::to_string(n), english_like(n, n + 2)});
    bytes two(n);
    for (uint32_t i = 0; i < n; i++) two[i] = static_cast<uint8_t>(i % 11 == 0 ? 'b' : 'a');
    inputs.push_back({"two symbols " + std::to_string(n), two});
  }
  if (!text.empty()) {
    inputs.push_back({"license texts", text});
    inputs.push_back({"license text prefix", bytes(text.begin(), text.begin() + std::min<size_t>(text.size(), 4097))});
  }
  for (const auto& [name, input] : inputs) {
    SCOPED_TRACE(name);
    bytes scalar_block = encode(rans_impl::scalar, input);
    for (rans_impl impl : implementations()) {
      bytes block = impl == rans_impl::scalar ? scalar_block : encode(impl, input);
      EXPECT_BYTES_EQ(scalar_block, block);
      auto back = decode(impl, scalar_block, static_cast<unsigned>(input.size()));
      ASSERT_TRUE(back.has_value()) << impl_name(impl);
      EXPECT_BYTES_EQ(input, *back);
    }
  }
}

TEST(RansRoundTrip, real_text_compresses) {
  bytes text = english_like(1 << 20, 9);
  bytes block = encode(rans_impl::scalar, text);
  EXPECT_LT(block.size(), text.size() / 2);
  bytes random = random_bytes(1 << 20, 9);
  EXPECT_LT(encode(rans_impl::scalar, random).size(), rans_compress_bound(1 << 20));
}

// ---- Damaged blocks ----

TEST(RansDamage, every_truncation_is_refused) {
  // Every byte of a block is needed. The small blocks are cut at every length; the long one (whose words outlast
  // the vector decoder's in-place stretch) at every length of its last 600 bytes and every 97th before.
  for (bytes input : {english_like(10000, 1), english_like(1000, 5), skewed_bytes(200, 2), random_bytes(40, 3)}) {
    bytes block = encode(rans_impl::scalar, input);
    ASSERT_TRUE(input.size() < 10000 || block.size() > 3000) << "the long block should hold more than 2048 word bytes";
    size_t dense_from = block.size() > 600 ? block.size() - 600 : 0;
    for (rans_impl impl : implementations()) {
      for (size_t len = 0; len < block.size(); len += len < dense_from ? 97 : 1) {
        bytes cut(block.begin(), block.begin() + static_cast<long>(len));
        EXPECT_EQ(decode(impl, cut, static_cast<unsigned>(input.size())), std::nullopt)
            << impl_name(impl) << " accepted a block cut to " << len << " of " << block.size() << " bytes";
      }
    }
  }
}

TEST(RansDamage, flipped_bytes_decode_within_bounds) {
  // Whatever a damaged block decodes to, both implementations must survive it; under the sanitizer build any
  // stray access fails the test. Outcomes of the two implementations agree whenever the words suffice.
  bytes input = english_like(20000, 4);
  bytes block = encode(rans_impl::scalar, input);
  std::mt19937 g(11);
  for (size_t pos = 0; pos < block.size(); pos += 1 + pos / 64) {
    bytes bad = block;
    bad[pos] ^= static_cast<uint8_t>(1 + g() % 255);
    unsigned room = 20000 + g() % 3;
    auto s = decode(rans_impl::scalar, bad, room);
    for (rans_impl impl : implementations()) {
      auto r = decode(impl, bad, room);
      if (r && s) {
        EXPECT_BYTES_EQ(*s, *r) << "flip at " << pos;
      }
    }
  }
}

struct bad_block {
  const char* name;
  bytes block;
};

TEST(RansDamage, malformed_tables_are_refused) {
  bytes states = start_states();
  bytes tail = cat({states, bytes(64, 0)});
  std::vector<bad_block> cases = {
      {"too short for the length", {1, 0, 0}},
      {"empty table", cat({le32(1)})},
      {"frequencies pass 2048", cat({le32(1), {0, 1, 0x84, 0x00, 3, 0x84, 0x01, 0, 0}, tail})},
      {"two-byte frequency above 2048", cat({le32(1), {0, 1, 0xFF, 0xFF, 0, 0}, tail})},
      {"context sums below 2048", cat({le32(1), {0, 1, 0x84, 0x00, 0, 0}, tail})},
      {"symbol out of order", cat({le32(1), {0, 5, 0x84, 0x00, 3, 0x84, 0x00, 0, 0}, tail})},
      {"symbol repeated", cat({le32(1), {0, 5, 0x84, 0x00, 5, 0x84, 0x00, 0, 0}, tail})},
      {"context out of order", cat({le32(1), {0, 1, 0x88, 0x00, 0, 9, 1, 0x88, 0, 0, 4, 1, 0x88, 0, 0, 0}, tail})},
      {"symbol run past 255", cat({le32(1), {0, 253, 0x82, 0x00, 254, 5, 0x82, 0, 0x82, 0, 0x82, 0, 0, 0}, tail})},
      {"context run past 255",
       cat({le32(1), {0, 1, 0x88, 0, 0, 253, 1, 0x88, 0, 0, 254, 9, 1, 0x88, 0, 0, 1, 0x88, 0, 0, 1, 0x88, 0, 0, 0},
            tail})},
      {"symbol list without terminator", cat({le32(1), {0, 1, 0x88, 0x00}})},
      {"table without terminator", cat({le32(1), {0, 1, 0x88, 0x00, 0}})},
      {"states cut short", cat({le32(1), {0, 1, 0x88, 0x00, 0, 0}, bytes(127, 0)})},
      {"words missing", cat({le32(100), {0, 1, 0x84, 0x00, 3, 0x84, 0x00, 0, 0}, states})},
      {"length above the room", cat({le32(4097), {0, 1, 0x88, 0x00, 0, 0}, states})},
  };
  for (const auto& c : cases)
    for (rans_impl impl : implementations())
      EXPECT_EQ(decode(impl, c.block, 4096), std::nullopt) << c.name << " (" << impl_name(impl) << ")";
}

TEST(RansDamage, odd_frequency_spellings_mean_2048) {
  // One byte 0x00, or the pair 0x80 0x00, also stand for 2048.
  for (bytes freq : {bytes{0x00}, bytes{0x80, 0x00}, bytes{0x88, 0x00}}) {
    bytes block = cat({le32(3), {0, 7}, freq, {0, 7, 7}, freq, {0, 0}, start_states()});
    for (rans_impl impl : implementations()) EXPECT_EQ(decode(impl, block, 3), bytes(3, 7)) << impl_name(impl);
  }
}

TEST(RansDamage, contexts_missing_from_the_table_decode_as_zeros) {
  // Context 0 lists only symbol 5 and context 5 is absent: its lookups give symbol 0 at no cost. State 31
  // decodes its chunk byte and then alternates through the remainder.
  bytes block = cat({le32(40), {0, 5, 0x88, 0x00, 0, 0}, start_states()});
  bytes expected = cat({bytes(32, 5), {0, 5, 0, 5, 0, 5, 0, 5}});
  for (rans_impl impl : implementations()) EXPECT_EQ(decode(impl, block, 40), expected) << impl_name(impl);
  // Many main steps through a missing context, past the vector decoder's batch size.
  bytes longer = cat({le32(32 * 100), {0, 5, 0x88, 0x00, 0, 0}, start_states()});
  for (rans_impl impl : implementations()) {
    auto r = decode(impl, longer, 3200);
    ASSERT_TRUE(r.has_value()) << impl_name(impl);
    EXPECT_EQ((*r)[0], 5);
    EXPECT_EQ((*r)[1], 0);
    EXPECT_EQ((*r)[2], 5);
  }
}

TEST(RansDamage, states_out_of_range_stay_within_bounds) {
  bytes input = english_like(5000, 8);
  bytes block = encode(rans_impl::scalar, input);
  auto t = parse_table(block);
  for (uint32_t v : {0u, 1u, 32767u, 0x80000000u, 0xFFFFFFFFu}) {
    bytes bad = block;
    for (int z = 0; z < 32; z += 3) std::copy_n(le32(v).begin(), 4, bad.begin() + static_cast<long>(t->end) + 4 * z);
    auto s = decode(rans_impl::scalar, bad, 5000);
    // No coder state reaches 2^31: a block starting from one is refused.
    if (v >= 0x80000000u) {
      EXPECT_FALSE(s.has_value()) << "state " << v;
    }
    for (rans_impl impl : implementations()) {
      auto r = decode(impl, bad, 5000);
      EXPECT_EQ(r.has_value(), s.has_value()) << impl_name(impl) << " state " << v;
      if (r && s) {
        EXPECT_BYTES_EQ(*s, *r);
      }
    }
  }
}

}  // namespace
