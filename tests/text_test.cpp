// text_test.cpp — text mode: the hash table, the record sort, tokens and numbering, escape coding, the file layout,
// round trips, fallbacks and damaged files.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>

#include "hash.h"
#include "helpers.h"
#include "ransavx.h"
#include "sort.h"
#include "text.h"
#include "util.h"

using namespace qarn;

namespace {

// ---- hash table and sort ----

TEST(TextHashTable, insert_find_chain_and_limits) {
  hashtable ht;
  hashinit(&ht, 16);
  EXPECT_EQ(ht.size, 20);
  uint64_t k = 0x1234500000000003ULL;
  EXPECT_EQ(hashinsert2(&ht, k, 5), 5);
  EXPECT_EQ(ht.a[3].key, k);
  EXPECT_EQ(hashinsert2(&ht, k, 9), -6);
  EXPECT_EQ(ht.count, 1);
  // Same home slot: chained through the cellar, first collision at entry l.
  uint64_t k2 = 0x9900000000000013ULL, k3 = 0x7700000000000023ULL;
  EXPECT_EQ(hashinsert2(&ht, k2, 6), 6);
  EXPECT_EQ(ht.a[3].next, 16);
  EXPECT_EQ(ht.a[16].key, k2);
  EXPECT_EQ(ht.lc, 17);
  EXPECT_EQ(hashinsert2(&ht, k3, 7), 7);
  EXPECT_EQ(ht.a[16].next, 17);
  EXPECT_EQ(hashinsert2(&ht, k3, 0), ~7);
  EXPECT_EQ(hashinsert2(&ht, k2, 0), ~6);
  hashdelete(&ht);
  EXPECT_EQ(ht.allocated, 0);

  // l = 4 has one cellar entry: taking it would leave the cursor nowhere, so the key does not fit.
  hashinit(&ht, 4);
  EXPECT_EQ(hashinsert2(&ht, 0x10, 0), 0);
  EXPECT_EQ(hashinsert2(&ht, 0x20, 1), hash_full);
  EXPECT_EQ(ht.count, 1);
  hashdelete(&ht);
  // l = 8: the load bound is 6, so five keys fit.
  hashinit(&ht, 8);
  for (int i = 0; i < 5; i++) EXPECT_EQ(hashinsert2(&ht, 0x100 + i, i), i);
  EXPECT_EQ(hashinsert2(&ht, 0x105, 5), hash_full);
  EXPECT_EQ(hashinsert2(&ht, 0x104, 5), ~4);
  hashdelete(&ht);
}

uint64_t mix(uint64_t v) {
  v ^= v >> 23;
  v *= 0x2127599bf4325c37ULL;
  return v ^ (v >> 47);
}

TEST(TextHashTable, fasthash64_follows_its_definition) {
  EXPECT_EQ(fasthash64("", 0), mix(0x106689d45497fdb5ULL));
  // One byte: h = seed ^ (1 * m), then the remainder word 0x61.
  const uint64_t m = 0x880355f21e6d1965ULL;
  uint64_t h = 0x106689d45497fdb5ULL ^ m;
  h = (h ^ mix(0x61)) * m;
  EXPECT_EQ(fasthash64("a", 1), mix(h));
  // Eight bytes take one whole word and no remainder step.
  uint64_t h8 = 0x106689d45497fdb5ULL ^ (8 * m);
  h8 = (h8 ^ mix(0x3837363534333231ULL)) * m;
  EXPECT_EQ(fasthash64("12345678", 8), mix(h8));
}

TEST(TextSort, descending_stable_unsigned) {
  std::vector<int32_t> a = {3, 0, 5, 1, 3, 2, 5, 3};
  sort_array(a.data(), 4, 2, 0, sort_descending_unsigned);
  EXPECT_EQ(a, (std::vector<int32_t>{5, 1, 5, 3, 3, 0, 3, 2}));
  std::vector<int32_t> b = {1, 0, static_cast<int32_t>(4000000000u), 1};
  sort_array(b.data(), 2, 2, 0, sort_descending_unsigned);
  EXPECT_EQ(b[1], 1);
  std::vector<int32_t> one = {7, 8};
  sort_array(one.data(), 1, 2, 0, sort_descending_unsigned);
  sort_array(one.data(), 0, 2, 0, sort_descending_unsigned);
  EXPECT_EQ(one, (std::vector<int32_t>{7, 8}));
}

TEST(TextSort, order_by_count_is_the_stable_descending_order) {
  // Counts on both sides of the counting sort's 2^16 bound, many equal: the same order as sorting (count, index)
  // records.
  std::mt19937 rng(7);
  for (int32_t n : {0, 1, 2, 1000, 100000}) {
    std::vector<int32_t> counts(static_cast<size_t>(n)), records;
    for (int32_t& c : counts) c = rng() % 4 == 0 ? 65536 + static_cast<int32_t>(rng() % 5) : static_cast<int32_t>(rng() % 300);
    for (int32_t i = 0; i < n; i++) records.insert(records.end(), {counts[i], i});
    sort_array(records.data(), n, 2, 0, sort_descending_unsigned);
    std::vector<int32_t> order(static_cast<size_t>(n));
    order_by_count(counts.data(), n, order.data());
    for (int32_t i = 0; i < n; i++) ASSERT_EQ(order[i], records[2 * i + 1]) << n << " " << i;
  }
}

// ---- tokens ----

struct token_case {
  std::string text;
  std::vector<int32_t> a2;
  std::string list;
  std::vector<int32_t> list2;
};

TEST(TextTokens, numbering_by_frequency_then_first_occurrence) {
  const std::vector<token_case> cases = {
      {"to be or not to be ", {0, 1, 2, 3, 0, 1}, "to be or not ", {0, 3, 6, 9, 13}},
      {"a a b b b ", {1, 1, 0, 0, 0}, "b a ", {0, 2, 4}},
      {"a  b ", {0, 1, 2}, "a  b ", {0, 2, 3, 5}},
      {"x x\n", {0, 1}, "x x\n", {0, 2, 4}},
      {" ", {0}, " ", {0, 1}},
      // Longer than 16 bytes and equal up to there: told apart by the rest.
      {"0123456789abcdefgX 0123456789abcdefgY 0123456789abcdefgX ", {0, 1, 0}, "0123456789abcdefgX 0123456789abcdefgY ",
       {0, 19, 38}},
  };
  for (const token_case& c : cases) {
    text_data t;
    t.text = reinterpret_cast<const uint8_t*>(c.text.data());
    t.textc = static_cast<int32_t>(c.text.size());
    ASSERT_EQ(text_build_a2(&t), text_refusal::none);
    reorder_text(&t);
    EXPECT_EQ(std::vector<int32_t>(t.a2.data(), t.a2.data() + t.a2.size()), c.a2) << c.text;
    EXPECT_EQ(std::string(t.list.begin(), t.list.end()), c.list) << c.text;
    EXPECT_EQ(t.list2, c.list2) << c.text;
  }
}

TEST(TextTokens, hash_table_grows_with_the_dictionary) {
  std::string text;
  for (int i = 0; i < 20000; i++) text += "w" + std::to_string(i) + (i % 7 ? " " : "\n");
  text_data t;
  t.text = reinterpret_cast<const uint8_t*>(text.data());
  t.textc = static_cast<int32_t>(text.size());
  ASSERT_EQ(text_build_a2(&t), text_refusal::none);
  EXPECT_EQ(t.freq.size(), 20000u);
  for (int i = 0; i < 20000; i++) ASSERT_EQ(t.a2[i], i);
}

TEST(TextFile, more_token_numbers_than_two_bytes_hold) {
  // The compressor keeps numbers in two bytes until the 65,537th distinct token, then moves to four.
  std::string text;
  for (int round = 0; round < 3; round++)
    for (int i = 0; i < 70000; i++) text += "w" + std::to_string(i * 7919 % 70000) + (i % 9 ? " " : "\n");
  bytes in = to_bytes(text);
  std::optional<byte_buffer> file = compress_text_buffer(in.data(), in.size());
  ASSERT_TRUE(file);
  byte_buffer out = decompress_text_buffer(file->data(), file->size());
  EXPECT_BYTES_EQ(in, bytes(out.data(), out.data() + out.size()));
}

TEST(TextFile, vocabularies_past_a_million_tokens) {
  // Past 2^20 distinct tokens in one part, the dictionary's entries and the tokens' table leave the room they took
  // at the start for larger room: the file is the same with one worker (one part) as with two.
  std::string text;
  for (uint32_t i = 0; i < 1300000; i++) text += std::to_string(i * 2654435761u) + (i % 11 ? " " : "\n");
  bytes in = to_bytes(text);
  std::optional<byte_buffer> one = compress_text_buffer(in.data(), in.size(), nullptr, 1);
  std::optional<byte_buffer> two = compress_text_buffer(in.data(), in.size(), nullptr, 2);
  ASSERT_TRUE(one && two);
  EXPECT_BYTES_EQ(bytes(one->data(), one->data() + one->size()), bytes(two->data(), two->data() + two->size()));
  byte_buffer out = decompress_text_buffer(one->data(), one->size());
  EXPECT_BYTES_EQ(in, bytes(out.data(), out.data() + out.size()));
}

// ---- escape values ----

struct escape_view {
  int32_t n;
  std::vector<int32_t> r, rbits;
  bytes buckets, bits;
};

escape_view write_escapes(const std::vector<int32_t>& vals) {
  std::vector<uint8_t> buf(static_cast<size_t>(escape_stream_bound(static_cast<int64_t>(vals.size()))));
  cfile f{buf.data(), 0, static_cast<int64_t>(buf.size())};
  EXPECT_TRUE(add_integers_to_file(&f, vals.data(), static_cast<int32_t>(vals.size())));
  cfile g{buf.data(), 0, f.pos};
  escape_view v;
  v.n = static_cast<int32_t>(g.get32());
  uint32_t len;
  const uint8_t* p = g.getblock(&len);
  for (int i = 0; i < 256; i++) v.r.push_back(static_cast<int32_t>(get_u32(p + 4 * i)));
  p = g.getblock(&len);
  for (int i = 0; i < 256; i++) v.rbits.push_back(static_cast<int32_t>(get_u32(p + 4 * i)));
  p = g.getblock(&len);
  v.buckets.resize(static_cast<size_t>(v.n) + 1);
  unsigned out = static_cast<unsigned>(v.n);
  EXPECT_NE(rans_uncompress_O1_32x16(const_cast<uint8_t*>(p), len, v.buckets.data(), &out), nullptr);
  v.buckets.pop_back();
  p = g.getblock(&len);
  v.bits.assign(p, p + len);
  EXPECT_EQ(g.pos, f.pos);
  // And the reader gives the values back.
  cfile h{buf.data(), 0, f.pos};
  raw_array<int32_t> back = get_integers_from_file(&h, static_cast<int32_t>(vals.size()));
  EXPECT_EQ(std::vector<int32_t>(back.data(), back.data() + back.size()), vals);
  return v;
}

std::vector<int32_t> prefix(const std::vector<int32_t>& v, size_t n) { return {v.begin(), v.begin() + n}; }

TEST(TextEscapes, bucket_examples) {
  escape_view empty = write_escapes({});
  EXPECT_EQ(empty.n, 0);
  EXPECT_EQ(prefix(empty.r, 3), (std::vector<int32_t>{0, 1, 0}));
  EXPECT_EQ(empty.rbits, std::vector<int32_t>(256, 0));
  EXPECT_EQ(empty.bits, bytes{0});

  escape_view fives = write_escapes(std::vector<int32_t>(4, 5));
  EXPECT_EQ(prefix(fives.r, 3), (std::vector<int32_t>{0, 6, 0}));
  EXPECT_EQ(prefix(fives.rbits, 2), (std::vector<int32_t>{3, 0}));
  EXPECT_EQ(fives.buckets, bytes(4, 0));
  EXPECT_EQ(fives.bits, (bytes{0x6d, 0x0b}));  // 101 four times, least significant bit first

  std::vector<int32_t> vals;
  for (int v = 0; v < 10; v++)
    for (int i = 0; i < (v < 4 ? 100 : 10); i++) vals.push_back(v);
  std::shuffle(vals.begin(), vals.end(), std::mt19937(1));
  vals.insert(vals.begin(), 3);
  escape_view ten = write_escapes(vals);
  EXPECT_EQ(prefix(ten.r, 4), (std::vector<int32_t>{0, 2, 10, 0}));
  EXPECT_EQ(prefix(ten.rbits, 3), (std::vector<int32_t>{1, 3, 0}));
  EXPECT_EQ(ten.buckets[0], 1);
  EXPECT_EQ(ten.bits[0] & 7, 1);  // value 3 is offset 1 of bucket 1, in 3 bits

  // Exactly eight bits still get a whole extra byte.
  escape_view eight = write_escapes({255});
  EXPECT_EQ(prefix(eight.r, 2), (std::vector<int32_t>{0, 256}));
  EXPECT_EQ(eight.rbits[0], 8);
  EXPECT_EQ(eight.bits, (bytes{255, 0}));
}

TEST(TextEscapes, long_tails_round_trip) {
  // Escape values are token numbers in frequency order: every value up to the largest occurs, and counts never rise
  // with the value.
  std::mt19937 rng(3);
  for (int top : {1, 300, 70000, 400000}) {
    std::vector<int32_t> vals;
    for (int v = 0; v <= top; v++)
      for (int i = 0, count = std::max(1, 20000 / (v + 1)); i < count; i++) vals.push_back(v);
    std::shuffle(vals.begin(), vals.end(), rng);
    write_escapes(vals);
  }
}

// ---- the file ----

std::string unwhitened(const byte_buffer& file) {
  std::string s(reinterpret_cast<const char*>(file.data()), file.size());
  text_whiten(reinterpret_cast<uint8_t*>(s.data()), s.size());
  return s;
}

bytes round_trip(const bytes& in) {
  std::optional<byte_buffer> file = compress_text_buffer(in.data(), in.size());
  if (!file) return bytes{0xde, 0xad};
  byte_buffer out = decompress_text_buffer(file->data(), file->size());
  return bytes(out.data(), out.data() + out.size());
}

TEST(TextFile, layout_of_a_text_without_final_delimiter) {
  std::string text = "to be or not to be";
  // Long enough that the text-mode file is smaller than the stored one.
  std::string repeated;
  for (int i = 0; i < 1000; i++) repeated += text + " ";
  repeated += text;
  std::optional<byte_buffer> file = compress_text_buffer(reinterpret_cast<const uint8_t*>(repeated.data()), repeated.size());
  ASSERT_TRUE(file);
  std::string s = unwhitened(*file);
  EXPECT_EQ(get_u32(&s[0]), mode_text);
  EXPECT_EQ(get_u32(&s[4]), repeated.size() + 1);
  EXPECT_EQ(get_u32(&s[8]), 1001u * 6);
  EXPECT_EQ(get_u32(&s[12]), 13u);
  EXPECT_EQ(get_u32(&s[16]), 1u);
  EXPECT_EQ(get_u32(&s[20]), 0u);  // no escape values
  EXPECT_EQ(std::memcmp(file->data(), s.data(), 8), 0);  // mode and length stay readable
  EXPECT_BYTES_EQ(to_bytes(repeated), round_trip(to_bytes(repeated)));
}

TEST(TextFile, short_texts_fall_back_and_all_shapes_round_trip) {
  // A text-mode file carries two tables: a short text is cheaper stored.
  EXPECT_FALSE(compress_text_buffer(reinterpret_cast<const uint8_t*>("to be or not to be"), 18));
  std::mt19937 rng(5);
  std::vector<std::string> texts = {"", " ", "\n", "a", "  \n\n ", std::string(5000, ' '), std::string(5000, 'x')};
  std::string words;
  for (int i = 0; i < 3000; i++) words += "w" + std::to_string(rng() % 600) + (rng() % 5 ? " " : "\n");
  texts.push_back(words);                 // more than 255 distinct tokens: escape values
  texts.push_back(words + "tail");        // no final delimiter
  std::string binary(20000, 0);
  for (char& c : binary) c = static_cast<char>(rng() % 4 == 0 ? ' ' : rng());
  texts.push_back(binary);                // binary data named .txt
  // A long last token with the appended space, once equal to an earlier token and once differing only there.
  std::string longs;
  for (int i = 0; i < 400; i++) longs += "0123456789abcdefghijX 0123456789abcdefghijY\n" + std::to_string(i) + " ";
  texts.push_back(longs + "0123456789abcdefghijX");
  texts.push_back(longs + "0123456789abcdefghijY");
  for (const std::string& t : texts) {
    bytes in = to_bytes(t);
    std::optional<byte_buffer> file = compress_text_buffer(in.data(), in.size());
    if (!file) continue;  // stored instead
    EXPECT_LE(file->size(), in.size() + 4);
    byte_buffer out = decompress_text_buffer(file->data(), file->size());
    EXPECT_BYTES_EQ(in, bytes(out.data(), out.data() + out.size())) << t.substr(0, 20);
  }
}

TEST(TextFile, empty_input_header) {
  // The empty text is one appended space; compare the header of its (larger than stored) file.
  text_refusal why;
  EXPECT_FALSE(compress_text_buffer(nullptr, 0, &why));
  EXPECT_EQ(why, text_refusal::none);
}

TEST(TextFile, limits_fall_back) {
  // One token of 50,000,000 bytes does not fit the dictionary.
  bytes big(50000000, 'x');
  text_refusal why;
  EXPECT_FALSE(compress_text_buffer(big.data(), big.size(), &why));
  EXPECT_EQ(why, text_refusal::dictionary_too_large);
}

TEST(TextFile, damaged_files_are_refused) {
  std::string words;
  std::mt19937 rng(9);
  for (int i = 0; i < 4000; i++) words += "t" + std::to_string(rng() % 400) + " ";
  bytes in = to_bytes(words);
  std::optional<byte_buffer> file = compress_text_buffer(in.data(), in.size());
  ASSERT_TRUE(file);
  bytes f(file->data(), file->data() + file->size());
  int refused = 0;
  for (size_t cut = 0; cut < f.size(); cut += 1 + cut / 16) {
    try {
      decompress_text_buffer(f.data(), cut);
    } catch (const qarn_error&) {
      refused++;
    }
  }
  EXPECT_GT(refused, 0);
  // Every shortened file is refused; flipped bytes are refused or decode within bounds.
  for (size_t i = 0; i < f.size(); i += 7) {
    bytes g = f;
    g[i] ^= 0x5a;
    try {
      decompress_text_buffer(g.data(), g.size());
    } catch (const qarn_error&) {
    }
  }
}

class TextDriver : public scratch_test {};

TEST_F(TextDriver, round_trip_fallback_and_refusal_through_the_program) {
  std::string text;
  for (int i = 0; i < 2000; i++) text += "line " + std::to_string(i % 97) + " of the text\n";
  std::string in = path("a.txt"), packed = path("a.q"), out = path("a.out");
  write_bytes(in, to_bytes(text));
  run_result c = run_qarn({"-c", in, packed});
  EXPECT_EQ(c.output, "Compressing text\n");
  EXPECT_EQ(read_bytes(packed)[0], mode_text);
  run_result d = run_qarn({"-d", packed, out});
  EXPECT_EQ(d.output, "Decompressing text\n");
  EXPECT_BYTES_EQ(to_bytes(text), read_bytes(out));

  // Too short to gain: the stored file.
  write_bytes(in, to_bytes("hi"));
  EXPECT_EQ(run_qarn({"-c", in, packed}).status, 0);
  EXPECT_BYTES_EQ((bytes{0, 0, 0, 0, 'h', 'i'}), read_bytes(packed));

  // A damaged text file: refused, no output.
  write_bytes(in, to_bytes(text));
  run_qarn({"-c", in, packed});
  bytes f = read_bytes(packed);
  f.resize(f.size() - 3);
  write_bytes(packed, f);
  std::filesystem::remove(out);
  run_result bad = run_qarn({"-d", packed, out});
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.output, "Decompressing text\nFile " + packed + " is corrupt\n");
  EXPECT_FALSE(std::filesystem::exists(out));
}

