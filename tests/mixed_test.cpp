// mixed_test.cpp — mixed mode: block classes and smoothing, the stride transform, the distance model against a
// plain sequential model, tokens and sub-blocks, the mode-3 file, round trips of this machine's binaries, the
// stored fallback and damaged files.
#include <array>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <unordered_map>

#include "hash.h"
#include "helpers.h"
#include "mixed.h"
#include "ransavx.h"
#include "util.h"

using namespace qarn;

namespace fs = std::filesystem;

namespace {

bytes to_vec(const uint8_t* p, size_t n) { return bytes(p, p + n); }
bytes to_vec(const byte_buffer& b) { return to_vec(b.data(), b.size()); }
bytes to_vec(const mixed_stream& s) { return to_vec(s.data(), s.size); }

mixed_stream stream_of(const bytes& b) {
  mixed_stream s(b.size());
  if (!b.empty()) std::memcpy(s.data(), b.data(), b.size());
  return s;
}

bytes file_bytes(const std::string& path, size_t max = SIZE_MAX) {
  if (!fs::exists(path)) return {};
  bytes b = read_bytes(fs::canonical(path));
  if (b.size() > max) b.resize(max);
  return b;
}

// ---- Block classes ----

// A classification window: 24 bytes before the block, its 100 bytes and one after. The filler never repeats
// within the window (37 is invertible modulo 127), holds no letter and starts no opcode pair.
struct window {
  std::array<uint8_t, 125> w{};
  window() {
    for (int i = 0; i < 125; i++) w[i] = static_cast<uint8_t>(0x80 + i * 37 % 127);
  }
  uint8_t* block() { return w.data() + 24; }
};

TEST(MixedClasses, thresholds_of_each_class) {
  struct row {
    const char* name;
    int opcode_pairs, same16, same24, letter_pairs;
    uint8_t expected;
  };
  const row rows[] = {
      {"nothing", 0, 0, 0, 0, class_other},
      {"one opcode pair", 1, 0, 0, 0, class_other},
      {"two opcode pairs", 2, 0, 0, 0, class_code},
      {"two opcode pairs win over periodic", 2, 60, 0, 0, class_code},
      {"50 equal 16 back", 0, 50, 0, 0, class_other},
      {"51 equal 16 back", 0, 51, 0, 0, class_periodic},
      {"50 equal 24 back", 0, 0, 50, 0, class_other},
      {"51 equal 24 back", 0, 0, 51, 0, class_periodic},
      {"20 letter pairs", 0, 0, 0, 20, class_other},
      {"21 letter pairs", 0, 0, 0, 21, class_text},
      {"periodic wins over text", 0, 51, 0, 30, class_periodic},
  };
  for (const row& r : rows) {
    window win;
    uint8_t* b = win.block();
    // Copies 16 (or 24) back on the first positions; chains of copies never create equalities at the other
    // distance, as 16 m = 24 + 16 m' has no solution.
    for (int i = 0; i < r.same16; i++) b[i] = b[i - 16];
    for (int i = 0; i < r.same24; i++) b[i] = b[i - 24];
    // Lower-case letters at the end of the block: k + 1 letters make k pairs.
    for (int i = 0; i < r.letter_pairs + (r.letter_pairs ? 1 : 0); i++)
      b[99 - i] = static_cast<uint8_t>('a' + i % 26);
    const uint8_t pairs[2][2] = {{0x48, 0x89}, {0x0F, 0x84}};
    for (int k = 0; k < r.opcode_pairs; k++) {
      b[70 + 3 * k] = pairs[k][0];
      b[71 + 3 * k] = pairs[k][1];
    }
    EXPECT_EQ(block_class(b), r.expected) << r.name;
    EXPECT_EQ(block_class(b, false), r.expected) << r.name << " (scalar loop)";
  }
}

TEST(MixedClasses, vector_and_scalar_loops_agree) {
  // Windows of random bytes drawn from small alphabets, so that every count lands near its threshold in some of
  // them: opcode bytes, letters of both cases and their neighbours in the code table, and repeats 16 or 24 back.
  const bytes r = random_bytes(125 * 3000, 7);
  const uint8_t alphabet[] = {'a', 'z', 'A', 'Z', '@', '[', '`', '{', 0xC1, 0xE1, 0x61 | 0x80, 0x48, 0x89, 0x8B,
                              0x0F, 0x84, 0x1F, 0xE8, 0x00, 0x24, 0xFF, 0x44, 0x4C, 0x85};
  int seen[class_count] = {};
  for (int k = 0; k < 3000; k++) {
    std::array<uint8_t, 125> w;
    const int span = 2 + k % 23;  // how many letters of the alphabet this window uses
    for (int i = 0; i < 125; i++) w[i] = alphabet[r[k * 125 + i] % span];
    if (k % 3 == 1)
      for (int i = 24; i < 125; i++)
        if (r[k * 125 + i] & 0x40) w[i] = w[i - (k % 2 ? 16 : 24)];
    const uint8_t* b = w.data() + 24;
    const uint8_t c = block_class(b, false);
    ASSERT_EQ(block_class(b, true), c) << "window " << k;
    seen[c]++;
  }
  for (int c = 0; c < class_count; c++) EXPECT_GT(seen[c], 100) << "class " << c << " too rare to test the loops";
}

TEST(MixedClasses, smoothing_goes_in_order) {
  struct row {
    std::vector<uint8_t> in, out;
  };
  const row rows[] = {
      {{2, 3, 2}, {2, 2, 2}},
      {{3, 2, 2}, {3, 2, 2}},
      {{3, 0, 3, 0}, {3, 3, 3, 0}},  // the third block no longer stands alone once the second is smoothed
      {{0, 3, 2}, {0, 3, 2}},
      {{0, 3}, {0, 3}},
      {{1, 0, 1, 0, 1}, {1, 1, 1, 1, 1}},
  };
  for (const row& r : rows) {
    std::vector<uint8_t> c = r.in;
    smooth_classes(c.data(), static_cast<int64_t>(c.size()));
    EXPECT_EQ(c, r.out);
  }
}

TEST(MixedClasses, blocks_are_gathered_into_class_streams) {
  struct row {
    const char* name;
    bytes in;
    std::vector<uint8_t> classes;
    size_t periodic;
  };
  bytes code(200, 0x90);
  for (int i = 0; i < 200; i += 3) code[i] = 0x48, code[i + 1] = 0x89;
  bytes mixed = code;
  mixed.resize(300, 0);  // a zero block after two code blocks
  const row rows[] = {
      {"empty", {}, {}, 0},
      {"one byte", {7}, {class_periodic}, 100},
      {"zeros, 250 bytes", bytes(250, 0), {1, 1, 1}, 300},
      {"101 bytes make two blocks", bytes(101, 0), {1, 1}, 200},
      {"code then zeros", mixed, {0, 0, 1}, 100},
  };
  for (const row& r : rows) {
    block_classes bc = classify_blocks(r.in.data(), static_cast<int64_t>(r.in.size()));
    EXPECT_EQ(to_vec(bc.classes), r.classes) << r.name;
    EXPECT_EQ(bc.streams[class_periodic].size, r.periodic) << r.name;
    // Every block is in its class stream, in order, the last one padded with zeros.
    size_t at[class_count] = {};
    for (size_t b = 0; b < r.classes.size(); b++) {
      bytes block(100, 0);
      for (size_t i = 0; i < 100 && b * 100 + i < r.in.size(); i++) block[i] = r.in[b * 100 + i];
      const mixed_stream& s = bc.streams[r.classes[b]];
      ASSERT_LE(at[r.classes[b]] + 100, s.size) << r.name;
      EXPECT_BYTES_EQ(block, to_vec(s.data() + at[r.classes[b]], 100)) << r.name << ", block " << b;
      at[r.classes[b]] += 100;
    }
  }
}

// ---- Stride transform ----

TEST(MixedStride, strides_flags_and_exceptions) {
  struct row {
    const char* name;
    bytes p;
    bytes strides;
  };
  bytes period8(128);
  for (size_t i = 0; i < period8.size(); i++) period8[i] = static_cast<uint8_t>("ABCDEFGH"[i % 8]);
  bytes distinct(64);
  for (size_t i = 0; i < distinct.size(); i++) distinct[i] = static_cast<uint8_t>(i + 1);
  bytes period12(64);
  for (size_t i = 0; i < period12.size(); i++) period12[i] = static_cast<uint8_t>(i % 12 + 1);
  const row rows[] = {
      {"zeros", bytes(300, 0), bytes(5, 4)},
      {"period 8 ties with 16, 24, ...", period8, {8, 8}},
      {"period 12 against zeros before", period12, {12}},
      {"no equal pair at all", distinct, {4}},
  };
  for (bool avx2 : {false, true}) {
    for (const row& r : rows) {
      mixed_stream p = stream_of(r.p);
      stride_streams s = stride_transform(p.data(), static_cast<int64_t>(p.size), avx2);
      EXPECT_BYTES_EQ(r.strides, to_vec(s.strides)) << r.name;
      // Flags and exceptions follow from the strides: checked byte by byte, first byte in the top bit.
      ASSERT_EQ(s.flags.size, 8 * s.strides.size) << r.name;
      bytes exceptions;
      for (size_t i = 0; i < 64 * s.strides.size; i++) {
        const int stride = s.strides.data()[i / 64];
        auto at = [&](size_t j) { return j < r.p.size() ? r.p[j] : uint8_t(0); };
        const uint8_t byte = at(i);
        const uint8_t back = i >= size_t(stride) ? at(i - stride) : 0;
        const bool flag = (s.flags.data()[i / 8] >> (7 - i % 8)) & 1;
        EXPECT_EQ(flag, byte != back) << r.name << ", position " << i;
        if (byte != back) exceptions.push_back(byte);
      }
      EXPECT_BYTES_EQ(exceptions, to_vec(s.exceptions)) << r.name;
    }
  }
}

TEST(MixedStride, rebuild_restores_the_stream_and_both_loops_agree) {
  struct row {
    const char* name;
    bytes p;
  };
  bytes records(6400);
  std::mt19937 rng(3);
  for (size_t i = 0; i < records.size(); i++)
    records[i] = i >= 20 && rng() % 8 ? records[i - 20] : static_cast<uint8_t>(rng());
  bytes hundred = random_bytes(100, 9);
  for (size_t i = 36; i < 100; i++) hundred[i] = hundred[i - 36];
  const row rows[] = {
      {"records of 20 bytes", records},
      {"100 bytes: the second chunk holds 36 bytes and 28 zeros", hundred},
      {"random", random_bytes(1000, 11)},
      {"empty", {}},
  };
  for (const row& r : rows) {
    mixed_stream p = stream_of(r.p);
    stride_streams v = stride_transform(p.data(), static_cast<int64_t>(p.size), true);
    stride_streams s = stride_transform(p.data(), static_cast<int64_t>(p.size), false);
    EXPECT_BYTES_EQ(to_vec(s.strides), to_vec(v.strides)) << r.name;
    EXPECT_BYTES_EQ(to_vec(s.flags), to_vec(v.flags)) << r.name;
    EXPECT_BYTES_EQ(to_vec(s.exceptions), to_vec(v.exceptions)) << r.name;
    EXPECT_EQ(s.strides.size, (r.p.size() + 63) / 64) << r.name;
    mixed_stream back(64 * s.strides.size);
    stride_rebuild(s.strides.data(), int64_t(s.strides.size), s.flags.data(), s.exceptions.data(),
                   int64_t(s.exceptions.size), back.data());
    bytes padded = r.p;
    padded.resize(64 * s.strides.size, 0);
    EXPECT_BYTES_EQ(padded, to_vec(back)) << r.name;
  }
}

TEST(MixedStride, rebuild_refuses_what_no_encoder_writes) {
  const uint8_t flags[8] = {0x80, 0, 0, 0, 0, 0, 0, 0};
  const uint8_t exceptions[2] = {1, 2};
  mixed_stream p(64);
  for (uint8_t stride : {0, 2, 72, 255}) {
    EXPECT_THROW(stride_rebuild(&stride, 1, flags, exceptions, 1, p.data()), qarn_error) << int(stride);
  }
  const uint8_t four = 4;
  EXPECT_THROW(stride_rebuild(&four, 1, flags, exceptions, 2, p.data()), qarn_error);
  EXPECT_THROW(stride_rebuild(&four, 1, flags, exceptions, 0, p.data()), qarn_error);
  EXPECT_NO_THROW(stride_rebuild(&four, 1, flags, exceptions, 1, p.data()));
  EXPECT_EQ(p.data()[0], 1);
  EXPECT_EQ(p.data()[1], 0);
}

// ---- The distance model ----

// The model as written, one step after another, with every table a plain map from bucket to entry and the
// stream laid out as it was designed: after a front guard that repeats the bytes of rand_value, then the
// identity prefix. The implementation must give the same runs.
struct plain_runs {
  std::vector<int32_t> a3, len, start;
};

plain_runs plain_model(const bytes& in) {
  const int64_t n = static_cast<int64_t>(in.size());
  const int64_t guard = 8 * ((n + 1024) / 8);
  std::vector<uint8_t> buf(guard + 256 + in.size() + 16, 0);
  for (int64_t i = 0; i < guard; i++) buf[i] = static_cast<uint8_t>(rand_value >> (8 * (i % 8)));
  uint8_t* data = buf.data() + guard + 256;
  for (int c = 0; c < 256; c++) data[c - 256] = static_cast<uint8_t>(c);
  if (n) std::memcpy(data, in.data(), in.size());
  const uint64_t K = 0x106689d45497fdb5ULL;
  std::vector<int64_t> dist(std::max<int64_t>(n, 1));
  int64_t last[256];
  for (int c = 0; c < 256; c++) last[c] = c - 256;
  dist[0] = 256 - data[0];
  last[data[0]] = 0;
  for (int64_t p = 1; p < n; p++) dist[p] = p - last[data[p]], last[data[p]] = p;
  auto u32 = [&](int64_t p) { uint32_t v; std::memcpy(&v, data + p, 4); return uint64_t(v); };
  auto u64 = [&](int64_t p) { uint64_t v; std::memcpy(&v, data + p, 8); return v; };
  if (n >= 9) {
    std::unordered_map<uint64_t, uint64_t> t;
    for (int64_t q = 0; q < n - 8; q += 4)
      for (int64_t p = q; p < q + 4; p++) {
        uint64_t h = u32(p) * K, tag = uint32_t(h), &e = t[h >> 50], old = e;
        e = tag << 32 | uint64_t(p);
        if (uint32_t(old) != 0 && (old >> 32) == tag) dist[p] = p - int64_t(uint32_t(old));
      }
  }
  if (n >= 13) {
    std::unordered_map<uint64_t, uint64_t> t;
    for (int64_t q = 4; q < n - 8; q += 4)
      for (int64_t p = q; p < q + 4; p++) {
        uint64_t h = u64(p) * K, tag = uint32_t(h), &e = t[h >> 40], old = e;
        e = tag << 32 | uint64_t(p);
        if (data[p - dist[p - 1]] == data[p]) dist[p] = dist[p - 1];
        else if (uint32_t(old) != 0 && (old >> 32) == tag) dist[p] = p - int64_t(uint32_t(old));
      }
  }
  for (int64_t p = n - 1; p >= 1; p--)
    if (data[p - 1] == data[p - 1 - dist[p]]) dist[p - 1] = dist[p];
  plain_runs r;
  if (n <= 1) {
    r = {{int32_t(dist[0])}, {1}, {0}};
  } else {
    int64_t s = 0;
    for (int64_t p = 0; p + 1 < n; p++)
      if (p - s > 249 || dist[p + 1] != dist[s]) {
        r.a3.push_back(int32_t(dist[s])), r.len.push_back(int32_t(p - s + 1)), r.start.push_back(int32_t(s));
        s = p + 1;
      }
    r.a3.push_back(int32_t(dist[s])), r.len.push_back(int32_t(n - s)), r.start.push_back(int32_t(s));
  }
  const int64_t R = static_cast<int64_t>(r.a3.size());
  if (R >= 51) {
    std::vector<uint64_t> h(R - 1);
    for (int64_t j = 0; j + 1 < R; j++) h[j] = fasthash64(data + r.start[j], r.len[j] + r.len[j + 1]);
    std::unordered_map<uint64_t, int64_t> t;  // bucket -> run; an absent bucket is no hit
    for (int64_t j = 0; j <= R - 51; j++) {
      auto it = t.find(h[j] >> 42);
      if (it != t.end()) {
        int64_t k = it->second, L = r.len[j] + r.len[j + 1];
        if (uint32_t(h[k]) == uint32_t(h[j]) && r.len[k] + r.len[k + 1] == L &&
            std::memcmp(data + r.start[j], data + r.start[k], size_t(L)) == 0)
          r.a3[j] = r.a3[j + 1] = r.start[j] - r.start[k];
      }
      t[h[j] >> 42] = j;
    }
  }
  auto accepts = [&](int64_t k, int64_t d) {
    for (int64_t p = r.start[k]; p < r.start[k] + r.len[k]; p++)
      if (p - d < -256 || data[p] != data[p - d]) return false;
    return true;
  };
  if (R >= 22)
    for (int64_t q = R - 1; q >= 21; q--)
      for (int64_t k = q - 1; k >= q - 4; k--)
        if (accepts(k, r.a3[q])) {
          r.a3[k] = r.a3[q];
          break;
        }
  if (R >= 21)
    for (int64_t j = 0; j <= R - 21; j++)
      for (int64_t k = j + 1; k <= j + 4; k++)
        if (accepts(k, r.a3[j])) {
          r.a3[k] = r.a3[j];
          break;
        }
  plain_runs m;
  for (int64_t i = 0; i < R; i++) {
    if (i > 0 && r.a3[i] == m.a3.back() && m.len.back() + r.len[i] <= 254) {
      m.len.back() += r.len[i];
    } else {
      m.a3.push_back(r.a3[i]), m.len.push_back(r.len[i]), m.start.push_back(r.start[i]);
    }
  }
  return m;
}

plain_runs runs_of(const bytes& in, bucket_table tables = bucket_table::automatic) {
  mixed_stream s = stream_of(in);
  convert c = section_runs(s.data(), static_cast<int32_t>(s.size), tables);
  plain_runs r;
  for (int32_t i = 0; i < c.count; i++) {
    r.a3.push_back(c.a3[i]), r.len.push_back(c.length(i)), r.start.push_back(c.starts[i]);
  }
  EXPECT_EQ(c.starts[c.count], std::max(static_cast<int32_t>(in.size()), 1));
  return r;
}

// "start len distance" of every run, for readable failures.
std::string describe(const plain_runs& r) {
  std::string s;
  for (size_t i = 0; i < r.a3.size(); i++)
    s += std::to_string(r.start[i]) + "+" + std::to_string(r.len[i]) + "@" + std::to_string(r.a3[i]) + " ";
  return s;
}

TEST(MixedModel, runs_of_small_streams) {
  struct row {
    const char* name;
    bytes in;
    std::string runs;
  };
  const uint8_t guard_tail[] = {0x38, 0x41, 0x38, 0x40, 0x38, 0x43, 0x38, 0x40, 0x38, 0x00};
  bytes guard(guard_tail, guard_tail + 10);
  bytes guard_broken = guard;
  guard_broken[0] = 0x39;
  const row rows[] = {
      {"empty: the zero byte after the stream", {}, "0+1@256 "},
      {"one byte", {200}, "0+1@56 "},
      {"40 zeros", bytes(40, 0), "0+1@256 1+39@1 "},
      {"40 bytes of 255: the prefix byte before the stream is 255", bytes(40, 255), "0+40@1 "},
      {"300 zeros: split after 251 and not merged", bytes(300, 0), "0+1@256 1+251@1 252+48@1 "},
      // The first zero's source is the prefix's 0 at -256; the bytes before it match the guard bytes that
      // precede the prefix (38 40 38 43 38 40 38 41 38, going back), so its distance reaches the first byte.
      {"distance carried back through the guard bytes", guard, "0+10@265 "},
      {"guard bytes matched except the first", guard_broken, "0+1@199 1+9@265 "},
  };
  for (const row& r : rows) {
    EXPECT_EQ(describe(runs_of(r.in)), r.runs) << r.name;
    EXPECT_EQ(describe(plain_model(r.in)), r.runs) << r.name;
  }
}

TEST(MixedModel, equals_the_plain_sequential_model) {
  struct row {
    std::string name;
    bytes in;
  };
  std::vector<row> rows;
  for (size_t n : {8, 9, 12, 13, 14, 15, 16, 17, 21, 64, 257})
    rows.push_back({"short repeats, n = " + std::to_string(n), [n] {
                      bytes b(n);
                      for (size_t i = 0; i < n; i++) b[i] = static_cast<uint8_t>("abcdabceabcdabcd"[i % 16]);
                      return b;
                    }()});
  rows.push_back({"random", random_bytes(3000, 1)});
  bytes text;
  for (int i = 0; i < 300; i++) text.insert(text.end(), {'t', 'h', 'e', ' ', uint8_t('a' + i % 7), ' '});
  rows.push_back({"words", text});
  bytes lib = file_bytes("/usr/lib/x86_64-linux-gnu/libstdc++.so.6", 1200000);
  if (lib.size() > 300000) {
    rows.push_back({"libstdc++, 1.2 MB", lib});
    rows.push_back({"libstdc++, 40 KB", bytes(lib.begin() + 600000, lib.begin() + 640000)});
  }
  // The buckets of the finders and the pair matcher in whole arrays or in compact tables: the same runs.
  for (const row& r : rows) {
    plain_runs want = plain_model(r.in);
    for (bucket_table tables : {bucket_table::automatic, bucket_table::full, bucket_table::compact}) {
      plain_runs got = runs_of(r.in, tables);
      const std::string name = r.name + ", tables " + std::to_string(static_cast<int>(tables));
      ASSERT_EQ(got.a3.size(), want.a3.size()) << name;
      for (size_t i = 0; i < want.a3.size(); i++) {
        ASSERT_EQ(got.start[i], want.start[i]) << name << ", run " << i;
        ASSERT_EQ(got.len[i], want.len[i]) << name << ", run " << i;
        ASSERT_EQ(got.a3[i], want.a3[i]) << name << ", run " << i << " at " << want.start[i];
      }
    }
  }
}

// A run list for the later steps: (start, length, distance) per run.
convert make_runs(const std::vector<std::array<int32_t, 3>>& runs, int32_t n) {
  convert c;
  c.count = static_cast<int32_t>(runs.size());
  c.a3 = raw_array<int32_t>(runs.size() + 1);
  c.starts = raw_array<int32_t>(runs.size() + 1);
  for (size_t i = 0; i < runs.size(); i++) {
    c.starts[i] = runs[i][0];
    c.a3[i] = runs[i][2];
    const int32_t next = i + 1 < runs.size() ? runs[i + 1][0] : n;
    EXPECT_EQ(runs[i][0] + runs[i][1], next) << "runs are back to back";
  }
  c.starts[runs.size()] = n;
  return c;
}

// One-byte runs over data[0..R), run j with distance 1000 + j.
convert single_byte_runs(int32_t runs) {
  std::vector<std::array<int32_t, 3>> r;
  for (int32_t j = 0; j < runs; j++) r.push_back({j, 1, 1000 + j});
  return make_runs(r, runs);
}

TEST(MixedModel, pair_hash_is_the_string_hash) {
  // Every length up to two longest runs, from every alignment, with bytes after the end that must not count.
  bytes b = random_bytes(2 * max_run_length + 16, 21);
  for (int32_t len = 1; len <= 2 * max_run_length; len++)
    for (int32_t at : {0, 1, 3, 7}) {
      if (at + len + 8 > static_cast<int32_t>(b.size())) continue;
      ASSERT_EQ(pair_hash(b.data() + at, len), fasthash64(b.data() + at, len)) << "length " << len << " at " << at;
    }
}

TEST(MixedModel, pair_matching_thresholds) {
  struct row {
    const char* name;
    int32_t runs, copy_at;  // the pair (0, 1) is repeated at runs copy_at, copy_at + 1
    bool matched;
  };
  const row rows[] = {
      {"51 runs, the only new entry", 51, 0, false},
      {"60 runs, the last new entry", 60, 9, true},
      {"60 runs, among the last 50 pairs", 60, 10, false},
      {"50 runs: no pair matching", 50, 5, false},
  };
  for (const row& r : rows) {
    mixed_stream s(static_cast<size_t>(r.runs));
    for (int32_t j = 0; j < r.runs; j++) s.data()[j] = static_cast<uint8_t>(j + 1);
    if (r.copy_at) s.data()[r.copy_at] = 1, s.data()[r.copy_at + 1] = 2;
    convert c = single_byte_runs(r.runs);
    match_pairs(s.data(), &c);
    for (int32_t j = 0; j < r.runs; j++) {
      const bool copy = r.matched && (j == r.copy_at || j == r.copy_at + 1);
      EXPECT_EQ(c.a3[j], copy ? r.copy_at : 1000 + j) << r.name << ", run " << j;
    }
  }
}

TEST(MixedModel, refinement_thresholds_and_the_prefix_bound) {
  struct row {
    const char* name;
    int32_t runs, from, distance;
    int32_t changed;  // the run that takes the distance, or -1
  };
  const row rows[] = {
      // Forward pass (21 runs and more): run 0 offers its distance to runs 1 to 4.
      {"source at -256 is allowed", 21, 0, 257, 1},
      {"source at -257 is not: the next run takes it", 21, 0, 258, 2},
      {"20 runs: no refinement", 20, 0, 257, -1},
      // Backward pass (22 runs and more): the last run offers its distance to the four runs before it.
      {"backward from the last run", 22, 21, 5, 20},
  };
  for (const row& r : rows) {
    mixed_stream s(static_cast<size_t>(r.runs));
    for (int c = 0; c < 256; c++) s.data()[c - 256] = static_cast<uint8_t>(c);
    std::memset(s.data(), 0, static_cast<size_t>(r.runs));  // every byte 0, as is the prefix byte at -256
    convert c = single_byte_runs(r.runs);
    c.a3[r.from] = r.distance;
    refine_runs(s.data(), &c);
    for (int32_t j = 0; j < r.runs; j++) {
      if (j == r.from) continue;
      // Other runs do not take the offered distances of 1000 + j: their sources lie before the prefix.
      EXPECT_EQ(c.a3[j], j == r.changed ? r.distance : 1000 + j) << r.name << ", run " << j;
    }
  }
}

TEST(MixedModel, merge_keeps_runs_within_254) {
  convert c = make_runs({{0, 1, 256}, {1, 200, 1}, {201, 54, 1}, {255, 1, 1}, {256, 10, 7}, {266, 5, 7}}, 271);
  merge_runs(&c);
  plain_runs r;
  for (int32_t i = 0; i < c.count; i++) r.a3.push_back(c.a3[i]), r.len.push_back(c.length(i)), r.start.push_back(c.starts[i]);
  EXPECT_EQ(describe(r), "0+1@256 1+254@1 255+1@1 256+15@7 ");
  EXPECT_EQ(c.starts[c.count], 271);
}

// ---- Tokens and sub-blocks ----

TEST(MixedTokens, distance_codes) {
  struct row {
    int d;
    uint8_t code;
    uint32_t extra;
    int nbits;
  };
  const row rows[] = {{1, 0, 0, 0},    {2, 8, 0, 0},     {3, 12, 0, 0},    {4, 16, 0, 0},  {5, 18, 0, 0},
                      {6, 20, 0, 0},   {7, 22, 0, 0},    {8, 24, 0, 0},    {9, 25, 0, 0},  {15, 31, 0, 0},
                      {16, 32, 0, 1},  {17, 32, 1, 1},   {100, 52, 4, 3},  {0, 1, 0, 0},
                      {2147483647, 247, (1u << 27) - 1, 27}};
  for (const row& r : rows) {
    uint8_t code;
    uint32_t extra;
    int nbits;
    EXPECT_EQ(convert_int(r.d, &code, &extra, &nbits), 0);
    EXPECT_EQ(code, r.code) << r.d;
    EXPECT_EQ(extra, r.extra) << r.d;
    EXPECT_EQ(nbits, r.nbits) << r.d;
  }
  for (int d = 1; d < 70000; d += (d < 300 ? 1 : 97)) {
    uint8_t code;
    uint32_t extra;
    int nbits;
    convert_int(d, &code, &extra, &nbits);
    ASSERT_EQ(distance_of_code(code, extra), uint64_t(d)) << d;
  }
}

TEST(MixedTokens, literal_thresholds) {
  struct row {
    int32_t length, start, d;
    bool literal;
  };
  const row rows[] = {
      {1, 100, 7, false},         {1, 100, 8, true},          {2, 1000, 127, false},     {2, 1000, 128, true},
      {3, 5000, 2047, false},     {3, 5000, 2048, true},      {4, 40000, 32767, false},  {4, 40000, 32768, true},
      {5, 1 << 20, (1 << 19) - 1, false}, {5, 1 << 20, 1 << 19, true}, {6, 1 << 24, 1 << 23, true},
      {6, 1 << 24, (1 << 23) - 1, false}, {7, 1 << 28, 1 << 27, true}, {7, 1 << 28, (1 << 27) - 1, false},
      {8, 1 << 30, 1 << 29, false}, {8, 100, 100, true},     {254, 101, 100, false},    {1, 1, 1, true},
  };
  for (const row& r : rows)
    EXPECT_EQ(literal_run(r.length, r.start, r.d), r.literal) << r.length << " " << r.start << " " << r.d;
}

// The raw sub-blocks as byte vectors.
std::array<bytes, 7> raw_of(const section_tokens& t) {
  std::array<bytes, 7> r;
  for (int k = 0; k < 7; k++) r[k] = to_vec(t.sub[k], t.size[k]);
  return r;
}

TEST(MixedTokens, one_run_is_one_literal_token) {
  for (size_t n : {0, 1}) {
    mixed_stream s = stream_of(bytes(n, 9));
    convert c = section_runs(s.data(), static_cast<int32_t>(n));
    section_tokens t = ordercv2_tokens(&c, s.data());
    std::array<bytes, 7> raw = raw_of(t);
    EXPECT_EQ(raw[0], bytes{0});
    EXPECT_TRUE(raw[1].empty() && raw[2].empty() && raw[5].empty());
    EXPECT_EQ(raw[3], bytes{1});
    EXPECT_EQ(raw[4], bytes{uint8_t(n ? 9 : 0)});
    EXPECT_EQ(raw[6], bytes{0});
  }
}

TEST(MixedTokens, repeat_types_and_literal_tokens) {
  // Runs of 10 bytes with distances below their starts are match runs; runs 1 to 20 never repeat.
  auto base = [] {
    std::vector<std::array<int32_t, 3>> r = {{0, 10, 300}};
    for (int32_t i = 1; i <= 20; i++) r.push_back({10 * i, 10, i});
    return r;
  };
  struct row {
    const char* name;
    std::vector<std::array<int32_t, 3>> extra;  // runs after the first 21
    bytes types;                                  // token types from the 22nd token on
    bytes literal_lengths;
  };
  const row rows[] = {
      {"repeat of the previous run", {{210, 10, 20}}, {3}, {10}},
      {"repeat nine runs back", {{210, 10, 12}}, {11}, {10}},
      {"ten runs back is a new distance", {{210, 10, 11}}, {1}, {10}},
      {"nearest first", {{210, 10, 12}, {220, 10, 12}}, {11, 3}, {10}},
      {"a merged literal run takes no token", {{210, 100, 300}, {310, 100, 400}, {410, 10, 20}}, {0, 4}, {10, 200}},
      {"over 249 literal bytes open a new token",
       {{210, 200, 300}, {410, 100, 500}, {510, 10, 20}},
       {0, 0, 5},
       {10, 200, 100}},
      {"a 249-byte literal token", {{210, 200, 300}, {410, 49, 500}}, {0}, {10, 249}},
      {"runs 1 to 20 never repeat, even the same distance", {}, {}, {10}},
  };
  for (const row& r : rows) {
    std::vector<std::array<int32_t, 3>> runs = base();
    if (r.extra.empty())
      for (int32_t i = 1; i <= 20; i++) runs[i][2] = 5;
    runs.insert(runs.end(), r.extra.begin(), r.extra.end());
    const int32_t n = runs.back()[0] + runs.back()[1];
    mixed_stream s = stream_of(random_bytes(static_cast<size_t>(n), 4));
    convert c = make_runs(runs, n);
    section_tokens t = ordercv2_tokens(&c, s.data());
    std::array<bytes, 7> raw = raw_of(t);
    bytes types(1, 0);
    types.insert(types.end(), 20, 1);
    types.insert(types.end(), r.types.begin(), r.types.end());
    EXPECT_BYTES_EQ(types, raw[0]) << r.name;
    EXPECT_BYTES_EQ(r.literal_lengths, raw[3]) << r.name;
    // The literal bytes are those of the literal runs, in order.
    bytes literals;
    for (int32_t i = 0; i < c.count; i++)
      if (c.a3[i] == 0) literals.insert(literals.end(), s.data() + runs[i][0], s.data() + runs[i][0] + runs[i][1]);
    EXPECT_BYTES_EQ(literals, raw[4]) << r.name;
  }
}

TEST(MixedTokens, extra_bits_and_the_storage_rule) {
  // Run 0 literal (raw length of sub-block 5 = its length), then new distances with extra bits. Runs of distance
  // 1 (codes without extra bits) fill the stream up to where the distances fit behind the runs' starts.
  struct row {
    const char* name;
    int32_t first_length, distances, distance_base;
    uint32_t stored5;  // 0 means "coded": anything but the raw length
    bytes extra;       // expected sub-block 7 when short
  };
  const row rows[] = {
      {"100 literal bytes stored as they are", 100, 0, 0, 100, {0}},
      {"101 literal bytes coded", 101, 0, 0, 0, {0}},
      {"one distance 16: one extra bit 0", 2, 1, 16, 2, {0}},
      {"distances 17 and 100", 2, 2, 0, 2, {1 | 4 << 1}},
      {"60 distances of 17 bits: 128 bytes kept as they are", 2, 60, 1 << 20, 2, {}},
  };
  for (const row& r : rows) {
    std::vector<std::array<int32_t, 3>> runs = {{0, r.first_length, 300}};
    int32_t at = r.first_length;
    for (; r.distances && at < 1 << 21; at += max_run_length)
      runs.push_back({at, std::min(max_run_length, (1 << 21) - at), 1});
    at = std::min(at, 1 << 21);
    for (int32_t i = 0; i < r.distances; i++) {
      int32_t d = r.distance_base ? r.distance_base + 7 * i : (i == 0 ? 17 : 100);
      runs.push_back({at, 20, d});
      at += 20;
    }
    mixed_stream s = stream_of(random_bytes(static_cast<size_t>(r.first_length), 8));
    convert c = make_runs(runs, at);
    section_tokens t = ordercv2_tokens(&c, s.data());
    if (!r.extra.empty()) { EXPECT_BYTES_EQ(r.extra, to_vec(t.sub[6], t.size[6])) << r.name; }
    out_buffer out;
    write_sub_blocks(t, &out);
    // Walk the seven headers.
    size_t pos = 0;
    for (int k = 0; k < 7; k++) {
      const uint32_t stored = get_u32(out.buf.data() + pos), raw = get_u32(out.buf.data() + pos + 4);
      EXPECT_EQ(raw, t.size[k]) << r.name << ", sub-block " << k + 1;
      if (k == 6 || raw <= 100) {
        EXPECT_EQ(stored, raw) << r.name << ", sub-block " << k + 1;
      } else {
        EXPECT_NE(stored, raw) << r.name << ", sub-block " << k + 1;
      }
      if (k == 4 && r.stored5) { EXPECT_EQ(stored, r.stored5) << r.name; }
      pos += 8 + stored;
    }
    EXPECT_EQ(pos, out.pos) << r.name;
  }
}

// ---- Sections and files ----

// A section as the encoder writes it.
bytes section_of(const bytes& stream) {
  mixed_stream s = stream_of(stream);
  out_buffer out;
  encode_section(s.data(), static_cast<int32_t>(s.size), &out);
  return to_vec(out.buf.data(), out.pos);
}

TEST(MixedSection, streams_come_back) {
  struct row {
    const char* name;
    bytes in;
  };
  bytes periodic(100);
  for (size_t i = 0; i < 100; i++) periodic[i] = static_cast<uint8_t>(i % 7);
  const row rows[] = {
      {"empty", {}},
      {"one byte", {42}},
      {"40 zeros", bytes(40, 0)},
      {"40 bytes of 255", bytes(40, 255)},
      {"300 zeros", bytes(300, 0)},
      {"100-byte periodic stream", periodic},
      {"random", random_bytes(5000, 2)},
      {"guard-reaching", {0x38, 0x41, 0x38, 0x40, 0x38, 0x43, 0x38, 0x40, 0x38, 0x00, 1, 2, 3}},
  };
  for (const row& r : rows) {
    bytes sec = section_of(r.in);
    EXPECT_EQ(get_u32(sec.data()), r.in.size()) << r.name;
    EXPECT_EQ(get_u32(sec.data() + 4), sec.size() - 8) << r.name;
    mixed_stream back;
    EXPECT_EQ(decode_section(sec.data(), sec.size(), r.in.size(), &back), sec.size()) << r.name;
    EXPECT_BYTES_EQ(r.in, to_vec(back)) << r.name;
  }
}

// A mixed file from given streams (consistent or not), in section order.
bytes file_of(uint32_t n, const std::array<bytes, 7>& streams) {
  bytes f(8);
  put_u32(f.data(), mode_mixed);
  put_u32(f.data() + 4, n);
  for (const bytes& s : streams) {
    bytes sec = section_of(s);
    f.insert(f.end(), sec.begin(), sec.end());
  }
  return f;
}

TEST(MixedFile, layout_of_small_inputs) {
  // One byte: one periodic block; two chunks of the periodic stream.
  bytes one = {7};
  std::optional<byte_buffer> f = encode_mixed(one.data(), 1, SIZE_MAX);
  ASSERT_TRUE(f);
  EXPECT_EQ(get_u32(f->data()), uint32_t(mode_mixed));
  EXPECT_EQ(get_u32(f->data() + 4), 1u);
  const uint32_t expected_lengths[7] = {0, 0, 0, 1, 2, 16, 1};
  size_t pos = 8;
  for (int k = 0; k < 7; k++) {
    EXPECT_EQ(get_u32(f->data() + pos), expected_lengths[k]) << "section " << k + 1;
    pos += 8 + get_u32(f->data() + pos + 4);
  }
  EXPECT_EQ(pos, f->size());
  // The same file built from its streams. The first chunk is 7 and 63 zeros: strides 64 and 68 never meet the 7
  // inside the chunk, and the smaller wins the tie, so only byte 0 is an exception; the second chunk is zeros.
  bytes chunks_flags(16, 0);
  chunks_flags[0] = 0x80;
  EXPECT_BYTES_EQ(file_of(1, {bytes{}, bytes{}, bytes{}, bytes{1}, bytes{64, 4}, chunks_flags, bytes{7}}),
                  to_vec(*f));
}

// The file of a whole input equals its seven streams encoded one by one, each section with tables of its own
// (the file shares one workspace per worker, and picks its tables by the longest stream), with one worker or two.
TEST(MixedFile, equals_its_sections_encoded_alone) {
  // gdb's first 2.5 MB hold over a megabyte of code: with two workers, the second one runs the eight-byte finder
  // of that section before it takes sections of its own.
  for (const char* p : {"/usr/lib/x86_64-linux-gnu/libstdc++.so.6", "/bin/ls", "/usr/bin/gdb"}) {
    bytes in = file_bytes(p, 2500000);
    if (in.empty()) continue;
    block_classes bc = classify_blocks(in.data(), int64_t(in.size()));
    mixed_stream& periodic = bc.streams[class_periodic];
    stride_streams ss = stride_transform(periodic.data(), int64_t(periodic.size));
    bytes expected = file_of(uint32_t(in.size()),
                             {to_vec(bc.streams[class_code]), to_vec(bc.streams[class_text]),
                              to_vec(bc.streams[class_other]), to_vec(bc.classes), to_vec(ss.strides),
                              to_vec(ss.flags), to_vec(ss.exceptions)});
    for (int workers : {1, 2}) {
      std::optional<byte_buffer> f = encode_mixed(in.data(), in.size(), SIZE_MAX, workers);
      ASSERT_TRUE(f) << p;
      EXPECT_BYTES_EQ(expected, to_vec(*f)) << p << ", " << workers << " workers";
    }
  }
}

TEST(MixedFile, size_limit_with_either_worker_count) {
  // Random bytes come out larger than they are, however the sections are shared out; the code of a real binary
  // fits a limit of its own size.
  bytes noise = random_bytes(1500000, 17);
  bytes lib = file_bytes("/usr/lib/x86_64-linux-gnu/libstdc++.so.6", 1500000);
  for (int workers : {1, 2}) {
    EXPECT_FALSE(encode_mixed(noise.data(), noise.size(), noise.size() + 4, workers)) << workers;
    if (!lib.empty()) {
      EXPECT_TRUE(encode_mixed(lib.data(), lib.size(), lib.size() + 4, workers)) << workers;
    }
  }
}

TEST(MixedFile, round_trips) {
  struct row {
    std::string name;
    bytes in;
  };
  std::vector<row> rows = {
      {"empty", {}},
      {"one byte", {0xE8}},
      {"100 bytes", random_bytes(100, 1)},
      {"101 bytes", random_bytes(101, 2)},
      {"zeros", bytes(1000, 0)},
      {"random", random_bytes(20000, 3)},
  };
  bytes records;
  for (int i = 0; i < 3000; i++) {
    const uint8_t rec[12] = {1, 0, 0, 0, uint8_t(i), uint8_t(i >> 8), 0x40, 0, 7, 0, 0, uint8_t(i % 5)};
    records.insert(records.end(), rec, rec + 12);
  }
  rows.push_back({"records", records});
  for (const char* p : {"/bin/ls", "/usr/lib/x86_64-linux-gnu/libstdc++.so.6", "/usr/bin/gdb"}) {
    bytes b = file_bytes(p, 3000000);
    if (!b.empty()) rows.push_back({p, b});
  }
  for (const row& r : rows) {
    std::optional<byte_buffer> f = encode_mixed(r.in.data(), r.in.size(), SIZE_MAX);
    ASSERT_TRUE(f) << r.name;
    byte_buffer back = decompress_mixed_buffer(f->data(), f->size());
    EXPECT_BYTES_EQ(r.in, to_vec(back)) << r.name;
    std::optional<byte_buffer> kept = compress_mixed_buffer(r.in.data(), r.in.size());
    EXPECT_EQ(kept.has_value(), f->size() <= r.in.size() + 4) << r.name;
    if (r.in.size() > 1000000) {
      EXPECT_LT(f->size(), r.in.size() / 2) << r.name;
    }
  }
}

TEST(MixedFile, damaged_files_are_refused) {
  bytes lib = file_bytes("/bin/ls", 12000);
  if (lib.size() < 3000) lib = random_bytes(3000, 6);
  std::optional<byte_buffer> good = encode_mixed(lib.data(), lib.size(), SIZE_MAX);
  ASSERT_TRUE(good);
  const bytes file = to_vec(*good);
  // Every cut of the file, and the file with a byte added, with one worker and two.
  for (int workers : {1, 2})
    for (size_t cut = 0; cut < file.size(); cut += (cut < 100 ? 1 : 97))
      EXPECT_THROW(decompress_mixed_buffer(file.data(), cut, workers), qarn_error) << "cut at " << cut;
  bytes longer = file;
  longer.push_back(0);
  EXPECT_THROW(decompress_mixed_buffer(longer.data(), longer.size()), qarn_error);

  // Files whose sections decode but do not fit together.
  const bytes z100(100, 0);
  bytes flags16(16, 0);
  struct row {
    const char* name;
    uint32_t n;
    std::array<bytes, 7> streams;
  };
  const row rows[] = {
      {"class byte above 3", 100, {z100, bytes{}, bytes{}, bytes{4}, bytes{}, bytes{}, bytes{}}},
      {"code stream too short", 200, {z100, bytes{}, bytes{}, bytes{0, 0}, bytes{}, bytes{}, bytes{}}},
      {"class array too long", 100, {z100, bytes{}, bytes{}, bytes{0, 0}, bytes{}, bytes{}, bytes{}}},
      {"flag stream not 8 per stride", 100, {bytes{}, bytes{}, bytes{}, bytes{1}, bytes{4, 4}, bytes(15, 0), bytes{}}},
      {"exceptions do not match the flags", 100, {bytes{}, bytes{}, bytes{}, bytes{1}, bytes{4, 4}, flags16, bytes{1}}},
      {"periodic stream too short", 100, {bytes{}, bytes{}, bytes{}, bytes{1}, bytes{4}, bytes(8, 0), bytes{}}},
      {"stride the encoder never picks", 100, {bytes{}, bytes{}, bytes{}, bytes{1}, bytes{4, 3}, flags16, bytes{}}},
  };
  for (const row& r : rows) {
    bytes f = file_of(r.n, r.streams);
    EXPECT_THROW(decompress_mixed_buffer(f.data(), f.size()), qarn_error) << r.name;
  }
  // The same streams made consistent decode.
  bytes ok = file_of(100, {bytes{}, bytes{}, bytes{}, bytes{1}, bytes{4, 4}, flags16, bytes{}});
  EXPECT_EQ(to_vec(decompress_mixed_buffer(ok.data(), ok.size())), bytes(100, 0));

  // Damage inside one section.
  struct edit {
    const char* name;
    size_t offset;  // into the first section of a file of 40 zero bytes
    uint32_t value;
  };
  bytes zeros40 = to_vec(*encode_mixed(bytes(40, 0).data(), 40, SIZE_MAX));
  const size_t sec5 = [&] {
    size_t pos = 8;
    for (int k = 0; k < 4; k++) pos += 8 + get_u32(zeros40.data() + pos + 4);
    return pos;
  }();
  const edit edits[] = {
      {"mode number", 0, mode_stored},
      {"stream length of a section", sec5, 3},
      {"body size of a section", sec5 + 4, 1000},
      {"raw length of a sub-block", sec5 + 8 + 4, 7},
  };
  for (const edit& e : edits) {
    bytes f = zeros40;
    put_u32(f.data() + e.offset, e.value);
    for (int workers : {1, 2})
      EXPECT_THROW(decompress_mixed_buffer(f.data(), f.size(), workers), qarn_error) << e.name << ", " << workers;
  }
}

TEST(MixedFile, tokens_the_encoder_never_writes_are_refused) {
  struct row {
    const char* name;
    std::array<bytes, 7> raw;  // the seven sub-blocks of one section of a 4-byte stream
    bool ok;
  };
  const row rows[] = {
      {"literals then a copy", {bytes{0, 1}, {}, {3}, {1}, {5}, {0}, {0}}, true},
      {"source before the stream", {bytes{0, 1}, {}, {3}, {1}, {5}, {8}, {0}}, false},
      {"first token of type 2", {bytes{2}, {4}, {}, {}, {}, {}, {0}}, false},
      {"repeat of a literal token", {bytes{0, 3}, {3}, {}, {1}, {5}, {}, {0}}, false},
      {"type above 11", {bytes{0, 1, 12}, {1}, {2}, {1}, {5}, {0}, {0}}, false},
      {"too few literal bytes", {bytes{0, 1}, {}, {3}, {2}, {5}, {0}, {0}}, false},
      {"copy past the end", {bytes{0, 1}, {}, {4}, {1}, {5}, {0}, {0}}, false},
      {"extra bits missing", {bytes{0, 1}, {}, {3}, {1}, {5}, {32}, {}}, false},
  };
  for (const row& r : rows) {
    section_tokens t;
    t.own = byte_buffer(7 * 16);
    for (int k = 0; k < 7; k++) {
      t.sub[k] = t.own.data() + 16 * k;
      if (!r.raw[k].empty()) std::memcpy(t.sub[k], r.raw[k].data(), r.raw[k].size());
      t.size[k] = r.raw[k].size();
    }
    out_buffer out;
    write_sub_blocks(t, &out);
    bytes sec(8);
    put_u32(sec.data(), 4);
    put_u32(sec.data() + 4, uint32_t(out.pos));
    sec.insert(sec.end(), out.buf.data(), out.buf.data() + out.pos);
    mixed_stream back;
    if (r.ok) {
      decode_section(sec.data(), sec.size(), 4, &back);
      EXPECT_BYTES_EQ((bytes{5, 5, 5, 5}), to_vec(back)) << r.name;
    } else {
      EXPECT_THROW(decode_section(sec.data(), sec.size(), 4, &back), qarn_error) << r.name;
    }
  }
}

// ---- Through the program ----

class MixedCommand : public scratch_test {};

TEST_F(MixedCommand, binaries_round_trip_and_incompressible_input_is_stored) {
  struct row {
    const char* name;
    bytes in;
    uint32_t mode;
  };
  bytes ls = file_bytes("/bin/ls");
  if (ls.empty()) ls = bytes(5000, 0);
  const row rows[] = {
      {"a binary", ls, mode_mixed},
      {"random bytes", random_bytes(5000, 7), mode_stored},
      {"empty", {}, mode_stored},
  };
  for (const row& r : rows) {
    write_bytes(path("in.dat"), r.in);
    run_result c = run_qarn({"-c", path("in.dat"), path("packed")});
    EXPECT_EQ(c.status, 0) << r.name;
    EXPECT_EQ(c.output, "Compressing mixed\n") << r.name;
    const bytes packed = read_bytes(path("packed"));
    ASSERT_GE(packed.size(), 4u) << r.name;
    EXPECT_EQ(get_u32(packed.data()), r.mode) << r.name;
    if (r.mode == mode_stored) { EXPECT_EQ(packed.size(), r.in.size() + 4) << r.name; }
    run_result d = run_qarn({"-d", path("packed"), path("out")});
    EXPECT_EQ(d.status, 0) << r.name;
    EXPECT_BYTES_EQ(r.in, read_bytes(path("out"))) << r.name;
  }
}

TEST_F(MixedCommand, damaged_files_are_refused_without_output) {
  bytes zeros = to_vec(*encode_mixed(bytes(300, 0).data(), 300, SIZE_MAX));
  bytes cut(zeros.begin(), zeros.end() - 1);
  bytes bad_class = file_of(100, {bytes(100, 0), bytes{}, bytes{}, bytes{9}, bytes{}, bytes{}, bytes{}});
  struct row {
    const char* name;
    bytes file;
    uintmax_t size;  // a sparse file of this size instead, when nonzero
  };
  const row rows[] = {
      {"cut short", cut, 0},
      {"class byte above 3", bad_class, 0},
      {"500,000,000 bytes", zeros, 500000000},
  };
  for (const row& r : rows) {
    write_bytes(path("bad"), r.file);
    if (r.size) fs::resize_file(path("bad"), r.size);
    run_result d = run_qarn({"-d", path("bad"), path("out")});
    EXPECT_EQ(d.status, 1) << r.name;
    EXPECT_EQ(d.output, "Decompressing mixed\nFile " + path("bad").string() + " is corrupt\n") << r.name;
    EXPECT_FALSE(fs::exists(path("out"))) << r.name;
  }
}

}  // namespace
