// stream.h — the .qz stream: frames of blocks, each block one complete qarn file with the checksum of what it
// restores; frames concatenate, skippable frames carry what later versions add. Encoder and decoder work in pieces of
// any size, in memory bounded by the block size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "util.h"

namespace qarn {

// ---- The format. ----

constexpr uint32_t frame_magic = 0x0a5a51b7;      // b7 51 5a 0a
constexpr uint32_t skippable_magic = 0x0a5a51b6;  // b6 51 5a 0a, a u32 length, that many bytes
constexpr uint8_t stream_version = 1;
enum : uint8_t { frame_has_content_size = 1, frame_has_block_checksums = 2, frame_has_frame_checksum = 4 };
constexpr uint8_t frame_known_flags = 7;
// No block restores to more than this: what a reader must be ready to hold.
constexpr uint32_t stream_block_limit = uint32_t{1} << 28;
constexpr size_t frame_header_min = 16, frame_header_max = 24;
constexpr size_t block_header_size = 16;
constexpr size_t checksum_size = 8;

// The low 32 bits of the XXH3-64 of p[0..n), and the whole of it.
uint32_t stream_check(const uint8_t* p, size_t n);
uint64_t stream_checksum(const uint8_t* p, size_t n);

struct frame_header {
  uint8_t flags = 0;
  uint32_t block_size = 0;
  uint64_t content_size = 0;  // when flags has frame_has_content_size
  size_t length = 0;          // of the header itself: 16 or 24
};
// Reads the frame header at p[0..n) (magic included): returns its length, or 0 when n is too short to hold it.
// Throws corrupt when it is damaged.
size_t read_frame_header(const uint8_t* p, size_t n, frame_header* h);

struct block_header {
  uint32_t stored = 0;      // C: the qarn file's length
  uint32_t original = 0;    // O: what it restores
  uint32_t body_check = 0;  // the check of the qarn file's C bytes (0 for the end mark)
  bool end() const { return stored == 0 && original == 0; }
};
// Reads the block_header_size bytes at p as a block of a frame with that header; throws corrupt when the header is
// damaged or its lengths break the frame's rules.
block_header read_block_header(const uint8_t* p, const frame_header& frame);

// Whether p[0..n) (n >= 4) starts a plain qarn file, as opposed to a stream.
bool starts_plain_file(const uint8_t* p);
// Whether p[0..n) (n < 4) begins the magic of a frame or of a skippable frame: at the end of the input, a frame cut
// short rather than bytes that start none.
bool starts_magic(const uint8_t* p, size_t n);

// ---- Pieces in and out, as the C interface passes them. ----

struct in_window {
  const uint8_t* p;
  size_t size, pos;
  size_t left() const { return size - pos; }
};
struct out_window {
  uint8_t* p;
  size_t size, pos;
  size_t room() const { return size - pos; }
};

// ---- Compression. ----

struct stream_settings {
  int mode = -1;                     // a mode for every block, or -1: each block's from its content
  uint32_t block_size = 35u << 20;   // 1 to stream_block_limit; QARN_DEFAULT_BLOCK_SIZE
  bool checksums = true;             // block and frame checksums
  int workers = 1;                   // as for compress_to
};

enum class end_op { more, flush, end };

class stream_encoder {
 public:
  explicit stream_encoder(const stream_settings& settings);
  ~stream_encoder();
  stream_encoder(const stream_encoder&) = delete;
  stream_encoder& operator=(const stream_encoder&) = delete;

  // The content size of the next frame, recorded in its header: a frame that ends with another size throws
  // std::invalid_argument (the caller broke its word). Only before the frame's first byte.
  void pledge_content_size(uint64_t size);

  // Takes what it can of in and gives out what it can into out. `more`: more input follows; `flush`: everything
  // taken so far is coded into whole blocks and given out; `end`: the same, and the frame ends (the next input
  // starts a new frame). Returns the bytes still to be given out: 0 means that everything asked for is out.
  size_t compress(out_window& out, in_window& in, end_op op);

  // Room for one block as the encoder writes it: an output window this large is written without a copy.
  static size_t block_bound(uint32_t block_size);

 private:
  struct state;
  std::unique_ptr<state> s_;
};

// The whole stream of in[0..n), for one-shot callers; the bound always suffices for the output.
size_t stream_compress_bound(size_t n, uint32_t block_size);

// ---- Decompression. ----

class stream_decoder {
 public:
  explicit stream_decoder(int workers = 1);
  ~stream_decoder();
  stream_decoder(const stream_decoder&) = delete;
  stream_decoder& operator=(const stream_decoder&) = delete;

  // Takes what it can of in and gives out what it can into out; `last`: no input follows what in holds. Returns
  // true once the input is complete and every byte is out. Throws corrupt on damage, checksum_mismatch and
  // trailing_data as they say; the decoder is then unusable. A plain qarn file is read whole (up to the size
  // limit) and restored at the end of its input. No byte of a block is given out before its checksum is
  // verified.
  bool decompress(out_window& out, in_window& in, bool last);

  // The same, but each block's restored bytes go to sink as they are decoded, and its checksum is verified at its
  // end: when a call throws, sink may have taken bytes of the block found damaged, which the caller must discard
  // (a program writing into a temporary file that it drops on failure). Where nothing unverified may appear, use
  // decompress. One decoder is driven by one of the two calls throughout.
  bool decompress_through(byte_sink& sink, in_window& in, bool last);

 private:
  bool run(out_window& out, byte_sink* through, in_window& in, bool last);
  struct state;
  std::unique_ptr<state> s_;
};

}  // namespace qarn
