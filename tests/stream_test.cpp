// stream_test.cpp — the .qz stream through the C interface: round trips of every kind of input at every block size,
// offered and drained in pieces of any size; concatenations, skippable frames and trailing bytes; every cut and
// every flipped bit refused; headers refused as soon as they are read; frames without checksums; plain qarn files;
// where blocks end; and what the contexts refuse. Last, the library's own decoder handing restored bytes straight
// on (qz's path to a named file): the same bytes and the same refusals.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "helpers.h"
#include "libqarn.h"
#include "stream.h"

namespace {

using params_ptr = std::unique_ptr<qarn_params, decltype(&qarn_params_free)>;
using cstream_ptr = std::unique_ptr<qarn_cstream, decltype(&qarn_cstream_free)>;
using dstream_ptr = std::unique_ptr<qarn_dstream, decltype(&qarn_dstream_free)>;

struct settings {
  int64_t mode = -1;
  int64_t block_size = QARN_DEFAULT_BLOCK_SIZE;
  int64_t checksum = 1;
};

params_ptr params_for(const settings& s) {
  params_ptr p(qarn_params_create(), qarn_params_free);
  EXPECT_EQ(QARN_OK, qarn_params_set(p.get(), QARN_PARAM_MODE, s.mode));
  EXPECT_EQ(QARN_OK, qarn_params_set(p.get(), QARN_PARAM_BLOCK_SIZE, s.block_size));
  EXPECT_EQ(QARN_OK, qarn_params_set(p.get(), QARN_PARAM_CHECKSUM, s.checksum));
  return p;
}

bytes concat(std::initializer_list<bytes> parts) {
  bytes all;
  for (const bytes& b : parts) all.insert(all.end(), b.begin(), b.end());
  return all;
}

// The one-shot call's stream, in an output of the bound's size.
bytes stream_of(const bytes& in, const settings& s = {}) {
  params_ptr p = params_for(s);
  bytes out(qarn_stream_compress_bound(in.size(), p.get()));
  size_t n = 0;
  EXPECT_EQ(QARN_OK, qarn_stream_compress(p.get(), in.data(), in.size(), out.data(), out.size(), &n));
  out.resize(n);
  return out;
}

struct restored {
  qarn_status status;
  bytes out;  // what was written before the call ended
};

// The one-shot call's restoration, with room for `room` bytes.
restored restore(const bytes& stream, size_t room) {
  bytes out(room);
  size_t n = 0;
  const qarn_status s = qarn_stream_decompress(nullptr, stream.data(), stream.size(), out.data(), out.size(), &n);
  out.resize(n);
  return {s, out};
}

// Sizes of pieces as a caller offers them: from one byte to a megabyte, mostly small.
class piece_sizes {
 public:
  explicit piece_sizes(uint32_t seed) : rng_(seed) {}
  size_t next() {
    static const size_t reach[] = {1, 2, 5, 16, 100, 1000, 10000, size_t{1} << 20};
    return 1 + rng_() % reach[rng_() % 8];
  }

