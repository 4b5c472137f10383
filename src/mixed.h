// mixed.h — mixed mode: binaries cut into classed 100-byte blocks, a stride transform for record tables, and a
// distance model that codes every stream as runs of copies in seven rANS-coded sub-blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

#include "util.h"

namespace qarn {

// ---- The mixed-mode file (mode 3): u32 mode, u32 n, then seven sections back to back, nothing after. ----
constexpr size_t mixed_header_size = 8;
constexpr int mixed_section_count = 7;
// A section: u32 stream length, u32 body size, then the body of seven sub-blocks.
constexpr size_t section_header_size = 8;
// A sub-block: u32 stored length, u32 raw length, then the stored bytes.
constexpr int sub_block_count = 7;
constexpr size_t sub_block_header_size = 8;
// Sub-blocks this long or shorter are stored as they are; longer ones go through the rANS coder. The last one
// (the extra bits of the distances) is always stored as it is.
constexpr uint32_t sub_block_plain_limit = 100;
// Mixed-mode files must be shorter than this; longer results are written as stored files instead.
constexpr int64_t mixed_file_limit = 500000000;

// ---- Streams. ----

// The bytes the model reads further back than a stream's identity prefix: the model was designed on streams whose
// buffer followed a guard zone filled with this word, and its run list depends on what it compares there. In
// memory the bytes 41 38 40 38 43 38 40 38.
constexpr uint64_t rand_value = 0x3840384338403841ULL;

// Every stream has writable room before it (the section encoder puts the identity prefix there; the stride
// transform reads zeros there) and zero bytes after it (the finders read two, the stride transform up to 63, the
// section decoder writes up to 15).
constexpr size_t stream_front = 256;
constexpr size_t stream_tail = 64;

struct mixed_stream {
  byte_buffer buf;
  size_t size = 0;
  mixed_stream() = default;
  // n bytes (not cleared) between a cleared front and a cleared tail.
  explicit mixed_stream(size_t n);
  uint8_t* data() { return buf.data() + stream_front; }
  const uint8_t* data() const { return buf.data() + stream_front; }
};

// ---- Block classes. ----

constexpr int mixed_block = 100;
enum : uint8_t { class_code = 0, class_periodic = 1, class_text = 2, class_other = 3 };
constexpr int class_count = 4;
// A block is code with this many opcode pairs, periodic with this many bytes equal to the byte 16 or 24 back,
// text with this many letter pairs.
constexpr int code_pair_threshold = 2;
constexpr int periodic_threshold = 51;
constexpr int text_pair_threshold = 21;
constexpr int periodic_distance_a = 16;
constexpr int periodic_distance_b = 24;

struct block_classes {
  mixed_stream classes;               // one class byte per block
  mixed_stream streams[class_count];  // the blocks of each class, in file order, indexed by class
  int64_t blocks = 0;
};

// The class of the block at data[0..100): data[-24..-1] and data[100] are read too. use_avx2 picks the vector
// loop (when the CPU has it); both give the same class.
uint8_t block_class(const uint8_t* data, bool use_avx2 = true);
// Cuts in[0..n) into ceil(n / 100) blocks (the last padded with zeros, the first reading zeros before the input),
// classifies and smooths them, and gathers each class's blocks into its stream.
block_classes classify_blocks(const uint8_t* in, int64_t n);
// The smoothing pass on its own: a block whose two neighbours agree with each other but not with it takes their
// class, in increasing order, so each test sees the already smoothed block before it.
void smooth_classes(uint8_t* classes, int64_t count);

// ---- Stride transform of the periodic stream, in 64-byte chunks. ----

constexpr int stride_chunk = 64;
constexpr int stride_candidates = 17;  // strides 4, 8, ..., 68
constexpr int stride_step = 4;
constexpr int stride_max = stride_step * stride_candidates;

struct stride_streams {
  mixed_stream strides;     // one stride per chunk
  mixed_stream flags;       // 8 bytes per chunk, the chunk's first byte in the top bit; 1 marks an exception
  mixed_stream exceptions;  // the bytes flagged 1, in order
};

// p[0..lp) with zeros in the 256 bytes before and the 64 after. use_avx2 picks the vector loop (when the CPU has
// it); both loops give the same streams.
stride_streams stride_transform(const uint8_t* p, int64_t lp, bool use_avx2 = true);
// Rebuilds the 64 * chunks bytes of the periodic stream at p, whose 256 bytes before are zero. Throws
// qarn_error (corrupt) on a stride the encoder never chooses or an exception stream of the wrong length.
void stride_rebuild(const uint8_t* strides, int64_t chunks, const uint8_t* flags, const uint8_t* exceptions,
                    int64_t exception_count, uint8_t* p);

// ---- The section encoder's run list and the distance model. ----

// Longest run before the merge and after it.
constexpr int run_split_length = 251;
constexpr int max_run_length = 254;
// Longest literal token that later literal runs may extend.
constexpr int literal_extend_limit = 249;
// Runs from this index on may repeat the distance of one of the nine runs before them.
constexpr int repeat_first_run = 21;
constexpr int repeat_window = 9;
// Pair matching starts with this many runs; the refinement passes with these many.
constexpr int pair_min_runs = 51;
constexpr int backward_refine_min_runs = 22;
constexpr int forward_refine_min_runs = 21;

// The run list: runs back to back in stream order, each with one distance d such that every byte of it equals the
// byte d places back (the identity prefix counting as stream). starts has one more entry, the end of the last
// run: n, or 1 for an empty stream (whose one run covers the zero byte after it).
struct convert {
  raw_array<int32_t> a3;  // distance of each run; 0 once coded as literal
  raw_array<int32_t> starts;
  int32_t count = 0;
  // Runs are back to back, so each one's length is the distance to the next start.
  int32_t length(int32_t i) const { return starts[i + 1] - starts[i]; }
};

// Working memory of the section encoder shared by the sections of one file: the finders' match table (kept empty
// between uses, so that a section clears only what it touched) and arrays reused from section to section.
class section_workspace;

// The distance model of data[0..n): writes the identity prefix into data[-256..-1] (data[n] and data[n + 1] must
// be zero) and returns the merged run list.
convert section_runs(uint8_t* data, int32_t n, section_workspace* ws);
// Where the model keeps the buckets of its two large hash tables: chosen by the number of entries, or forced.
enum class bucket_table { automatic, full, compact };
convert section_runs(uint8_t* data, int32_t n, bucket_table tables = bucket_table::automatic);
// The last three steps of the model on their own, on a run list (data with its identity prefix written):
// pair matching (from 51 runs), the two refinement passes (from 22 and 21 runs) and the merge.
void match_pairs(const uint8_t* data, convert* c);
// fasthash64 of p[0..len) (len >= 1), reading whole 8-byte words only: p[0..max(len + 7, 16)) must be readable,
// as every pair of runs that pair matching looks up is (50 runs or more follow it, then the zero tail).
uint64_t pair_hash(const uint8_t* p, int32_t len);
void refine_runs(const uint8_t* data, convert* c);
void merge_runs(convert* c);

// ---- Tokens and sub-blocks. ----

// One token type per token: 0 literal, 1 new distance, 3 to 11 repeat of the distance of token t + 2 - type.
enum : uint8_t { token_literal = 0, token_new = 1, token_repeat_first = 3, token_repeat_last = 11 };

// The raw contents of the seven sub-blocks, in order: sub[k][0..size[k]), in `own`, or (when `own` is empty)
// behind the run list's distances, in the unused rest of its a3 array; the literal bytes may lie in the stream
// instead. So valid while the run list and the stream live.
struct section_tokens {
  uint8_t* sub[sub_block_count] = {};
  size_t size[sub_block_count] = {};
  byte_buffer own;
};

// Whether a run (not the first) of that length, start and distance is coded as literal bytes: too short to pay
// for its distance, or its source at or before the stream's first byte.
bool literal_run(int32_t length, int32_t start, int32_t d);
// Distance d (1 to 2^31 - 1; 0 gives code 1) as a code byte and nbits extra bits. Returns 0.
int convert_int(int d, uint8_t* code, uint32_t* extra, int* nbits);
// The distance that code and its extra bits stand for.
uint64_t distance_of_code(uint8_t code, uint32_t extra);
// Turns the run list into tokens (setting a3 to 0 for the runs coded as literal). `stream`, when given, is data
// itself, which may then be overwritten: the literal bytes may be gathered there, in place.
section_tokens ordercv2_tokens(convert* c, const uint8_t* data, uint8_t* stream = nullptr);

// A growing output buffer for files assembled in memory.
struct out_buffer {
  byte_buffer buf;
  size_t pos = 0;
  // Ensures room for `extra` bytes past pos.
  void reserve(size_t extra);
  uint8_t* at() { return buf.data() + pos; }
};

// Writes the seven sub-blocks at out->pos (the storage rule: empty, as they are, or rANS coded).
void write_sub_blocks(const section_tokens& t, out_buffer* out);
// Appends one section coding data[0..n) (with the room of a mixed_stream around it).
void encode_section(uint8_t* data, int32_t n, out_buffer* out, section_workspace* ws);
void encode_section(uint8_t* data, int32_t n, out_buffer* out);

// Decodes the section at sec (avail bytes left in the file) into a stream of at most max_length bytes. Returns
// the section's size in the file. Throws qarn_error (corrupt) on any damage.
size_t decode_section(const uint8_t* sec, size_t avail, uint64_t max_length, mixed_stream* out);
// The same, restoring the sub-blocks into *work_pool's memory when it is large enough (else into a new buffer that
// is left in *work_pool), so that the sections of one file share their working memory.
size_t decode_section(const uint8_t* sec, size_t avail, uint64_t max_length, mixed_stream* out,
                      byte_buffer* work_pool);

// ---- Whole files in memory. ----

// The mixed-mode file of in[0..n), or nothing as soon as it would pass size_limit bytes. The sections are coded
// by `workers` threads (1 or 2; 0 picks two for inputs of a megabyte and more when two processors are free); the
// file is the same either way.
// `done_reading`, when given, is called once the input has been sorted into the class streams: the input is not
// read again before the call returns (its owner may let a mapping's pages go meanwhile).
std::optional<byte_buffer> encode_mixed(const uint8_t* in, size_t n, size_t size_limit, int workers = 0,
                                        const std::function<void()>& done_reading = {});
// The mixed-mode file of in[0..n), or nothing when it would be larger than the stored-mode file (n + 4 bytes) or
// reach 500,000,000 bytes: the caller then writes the stored-mode file. `workers` as for encode_mixed.
std::optional<byte_buffer> compress_mixed_buffer(const uint8_t* in, size_t n,
                                                 const std::function<void()>& done_reading = {}, int workers = 0);
// The input restored from a mixed-mode file; throws qarn_error (corrupt) when the file is damaged. `workers` as for
// encode_mixed, by the length the file gives.
byte_buffer decompress_mixed_buffer(const uint8_t* in, size_t n, int workers = 0);
// The same into a sink, in pieces of about 64 KB. The whole file is decoded and checked first: nothing reaches the
// sink from a damaged file.
void decompress_mixed_to(const uint8_t* in, size_t n, byte_sink& sink, int workers = 0);

}  // namespace qarn