TEST(TextFile, one_and_two_workers_give_the_same_file) {
  // Two workers split the text after a delimiter near its middle and rebuild it in pieces of 32,768 tokens: the
  // files must not differ, whatever lies at the split (a long token, the appended space, tokens new to one half).
  std::mt19937 rng(11);
  auto pseudo_word = [&](uint32_t k) {
    std::string w;
    for (uint32_t v = k * 2654435761u % 1000003u + 1; v; v /= 23) w += static_cast<char>('a' + v % 23);
    return w;
  };
  std::vector<std::string> texts;
  // A large vocabulary: 300,000 distinct pseudo-words, most once, some often, so that numbers need four bytes.
  std::string vocabulary;
  for (uint32_t i = 0; i < 400000; i++)
    vocabulary += pseudo_word(i < 300000 ? i : static_cast<uint32_t>(rng() % 5000)) + (rng() % 8 ? " " : "\n");
  texts.push_back(vocabulary);
  texts.push_back(vocabulary.substr(0, vocabulary.size() / 2) + std::string(40, 'q') + vocabulary + "end");
  // Halves that share nothing, and one whose second half has no delimiter (one worker takes it all).
  std::string halves;
  for (int i = 0; i < 60000; i++) halves += "a" + std::to_string(i % 700) + " ";
  for (int i = 0; i < 60000; i++) halves += "b" + std::to_string(i % 900) + "\n";
  texts.push_back(halves);
  texts.push_back(halves.substr(0, 100000) + std::string(100000, 'z'));
  for (const std::string& text : texts) {
    bytes in = to_bytes(text);
    std::optional<byte_buffer> one = compress_text_buffer(in.data(), in.size(), nullptr, 1);
    std::optional<byte_buffer> two = compress_text_buffer(in.data(), in.size(), nullptr, 2);
    ASSERT_TRUE(one && two);
    EXPECT_BYTES_EQ(bytes(one->data(), one->data() + one->size()), bytes(two->data(), two->data() + two->size()));
    for (int workers : {1, 2}) {
      byte_buffer out = decompress_text_buffer(one->data(), one->size(), workers);
      EXPECT_BYTES_EQ(in, bytes(out.data(), out.data() + out.size())) << workers;
    }
  }
}