 private:
  std::mt19937 rng_;
};

constexpr size_t window_room = size_t{1} << 20;

// The stream of `in` from a context offered the input in pieces of random sizes and draining its output into
// windows of random sizes (each starting at a random position of a scratch buffer); the content size recorded
// first when `sized`.
bytes stream_in_pieces(const bytes& in, const settings& s, uint32_t seed, bool sized) {
  params_ptr p = params_for(s);
  cstream_ptr c(qarn_cstream_create(p.get()), qarn_cstream_free);
  if (sized) {
    EXPECT_EQ(QARN_OK, qarn_cstream_set_content_size(c.get(), in.size()));
  }
  piece_sizes sizes(seed);
  bytes out, scratch(window_room + 16);
  size_t at = 0;
  for (int calls = 0; calls < 10000000; calls++) {
    const size_t piece = std::min(sizes.next(), in.size() - at);
    const bool end = at + piece == in.size();
    qarn_in_buffer i{in.data() + at, piece, 0};
    const size_t from = sizes.next() % 16;
    qarn_out_buffer o{scratch.data(), from + std::min(sizes.next(), window_room), from};
    size_t pending = 99;
    const qarn_status st = qarn_compress_stream(c.get(), &o, &i, end ? QARN_END : QARN_CONTINUE, &pending);
    EXPECT_EQ(QARN_OK, st);
    if (st != QARN_OK) return out;
    EXPECT_LE(i.pos, piece);
    EXPECT_LE(o.pos, o.size);
    out.insert(out.end(), scratch.begin() + static_cast<ptrdiff_t>(from),
               scratch.begin() + static_cast<ptrdiff_t>(o.pos));
    at += i.pos;
    if (end && at == in.size() && pending == 0) return out;
  }
  ADD_FAILURE() << "the context never finished";
  return out;
}

// A stream restored by a context offered it in pieces of random sizes, its output drained into windows of random
// sizes; the status that ended it and everything written before.
restored restore_in_pieces(const bytes& stream, uint32_t seed) {
  dstream_ptr d(qarn_dstream_create(nullptr), qarn_dstream_free);
  piece_sizes sizes(seed);
  bytes out, scratch(window_room + 16);
  size_t at = 0;
  for (int calls = 0; calls < 10000000; calls++) {
    const size_t piece = std::min(sizes.next(), stream.size() - at);
    const bool last = at + piece == stream.size();
    qarn_in_buffer i{stream.data() + at, piece, 0};
    const size_t from = sizes.next() % 16;
    qarn_out_buffer o{scratch.data(), from + std::min(sizes.next(), window_room), from};
    int finished = 7;
    const qarn_status st = qarn_decompress_stream(d.get(), &o, &i, last, &finished);
    EXPECT_LE(i.pos, piece);
    EXPECT_LE(o.pos, o.size);
    out.insert(out.end(), scratch.begin() + static_cast<ptrdiff_t>(from),
               scratch.begin() + static_cast<ptrdiff_t>(o.pos));
    at += i.pos;
    if (st != QARN_OK) {
      EXPECT_EQ(0, finished);
      return {st, out};
    }
    if (finished) {
      EXPECT_TRUE(last);
      EXPECT_EQ(stream.size(), at);
      return {QARN_OK, out};
    }
  }
  ADD_FAILURE() << "the context never finished";
  return {QARN_ERROR_INTERNAL, out};
}

// ---- The layout, as far as these tests look at it. ----

uint32_t u32_at(const bytes& b, size_t at) {
  return uint32_t{b.at(at)} | uint32_t{b.at(at + 1)} << 8 | uint32_t{b.at(at + 2)} << 16 |
         uint32_t{b.at(at + 3)} << 24;
}
uint64_t u64_at(const bytes& b, size_t at) { return u32_at(b, at) | uint64_t{u32_at(b, at + 4)} << 32; }
void put_u32_at(bytes& b, size_t at, uint32_t v) {
  for (int k = 0; k < 4; k++) b.at(at + k) = static_cast<uint8_t>(v >> 8 * k);
}
uint32_t check_of(const uint8_t* p, size_t n) { return static_cast<uint32_t>(XXH3_64bits(p, n)); }

struct block_info {
  size_t at;          // of its header in the stream
  uint32_t stored;    // C
  uint32_t original;  // O
  uint32_t mode;      // of its qarn file
};
struct frame_info {
  uint8_t flags;
  uint32_t block_size;
  uint64_t content_size;
  std::vector<block_info> blocks;  // the end mark not included
};

// The frames of a stream (frames only, no skippable ones) by their headers; every frame must be whole, and the
// stream must end with the last one.
std::vector<frame_info> walk(const bytes& s) {
  std::vector<frame_info> frames;
  size_t at = 0;
  while (at < s.size()) {
    frame_info f{};
    EXPECT_EQ(0x0a5a51b7u, u32_at(s, at));
    f.flags = s.at(at + 5);
    f.block_size = u32_at(s, at + 8);
    const size_t header = f.flags & 1 ? 24 : 16;
    if (f.flags & 1) f.content_size = u64_at(s, at + 12);
    EXPECT_EQ(check_of(s.data() + at, header - 4), u32_at(s, at + header - 4));
    at += header;
    for (;;) {
      block_info b{at, u32_at(s, at), u32_at(s, at + 4), 0};
      EXPECT_EQ(check_of(s.data() + at, 12), u32_at(s, at + 12));
      EXPECT_EQ(b.stored ? check_of(s.data() + at + 16, b.stored) : 0u, u32_at(s, at + 8));
      at += 16;
      if (b.stored == 0 && b.original == 0) break;
      b.mode = u32_at(s, at);
      at += b.stored + (f.flags & 2 ? 8 : 0);
      f.blocks.push_back(b);
    }
    at += f.flags & 4 ? 8 : 0;
    frames.push_back(f);
  }
  EXPECT_EQ(s.size(), at);
  return frames;
}

bytes skippable(size_t n, uint8_t fill = 0x5a) {
  bytes b = {0xb6, 0x51, 0x5a, 0x0a, 0, 0, 0, 0};
  put_u32_at(b, 4, static_cast<uint32_t>(n));
  b.insert(b.end(), n, fill);
  return b;
}

// A text that its content shows to be text and that text mode codes in less than it takes stored (its tables take
// about 2.5 KB): 3300 bytes in 3065.
bytes coded_text() { return prose(3300, 4, 5); }

// One frame of three blocks, checksums on: a text block (text mode), random bytes (stored) and a short text
// (stored), cut where the context is told to flush: 3.7 KB.
bytes small_stream() {
  cstream_ptr c(qarn_cstream_create(nullptr), qarn_cstream_free);
  const bytes parts[] = {coded_text(), random_bytes(200, 5), prose(300, 50, 6)};
  bytes out(64 << 10);
  qarn_out_buffer o{out.data(), out.size(), 0};
  size_t pending = 1;
  for (int k = 0; k < 3; k++) {
    qarn_in_buffer i{parts[k].data(), parts[k].size(), 0};
    EXPECT_EQ(QARN_OK, qarn_compress_stream(c.get(), &o, &i, k < 2 ? QARN_FLUSH : QARN_END, &pending));
    EXPECT_EQ(0u, pending);
  }
  out.resize(o.pos);
  return out;
}

bytes small_stream_input() { return concat({coded_text(), random_bytes(200, 5), prose(300, 50, 6)}); }

// ---- Round trips. ----

struct input_case {
  const char* name;
  bytes data;
};

std::vector<input_case> every_kind() {
  return {{"empty", {}},
          {"one byte", {'x'}},
          {"text", prose(12000, 400, 1)},
          {"photo", picture(40, 30, 2)},
          {"binary", binary(9000, 3)},
          {"random", random_bytes(5000, 4)}};
}

// Every kind of input at every block size comes back, whole or in pieces; a context gives the one-shot call's
// bytes whatever the sizes of its pieces (with the content size recorded; without it, only the header differs).
// In blocks of one byte, the inputs are cut to their first 128 bytes (the photo, one block, stays whole).
TEST(Stream, EveryInputRoundTripsAtEveryBlockSizeInPiecesOfAnySize) {
  uint32_t seed = 10;
  for (const input_case& kind : every_kind()) {
    for (int64_t block : {int64_t{1}, int64_t{100}, int64_t{4096}, int64_t{QARN_DEFAULT_BLOCK_SIZE}}) {
      SCOPED_TRACE(std::string(kind.name) + ", block size " + std::to_string(block));
      input_case in = kind;
      if (block == 1 && in.data.size() > 128 && std::string(in.name) != "photo") in.data.resize(128);
      const settings s{-1, block, 1};
      const bytes stream = stream_of(in.data, s);
      const restored whole = restore(stream, in.data.size());
      EXPECT_EQ(QARN_OK, whole.status);
      EXPECT_BYTES_EQ(in.data, whole.out);
      const restored pieces = restore_in_pieces(stream, seed++);
      EXPECT_EQ(QARN_OK, pieces.status);
      EXPECT_BYTES_EQ(in.data, pieces.out);
      EXPECT_BYTES_EQ(stream, stream_in_pieces(in.data, s, seed++, true));
      const bytes unsized = stream_in_pieces(in.data, s, seed++, false);
      ASSERT_GE(stream.size(), 24u);
      EXPECT_BYTES_EQ(bytes(stream.begin() + 24, stream.end()), bytes(unsized.begin() + 16, unsized.end()));
      EXPECT_BYTES_EQ(in.data, restore_in_pieces(unsized, seed++).out);
    }
  }
}

// A flush codes what was taken as a short block and gives it out: a decoder that has only those bytes restores
// them, and the frame goes on.
TEST(Stream, FlushGivesOutAShortBlockThatRestoresAtOnce) {
  const bytes in = prose(10000, 300, 7);
  const size_t first = 1000;
  cstream_ptr c(qarn_cstream_create(params_for({-1, 4096, 1}).get()), qarn_cstream_free);
  bytes out(qarn_stream_compress_bound(in.size(), params_for({-1, 4096, 1}).get()) + 64);
  qarn_out_buffer o{out.data(), out.size(), 0};
  qarn_in_buffer head{in.data(), first, 0};
  size_t pending = 1;
  ASSERT_EQ(QARN_OK, qarn_compress_stream(c.get(), &o, &head, QARN_FLUSH, &pending));
  EXPECT_EQ(0u, pending);
  EXPECT_EQ(first, head.pos);
  const size_t flushed = o.pos;
  // Flushing again with nothing new adds nothing.
  ASSERT_EQ(QARN_OK, qarn_compress_stream(c.get(), &o, &head, QARN_FLUSH, &pending));
  EXPECT_EQ(flushed, o.pos);

  dstream_ptr d(qarn_dstream_create(nullptr), qarn_dstream_free);
  bytes back(in.size());
  qarn_out_buffer bo{back.data(), back.size(), 0};
  qarn_in_buffer bi{out.data(), flushed, 0};
  int finished = 1;
  ASSERT_EQ(QARN_OK, qarn_decompress_stream(d.get(), &bo, &bi, 0, &finished));
  EXPECT_EQ(0, finished);
  EXPECT_EQ(flushed, bi.pos);
  EXPECT_BYTES_EQ(bytes(in.begin(), in.begin() + first), bytes(back.begin(), back.begin() + bo.pos));

  qarn_in_buffer tail{in.data() + first, in.size() - first, 0};
  ASSERT_EQ(QARN_OK, qarn_compress_stream(c.get(), &o, &tail, QARN_END, &pending));
  EXPECT_EQ(0u, pending);
  out.resize(o.pos);
  const std::vector<frame_info> frames = walk(out);
  ASSERT_EQ(1u, frames.size());
  ASSERT_GE(frames[0].blocks.size(), 3u);
  EXPECT_EQ(first, frames[0].blocks[0].original);
  EXPECT_BYTES_EQ(in, restore(out, in.size()).out);
  EXPECT_BYTES_EQ(in, restore_in_pieces(out, 20).out);
}

// ---- Concatenations and what may follow a frame. ----

// Streams one after another, with skippable frames before, between and after them, restore to their inputs one
// after another; a context that ends a frame and goes on writes the next frame as a stream of its own.
TEST(Stream, ConcatenationsRestoreTheConcatenatedInputs) {
  const bytes a_in = prose(6000, 300, 8), b_in = binary(3000, 9), c_in;
  const bytes a = stream_of(a_in), b = stream_of(b_in, {-1, 1000, 0}), c = stream_of(c_in, {0, 64, 1});
  const bytes k = skippable(5), z = skippable(0);
  const struct {
    const char* name;
    bytes stream, expected;
  } cases[] = {
      {"a b", concat({a, b}), concat({a_in, b_in})},
      {"b a c", concat({b, a, c}), concat({b_in, a_in, c_in})},
      {"k a", concat({k, a}), a_in},
      {"a k b k", concat({a, k, b, k}), concat({a_in, b_in})},
      {"k z a k b z c k", concat({k, z, a, k, b, z, c, k}), concat({a_in, b_in, c_in})},
      {"k", k, {}},
      {"k z", concat({k, z}), {}},
      {"c c", concat({c, c}), {}},
  };
  uint32_t seed = 30;
  for (const auto& t : cases) {
    SCOPED_TRACE(t.name);
    const restored whole = restore(t.stream, t.expected.size());
    EXPECT_EQ(QARN_OK, whole.status);
    EXPECT_BYTES_EQ(t.expected, whole.out);
    const restored pieces = restore_in_pieces(t.stream, seed++);
    EXPECT_EQ(QARN_OK, pieces.status);
    EXPECT_BYTES_EQ(t.expected, pieces.out);
  }

  // One context, two frames, each with its content size: the two one-shot streams.
  cstream_ptr ctx(qarn_cstream_create(nullptr), qarn_cstream_free);
  bytes out(a.size() + b.size() + 1024);
  qarn_out_buffer o{out.data(), out.size(), 0};
  size_t pending = 1;
  for (const bytes* in : {&a_in, &b_in}) {
    ASSERT_EQ(QARN_OK, qarn_cstream_set_content_size(ctx.get(), in->size()));
    qarn_in_buffer i{in->data(), in->size(), 0};
    ASSERT_EQ(QARN_OK, qarn_compress_stream(ctx.get(), &o, &i, QARN_END, &pending));
    EXPECT_EQ(0u, pending);
  }
  out.resize(o.pos);
  EXPECT_BYTES_EQ(concat({a, stream_of(b_in)}), out);
}

// Bytes after the last frame that start no frame are an error, whatever follows the frame; the blocks before them
// have been verified and written.
TEST(Stream, BytesAfterTheLastFrameThatStartNoFrameAreTrailingData) {
  const bytes in = prose(5000, 300, 11);
  const bytes a = stream_of(in, {-1, 2000, 1});
  const bytes garbage[] = {
      {'x'}, {0}, {0, 0, 0, 0}, {0xb7, 0x51, 0x5a, 0x0b}, to_bytes("some text after the stream\n"), bytes(100, 0)};
  uint32_t seed = 40;
  for (const bytes& tail : garbage) {
    for (const bytes& stream : {concat({a, tail}), concat({a, skippable(3), tail})}) {
      SCOPED_TRACE(std::to_string(tail.size()) + " bytes after " + std::to_string(stream.size() - tail.size()));
      EXPECT_EQ(QARN_ERROR_TRAILING_DATA, restore(stream, in.size()).status);
      const restored pieces = restore_in_pieces(stream, seed++);
      EXPECT_EQ(QARN_ERROR_TRAILING_DATA, pieces.status);
      EXPECT_BYTES_EQ(in, pieces.out);
    }
  }
}

// A stream cut anywhere is refused as damaged, never restored: one frame at every byte, and a concatenation at
// every byte but its frames' ends (where what is left is a whole stream).
TEST(Stream, AStreamCutAnywhereIsDamaged) {
  const bytes one = small_stream(), in = small_stream_input();
  for (size_t n = 0; n < one.size(); n++) {
    const bytes cut(one.begin(), one.begin() + static_cast<ptrdiff_t>(n));
    ASSERT_EQ(QARN_ERROR_CORRUPT, restore(cut, in.size()).status) << "cut at " << n;
  }
  const bytes a_in = to_bytes("first\n"), b_in = to_bytes("second\n");
  const bytes a = stream_of(a_in), k = skippable(4), b = stream_of(b_in, {-1, 3, 0});
  const bytes all = concat({a, k, b});
  for (size_t n = 0; n < all.size(); n++) {
    const bytes cut(all.begin(), all.begin() + static_cast<ptrdiff_t>(n));
    const restored r = restore(cut, 64);
    if (n == a.size() || n == a.size() + k.size()) {
      EXPECT_EQ(QARN_OK, r.status) << "cut at " << n;
      EXPECT_BYTES_EQ(a_in, r.out);
    } else {
      EXPECT_EQ(QARN_ERROR_CORRUPT, r.status) << "cut at " << n;
    }
  }
}

// Every bit of a stream flipped, one at a time, is refused: as damage, or as a checksum mismatch. The body checks
// cover even the bits of a text-mode file that its decoder never reads (such as the escape ranges of buckets that no
// token falls in). (A flip that turns the frame's magic into a skippable frame's leaves bytes that start no frame
// after it.)
TEST(Stream, EveryFlippedBitIsRefused) {
  const bytes stream = small_stream(), in = small_stream_input();
  const std::vector<frame_info> frames = walk(stream);
  ASSERT_EQ(1u, frames.size());
  ASSERT_EQ(3u, frames[0].blocks.size());
  EXPECT_EQ(1u, frames[0].blocks[0].mode);  // text
  EXPECT_EQ(0u, frames[0].blocks[1].mode);  // stored
  EXPECT_EQ(0u, frames[0].blocks[2].mode);
  EXPECT_EQ(6, frames[0].flags);  // both checksums
  ASSERT_LE(stream.size(), 4000u);
  // While a context lives, the working memory that each call gives back is kept for the next.
  const dstream_ptr keeper(qarn_dstream_create(nullptr), qarn_dstream_free);
  bytes damaged = stream, out(in.size());
  int corrupt = 0, checksum = 0;
  for (size_t bit = 0; bit < 8 * stream.size(); bit++) {
    damaged[bit / 8] ^= static_cast<uint8_t>(1u << bit % 8);
    size_t n = 0;
    const qarn_status s =
        qarn_stream_decompress(nullptr, damaged.data(), damaged.size(), out.data(), out.size(), &n);
    damaged[bit / 8] = stream[bit / 8];
    if (s == QARN_ERROR_CORRUPT) {
      corrupt++;
    } else if (s == QARN_ERROR_CHECKSUM) {
      checksum++;
    } else if (!(bit == 0 && s == QARN_ERROR_TRAILING_DATA)) {  // b7 becomes b6
      ADD_FAILURE() << "bit " << bit << ": " << qarn_status_string(s);
    }
  }
  // Both kinds of refusal come up: a header's check is damage, a body's a mismatch.
  EXPECT_GT(corrupt, 0);
  EXPECT_GT(checksum, 8 * 3000);
}

// ---- Headers refused as soon as they are read. ----

bytes frame_header(uint32_t block_size, uint8_t flags = 6, uint8_t version = 1, uint16_t reserved = 0,
                   uint64_t content_size = 0) {
  bytes h = {0xb7, 0x51, 0x5a, 0x0a, version, flags, static_cast<uint8_t>(reserved), static_cast<uint8_t>(reserved >> 8),
             0, 0, 0, 0};
  put_u32_at(h, 8, block_size);
  if (flags & 1) {
    for (int k = 0; k < 8; k++) h.push_back(static_cast<uint8_t>(content_size >> 8 * k));
  }
  const uint32_t check = check_of(h.data(), h.size());
  h.resize(h.size() + 4);
  put_u32_at(h, h.size() - 4, check);
  return h;
}

// A block header whose body check is `body_check` (the body itself is not there).
bytes block_header(uint32_t stored, uint32_t original, uint32_t body_check = 0) {
  bytes h(16);
  put_u32_at(h, 0, stored);
  put_u32_at(h, 4, original);
  put_u32_at(h, 8, body_check);
  put_u32_at(h, 12, check_of(h.data(), 12));
  return h;
}

// Feeds `head` to a new context, saying more input follows: the status that comes back at once.
qarn_status status_of_head(const bytes& head) {
  dstream_ptr d(qarn_dstream_create(nullptr), qarn_dstream_free);
  bytes out(1 << 16);
  qarn_out_buffer o{out.data(), out.size(), 0};
  qarn_in_buffer i{head.data(), head.size(), 0};
  int finished = 1;
  const qarn_status s = qarn_decompress_stream(d.get(), &o, &i, 0, &finished);
  EXPECT_EQ(0, finished);
  return s;
}

// A frame whose header is damaged or whose block size is out of range, and a block whose lengths break the rules,
// are refused as soon as their header is in, before any body is awaited.
TEST(Stream, HeadersThatBreakTheRulesAreRefusedBeforeTheBodyIsAwaited) {
  bytes bad_check = frame_header(1000);
  bad_check[15] ^= 1;
  const bytes hello_file = {0, 0, 0, 0, 'h', 'e', 'l', 'l', 'o'};  // the stored file of "hello"
  bytes bad_block_check = block_header(20, 16);
  bad_block_check[8] ^= 0x80;
  const struct {
    const char* name;
    bytes head;
    qarn_status expected;
  } cases[] = {
      // Controls: whole headers that the rest of the stream would follow.
      {"a frame header", frame_header(1000), QARN_OK},
      {"a frame header with a content size", frame_header(1000, 7, 1, 0, 500), QARN_OK},
      {"the largest block size", frame_header(1u << 28), QARN_OK},
      {"a block header", concat({frame_header(1000), block_header(1004, 1000)}), QARN_OK},
      {"the shortest block", concat({frame_header(1000), block_header(4, 1)}), QARN_OK},
      // Frames.
      {"block size 0", frame_header(0), QARN_ERROR_CORRUPT},
      {"block size 2^28 + 1", frame_header((1u << 28) + 1), QARN_ERROR_CORRUPT},
      {"block size 2^32 - 1", frame_header(0xffffffffu), QARN_ERROR_CORRUPT},
      {"version 0", frame_header(1000, 6, 0), QARN_ERROR_CORRUPT},
      {"version 2", frame_header(1000, 6, 2), QARN_ERROR_CORRUPT},
      {"flag bit 3", frame_header(1000, 6 | 8), QARN_ERROR_CORRUPT},
      {"flag bit 7", frame_header(1000, 6 | 128), QARN_ERROR_CORRUPT},
      {"reserved bytes", frame_header(1000, 6, 1, 0x100), QARN_ERROR_CORRUPT},
      {"header check", bad_check, QARN_ERROR_CORRUPT},
      // Blocks.
      {"O > B", concat({frame_header(1000), block_header(100, 1001)}), QARN_ERROR_CORRUPT},
      {"O > B = 2^28", concat({frame_header(1u << 28), block_header(100, (1u << 28) + 1)}), QARN_ERROR_CORRUPT},
      {"C > O + 4", concat({frame_header(1000), block_header(15, 10)}), QARN_ERROR_CORRUPT},
      {"C > B + 4", concat({frame_header(1000), block_header(1005, 1000)}), QARN_ERROR_CORRUPT},
      {"C huge", concat({frame_header(1000), block_header(0xffffffffu, 1000)}), QARN_ERROR_CORRUPT},
      {"C < 4", concat({frame_header(1000), block_header(3, 10)}), QARN_ERROR_CORRUPT},
      {"O = 0 < C", concat({frame_header(1000), block_header(4, 0)}), QARN_ERROR_CORRUPT},
      {"C = 0 < O", concat({frame_header(1000), block_header(0, 4)}), QARN_ERROR_CORRUPT},
      {"block header check", concat({frame_header(1000), bad_block_check}), QARN_ERROR_CORRUPT},
      {"O past the content size", concat({frame_header(1000, 7, 1, 0, 500), block_header(505, 501)}),
       QARN_ERROR_CORRUPT},
      {"an end mark short of the content size", concat({frame_header(1000, 7, 1, 0, 500), block_header(0, 0)}),
       QARN_ERROR_CORRUPT},
      {"a second block past the content size",
       concat({frame_header(1000, 5, 1, 0, 5), block_header(9, 5, check_of(hello_file.data(), hello_file.size())),
               hello_file, block_header(5, 1)}),
       QARN_ERROR_CORRUPT},
  };
  for (const auto& t : cases) EXPECT_EQ(t.expected, status_of_head(t.head)) << t.name;
}

// ---- Frames without checksums. ----

// Without checksums a frame says so in its flags, carries no checksum after its blocks or its end mark, and
// restores as well, whole and in pieces.
TEST(Stream, FramesWithoutChecksumsSaySoAndRestore) {
  const bytes in = concat({prose(5000, 300, 12), random_bytes(1000, 13)});
  const settings plain{-1, 1500, 0}, summed{-1, 1500, 1};
  const bytes without = stream_of(in, plain), with = stream_of(in, summed);
  const std::vector<frame_info> frames = walk(without);
  ASSERT_EQ(1u, frames.size());
  EXPECT_EQ(1, frames[0].flags);  // the content size only
  EXPECT_EQ(in.size(), frames[0].content_size);
  ASSERT_GE(frames[0].blocks.size(), 4u);
  EXPECT_EQ(with.size(), without.size() + 8 * (frames[0].blocks.size() + 1));
  EXPECT_EQ(7, walk(with)[0].flags);
  EXPECT_BYTES_EQ(in, restore(without, in.size()).out);
  EXPECT_BYTES_EQ(in, restore_in_pieces(without, 50).out);
  const bytes unsized = stream_in_pieces(in, plain, 51, false);
  EXPECT_EQ(0, walk(unsized)[0].flags);
  EXPECT_BYTES_EQ(in, restore_in_pieces(unsized, 52).out);
}

// ---- Plain qarn files. ----

// A plain qarn file of any mode restores through the stream calls, whole and in pieces. It is read whole and
// nothing may follow it: a stored file takes everything after its header (its own rule), any other file followed
// by a stream is refused.
TEST(Stream, PlainQarnFilesRestoreAndNothingMayFollowThem) {
  const struct {
    const char* name;
    qarn_mode mode;
    bytes in;
    qarn_status followed;
  } cases[] = {
      {"stored", QARN_MODE_STORED, to_bytes("hello"), QARN_OK},
      {"empty stored", QARN_MODE_STORED, {}, QARN_OK},
      {"text", QARN_MODE_TEXT, prose(30000, 200, 14), QARN_ERROR_CORRUPT},
      {"image", QARN_MODE_IMAGE, picture(50, 40, 15), QARN_ERROR_TRAILING_DATA},
      {"mixed", QARN_MODE_MIXED, records(20000, 16), QARN_ERROR_TRAILING_DATA},
  };
  const bytes after = stream_of(to_bytes("after\n"));
  uint32_t seed = 60;
  for (const auto& t : cases) {
    SCOPED_TRACE(t.name);
    const bytes file = library_file(t.mode, t.in);
    qarn_mode written;
    ASSERT_EQ(QARN_OK, qarn_file_mode(file.data(), file.size(), &written));
    ASSERT_EQ(t.mode, written);
    const restored whole = restore(file, t.in.size());
    EXPECT_EQ(QARN_OK, whole.status);
    EXPECT_BYTES_EQ(t.in, whole.out);
    const restored pieces = restore_in_pieces(file, seed++);
    EXPECT_EQ(QARN_OK, pieces.status);
    EXPECT_BYTES_EQ(t.in, pieces.out);
    // Too little room is said as such.
    if (!t.in.empty()) {
      EXPECT_EQ(QARN_ERROR_OUTPUT_TOO_SMALL, restore(file, t.in.size() - 1).status);
    }

    const bytes followed = concat({file, after});
    const restored r = restore(followed, t.in.size() + after.size());
    EXPECT_EQ(t.followed, r.status);
    EXPECT_EQ(t.followed, restore_in_pieces(followed, seed++).status);
    if (t.followed == QARN_OK) {
      EXPECT_BYTES_EQ(concat({t.in, after}), r.out);
    }
  }
}

// ---- Where blocks end. ----

// A PNM photo that image mode takes is one image block at the start of its frame whatever the block size, and the
// frame's block size holds it; the bytes after it are cut at the block size. A mode that is not image's cuts it
// like anything else.
TEST(Stream, APhotoLargerThanABlockIsOneImageBlock) {
  const bytes photo = picture(120, 90, 17), text = prose(9000, 300, 18);
  ASSERT_GT(photo.size(), 4096u * 7);
  const struct {
    int64_t mode;
    bool whole;
  } cases[] = {{-1, true}, {QARN_MODE_IMAGE, true}, {QARN_MODE_STORED, false}, {QARN_MODE_MIXED, false}};
  uint32_t seed = 70;
  for (const auto& t : cases) {
    for (const bytes& in : {photo, concat({photo, text})}) {
      SCOPED_TRACE("mode " + std::to_string(t.mode) + ", " + std::to_string(in.size()) + " bytes");
      const settings s{t.mode, 4096, 1};
      const bytes stream = stream_of(in, s);
      const std::vector<frame_info> frames = walk(stream);
      ASSERT_EQ(1u, frames.size());
      const frame_info& f = frames[0];
      ASSERT_FALSE(f.blocks.empty());
      if (t.whole) {
        EXPECT_EQ(photo.size(), f.block_size);
        EXPECT_EQ(photo.size(), f.blocks[0].original);
        EXPECT_EQ(2u, f.blocks[0].mode);
        EXPECT_EQ(in.size() > photo.size() ? 4u : 1u, f.blocks.size());  // 9000 bytes of text in blocks of 4096
      } else {
        EXPECT_EQ(4096u, f.block_size);
        EXPECT_EQ(4096u, f.blocks[0].original);
        EXPECT_NE(2u, f.blocks[0].mode);
      }
      for (size_t k = 1; k < f.blocks.size(); k++) EXPECT_LE(f.blocks[k].original, 4096u);
      EXPECT_BYTES_EQ(in, restore(stream, in.size()).out);
      EXPECT_BYTES_EQ(stream, stream_in_pieces(in, s, seed++, true));
    }
  }
}

// A text block ends after its last space or line feed (within 64 KiB of the cut), so that no word is split; other
// blocks have the block size exactly. Seen by walking the block headers.
TEST(Stream, TextBlocksEndAfterASpaceOrLineFeed) {
  const struct {
    const char* name;
    bytes in;
    settings s;
    bool text;
  } cases[] = {
      {"prose in blocks of 4096", prose(40000, 100, 19), {-1, 4096, 1}, true},
      {"prose in blocks of 100", prose(3000, 300, 20), {QARN_MODE_TEXT, 100, 1}, true},
      {"prose in blocks of 200,000", prose(700000, 3000, 21), {-1, 200000, 1}, true},
      {"prose stored", prose(20000, 300, 22), {QARN_MODE_STORED, 4096, 1}, false},
      {"binary", binary(20000, 23), {-1, 4096, 1}, false},
  };
  for (const auto& t : cases) {
    SCOPED_TRACE(t.name);
    const bytes stream = stream_of(t.in, t.s);
    const std::vector<frame_info> frames = walk(stream);
    ASSERT_EQ(1u, frames.size());
    const std::vector<block_info>& blocks = frames[0].blocks;
    ASSERT_GE(blocks.size(), 3u);
    const size_t B = static_cast<size_t>(t.s.block_size), reach = 64 << 10;
    size_t end = 0;
    for (size_t k = 0; k < blocks.size(); k++) {
      end += blocks[k].original;
      ASSERT_LE(end, t.in.size());
      if (k + 1 == blocks.size()) break;
      if (t.text) {
        const uint8_t c = t.in[end - 1];
        EXPECT_TRUE(c == ' ' || c == '\n') << "block " << k << " ends with " << int{c};
        EXPECT_LE(blocks[k].original, B);
        EXPECT_GT(blocks[k].original + reach, B);
      } else {
        EXPECT_EQ(B, blocks[k].original) << "block " << k;
      }
    }
    EXPECT_EQ(t.in.size(), end);
    EXPECT_BYTES_EQ(t.in, restore(stream, t.in.size()).out);
  }
}

// The one-shot call's bound holds for every input: also for text cut into blocks far shorter than the block size,
// where one block ends early and the next one takes up what it left.
TEST(Stream, TheBoundHoldsForTextCutShort) {
  std::string long_words, uneven, short_words;
  // Every block of 100 ends after 99 bytes.
  while (long_words.size() < 20000) long_words += std::string(98, 'w') + ' ';
  // Spaces where a block of 100 from the last cut finds one only at its second byte, and the next one only at its
  // 99th: two blocks every 101 bytes.
  for (size_t start = 0; uneven.size() < 20000; start += 101) {
    uneven += std::string(101, 'u');
    uneven[start + 1] = uneven[start + 100] = ' ';
  }
  // Every block of 3 ends after 2 bytes.
  while (short_words.size() < 600) short_words += "a ";
  const struct {
    const char* name;
    std::string text;
    int64_t block;
  } cases[] = {{"words of 98 letters", long_words, 100},
               {"spaces at 1 and 100 of 101", uneven, 100},
               {"words of one letter", short_words, 3}};
  for (const auto& t : cases) {
    SCOPED_TRACE(t.name);
    const bytes in = to_bytes(t.text);
    const params_ptr p = params_for({QARN_MODE_TEXT, t.block, 1});
    bytes out(qarn_stream_compress_bound(in.size(), p.get()));
    size_t n = 0;
    ASSERT_EQ(QARN_OK, qarn_stream_compress(p.get(), in.data(), in.size(), out.data(), out.size(), &n));
    out.resize(n);
    EXPECT_BYTES_EQ(in, restore(out, in.size()).out);
  }
}

// ---- Contexts. ----

// Every call refuses null pointers and a position past its window's size; for a context such a refusal is final.
TEST(StreamContexts, RefuseNullsAndPositionsPastTheirWindows) {
  uint8_t src[16] = {1, 2, 3}, dst[64];
  const struct {
    const char* name;
    bool null_out, null_in;
    qarn_in_buffer in;
    qarn_out_buffer out;
  } cases[] = {
      {"null out", true, false, {src, 3, 0}, {dst, 64, 0}},
      {"null in", false, true, {src, 3, 0}, {dst, 64, 0}},
      {"in past its window", false, false, {src, 3, 4}, {dst, 64, 0}},
      {"out past its window", false, false, {src, 3, 0}, {dst, 64, 65}},
      {"null source with a size", false, false, {nullptr, 3, 0}, {dst, 64, 0}},
      {"null destination with a size", false, false, {src, 3, 0}, {nullptr, 64, 0}},
  };
  const qarn_in_buffer good_in{src, 3, 0};
  for (const auto& t : cases) {
    SCOPED_TRACE(t.name);
    qarn_in_buffer in = t.in;
    qarn_out_buffer out = t.out;
    cstream_ptr c(qarn_cstream_create(nullptr), qarn_cstream_free);
    size_t pending = 9;
    EXPECT_EQ(QARN_ERROR_INVALID_ARGUMENT, qarn_compress_stream(c.get(), t.null_out ? nullptr : &out,
                                                                t.null_in ? nullptr : &in, QARN_END, &pending));
    EXPECT_EQ(0u, pending);
    qarn_in_buffer i = good_in;
    qarn_out_buffer o{dst, 64, 0};
    EXPECT_EQ(QARN_ERROR_INVALID_ARGUMENT, qarn_compress_stream(c.get(), &o, &i, QARN_END, &pending));
    EXPECT_EQ(0u, o.pos);

    dstream_ptr d(qarn_dstream_create(nullptr), qarn_dstream_free);
    int finished = 9;
    EXPECT_EQ(QARN_ERROR_INVALID_ARGUMENT,
              qarn_decompress_stream(d.get(), t.null_out ? nullptr : &out, t.null_in ? nullptr : &in, 1, &finished));
    EXPECT_EQ(0, finished);
    const bytes valid = stream_of(to_bytes("abc"));
    qarn_in_buffer vi{valid.data(), valid.size(), 0};
    o = {dst, 64, 0};
    EXPECT_EQ(QARN_ERROR_INVALID_ARGUMENT, qarn_decompress_stream(d.get(), &o, &vi, 1, &finished));
    EXPECT_EQ(0u, o.pos);
  }
  // No context, and directives that name none.
  qarn_in_buffer i = good_in;
  qarn_out_buffer o{dst, 64, 0};
  int finished = 0;
  EXPECT_EQ(QARN_ERROR_INVALID_ARGUMENT, qarn_compress_stream(nullptr, &o, &i, QARN_END, nullptr));
  EXPECT_EQ(QARN_ERROR_INVALID_ARGUMENT, qarn_decompress_stream(nullptr, &o, &i, 1, &finished));
  EXPECT_EQ(QARN_ERROR_INVALID_ARGUMENT, qarn_cstream_set_content_size(nullptr, 3));
  for (int directive : {-1, 3, 1000}) {
    cstream_ptr c(qarn_cstream_create(nullptr), qarn_cstream_free);
    EXPECT_EQ(QARN_ERROR_INVALID_ARGUMENT,
              qarn_compress_stream(c.get(), &o, &i, static_cast<qarn_end_directive>(directive), nullptr));
  }
  qarn_cstream_free(nullptr);
  qarn_dstream_free(nullptr);
  // The one-shot calls.
  size_t n = 5;
  EXPECT_EQ(QARN_ERROR_INVALID_ARGUMENT, qarn_stream_compress(nullptr, nullptr, 3, dst, 64, &n));
  EXPECT_EQ(0u, n);
  EXPECT_EQ(QARN_ERROR_INVALID_ARGUMENT, qarn_stream_compress(nullptr, src, 3, nullptr, 64, &n));
  EXPECT_EQ(QARN_ERROR_INVALID_ARGUMENT, qarn_stream_compress(nullptr, src, 3, dst, 64, nullptr));
  EXPECT_EQ(QARN_ERROR_INVALID_ARGUMENT, qarn_stream_decompress(nullptr, nullptr, 3, dst, 64, &n));
  EXPECT_EQ(QARN_ERROR_INVALID_ARGUMENT, qarn_stream_decompress(nullptr, src, 3, nullptr, 64, &n));
  EXPECT_EQ(QARN_ERROR_INVALID_ARGUMENT, qarn_stream_decompress(nullptr, src, 3, dst, 64, nullptr));
  EXPECT_EQ(QARN_ERROR_OUTPUT_TOO_SMALL, qarn_stream_compress(nullptr, src, 3, dst, 10, &n));
  EXPECT_EQ(0u, n);
}

// An error is final for a context: it gives the same status again whatever it is offered next.
TEST(StreamContexts, AnErrorIsFinal) {
  const bytes good = stream_of(to_bytes("a few words\n"));
  bytes damaged = good;
  damaged[2] ^= 1;  // the magic
  bytes mismatch = good;
  mismatch[good.size() - 1] ^= 1;  // the frame checksum
  const struct {
    const char* name;
    bytes stream;
    qarn_status status;
  } cases[] = {{"damage", damaged, QARN_ERROR_CORRUPT},
               {"checksum", mismatch, QARN_ERROR_CHECKSUM},
               {"trailing data", concat({good, {'x'}}), QARN_ERROR_TRAILING_DATA}};
  bytes out(64);
  for (const auto& t : cases) {
    SCOPED_TRACE(t.name);
    dstream_ptr d(qarn_dstream_create(nullptr), qarn_dstream_free);
    qarn_in_buffer i{t.stream.data(), t.stream.size(), 0};
    qarn_out_buffer o{out.data(), out.size(), 0};
    int finished = 0;
    EXPECT_EQ(t.status, qarn_decompress_stream(d.get(), &o, &i, 1, &finished));
    i = {good.data(), good.size(), 0};
    o = {out.data(), out.size(), 0};
    EXPECT_EQ(t.status, qarn_decompress_stream(d.get(), &o, &i, 1, &finished));
    EXPECT_EQ(0u, i.pos);
    EXPECT_EQ(0u, o.pos);
    EXPECT_EQ(0, finished);
  }

  // A frame that ends with another content size than recorded; the context is then done.
  const bytes in = to_bytes("twelve bytes");
  cstream_ptr c(qarn_cstream_create(nullptr), qarn_cstream_free);
  ASSERT_EQ(QARN_OK, qarn_cstream_set_content_size(c.get(), in.size() + 1));
  qarn_in_buffer i{in.data(), in.size(), 0};
  qarn_out_buffer o{out.data(), out.size(), 0};
  size_t pending = 0;
  EXPECT_EQ(QARN_ERROR_INVALID_ARGUMENT, qarn_compress_stream(c.get(), &o, &i, QARN_END, &pending));
  i = {in.data(), in.size(), 0};
  o = {out.data(), out.size(), 0};
  EXPECT_EQ(QARN_ERROR_INVALID_ARGUMENT, qarn_compress_stream(c.get(), &o, &i, QARN_END, &pending));
  EXPECT_EQ(0u, i.pos);
  EXPECT_EQ(0u, o.pos);
  EXPECT_EQ(QARN_ERROR_INVALID_ARGUMENT, qarn_cstream_set_content_size(c.get(), in.size()));
}

// The content size is recorded only before the frame's first byte is given: after it, it is refused.
TEST(StreamContexts, TakeAContentSizeOnlyBeforeTheFramesFirstByte) {
  const bytes in = prose(1000, 100, 24);
  for (size_t first : {size_t{1}, size_t{200}}) {
    SCOPED_TRACE(first);
    cstream_ptr c(qarn_cstream_create(nullptr), qarn_cstream_free);
    bytes out(4096);
    qarn_out_buffer o{out.data(), out.size(), 0};
    qarn_in_buffer i{in.data(), first, 0};
    size_t pending = 1;
    ASSERT_EQ(QARN_OK, qarn_compress_stream(c.get(), &o, &i, QARN_CONTINUE, &pending));
    EXPECT_EQ(QARN_ERROR_INVALID_ARGUMENT, qarn_cstream_set_content_size(c.get(), in.size()));
    i = {in.data(), in.size(), first};
    ASSERT_EQ(QARN_OK, qarn_compress_stream(c.get(), &o, &i, QARN_END, &pending));
    EXPECT_EQ(0u, pending);
    out.resize(o.pos);
    EXPECT_EQ(6, walk(out)[0].flags);  // no content size
    EXPECT_BYTES_EQ(in, restore(out, in.size()).out);
  }
}

// ---- Straight through: each block's bytes handed on as they are decoded, its checksum verified at its end. ----

class collect final : public qarn::byte_sink {
 public:
  void write(const uint8_t* p, size_t n) override { out.insert(out.end(), p, p + n); }
  bytes out;
};

// A stream restored straight through, offered in pieces of random sizes (all at once for seed 0): the status that
// ended it, as the C interface names it, and everything handed on.
restored restore_through(const bytes& stream, uint32_t seed) {
  qarn::stream_decoder d(1);
  collect sink;
  piece_sizes sizes(seed);
  size_t at = 0;
  try {
    for (int calls = 0; calls < 10000000; calls++) {
      const size_t piece = seed ? std::min(sizes.next(), stream.size() - at) : stream.size() - at;
      const bool last = at + piece == stream.size();
      qarn::in_window i{stream.data() + at, piece, 0};
      const bool finished = d.decompress_through(sink, i, last);
      EXPECT_LE(i.pos, piece);
      at += i.pos;
      if (finished) {
        EXPECT_TRUE(last);
        EXPECT_EQ(stream.size(), at);
        return {QARN_OK, sink.out};
      }
    }
  } catch (const qarn::qarn_error& e) {
    return {e.kind() == qarn::failure::checksum_mismatch ? QARN_ERROR_CHECKSUM
            : e.kind() == qarn::failure::trailing_data   ? QARN_ERROR_TRAILING_DATA
                                                         : QARN_ERROR_CORRUPT,
            sink.out};
  }
  ADD_FAILURE() << "the decoder never finished";
  return {QARN_ERROR_INTERNAL, sink.out};
}

// Whatever the stream (blocks of every mode, stored ones split across pieces, frames with and without checksums,
// skippable frames, plain qarn files), straight through restores what the windows restore.
TEST(StreamThrough, RestoresWhatTheWindowsRestore) {
  const bytes text = prose(9000, 300, 30), noise = random_bytes(5000, 31), photo = picture(60, 40, 32);
  const bytes mixed_in = concat({text, noise, photo, prose(700, 40, 33)});
  const struct {
    const char* name;
    bytes stream, in;
  } cases[] = {
      {"three blocks", small_stream(), small_stream_input()},
      {"small blocks", stream_of(mixed_in, {-1, 1000, 1}), mixed_in},
      {"stored blocks", stream_of(noise, {0, 777, 1}), noise},
      {"without checksums", stream_of(mixed_in, {-1, 1500, 0}), mixed_in},
      {"a photo and more", stream_of(concat({photo, text})), concat({photo, text})},
      {"concatenated", concat({skippable(3), stream_of(text, {-1, 4000, 1}), skippable(0), stream_of(noise, {0, 999, 0})}),
       concat({text, noise})},
      {"plain text file", library_file(QARN_MODE_TEXT, text), text},
      {"plain stored file", library_file(QARN_MODE_STORED, noise), noise},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_BYTES_EQ(c.in, restore(c.stream, c.in.size()).out);
    for (uint32_t seed : {0u, 1u, 2u, 3u}) {
      const restored r = restore_through(c.stream, seed);
      EXPECT_EQ(QARN_OK, r.status) << "seed " << seed;
      EXPECT_BYTES_EQ(c.in, r.out);
    }
  }
}

// Every cut and every flipped bit is refused straight through as the windows refuse it, and no more bytes than
// the input's went out before the refusal.
TEST(StreamThrough, RefusesEveryCutAndEveryFlippedBitAsTheWindowsDo) {
  const bytes stream = small_stream(), in = small_stream_input();
  for (size_t n = 0; n < stream.size(); n++) {
    const bytes cut(stream.begin(), stream.begin() + static_cast<ptrdiff_t>(n));
    ASSERT_EQ(QARN_ERROR_CORRUPT, restore_through(cut, static_cast<uint32_t>(n % 3)).status) << "cut at " << n;
  }
  bytes damaged = stream, out(in.size());
  for (size_t bit = 0; bit < 8 * stream.size(); bit++) {
    damaged[bit / 8] ^= static_cast<uint8_t>(1u << bit % 8);
    size_t n = 0;
    const qarn_status windows =
        qarn_stream_decompress(nullptr, damaged.data(), damaged.size(), out.data(), out.size(), &n);
    const restored through = restore_through(damaged, static_cast<uint32_t>(bit % 3));
    damaged[bit / 8] = stream[bit / 8];
    ASSERT_NE(QARN_OK, through.status) << "bit " << bit;
    ASSERT_EQ(windows, through.status) << "bit " << bit;
    ASSERT_LE(through.out.size(), in.size()) << "bit " << bit;
  }
}

}  // namespace