TEST(TextFile, damaged_files_are_refused_by_two_workers) {
  std::string words;
  std::mt19937 rng(3);
  for (int i = 0; i < 200000; i++) words += "t" + std::to_string(rng() % 3000) + (i % 11 ? " " : "\n");
  bytes in = to_bytes(words);
  std::optional<byte_buffer> file = compress_text_buffer(in.data(), in.size(), nullptr, 2);
  ASSERT_TRUE(file);
  for (size_t i = 24; i < file->size(); i += file->size() / 40) {
    bytes g(file->data(), file->data() + file->size());
    g[i] ^= 0x21;
    try {
      byte_buffer out = decompress_text_buffer(g.data(), g.size(), 2);
      EXPECT_EQ(out.size(), in.size());
    } catch (const qarn_error&) {
    }
  }
}

TEST(TextFile, bible_round_trip) {
  FILE* p = popen("bible -f 'Gen1:1-Rev22:21' 2>/dev/null", "r");
  if (!p) GTEST_SKIP();
  bytes text;
  char buf[65536];
  for (size_t k; (k = fread(buf, 1, sizeof buf, p)) > 0;) text.insert(text.end(), buf, buf + k);
  pclose(p);
  if (text.size() < 1000000) GTEST_SKIP() << "bible-kjv is not installed";
  std::optional<byte_buffer> file = compress_text_buffer(text.data(), text.size());
  ASSERT_TRUE(file);
  EXPECT_LT(file->size(), text.size() * 3 / 10);
  byte_buffer out = decompress_text_buffer(file->data(), file->size());
  EXPECT_BYTES_EQ(text, bytes(out.data(), out.data() + out.size()));
}

}  // namespace
