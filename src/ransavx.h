// ransavx.h — the order-1 rANS entropy coder with 32 interleaved states, shared by every modelling mode.
#pragma once

#include <cstdint>

namespace qarn {

// The block: u32 n, the order-1 frequency table, the 32 final states (u32 each), then 16-bit words in the order
// the decoder consumes them. Frequencies of every occurring context are normalised to 2048.
constexpr uint32_t TOTFREQ_O1 = 2048;
constexpr uint32_t rans_scale_bits = 11;
constexpr int rans_states = 32;
constexpr uint32_t rans_state_lower = 1u << 15;
// Bytes of the block for an empty input: header, a six-byte table and 32 states.
constexpr uint32_t rans_empty_block_size = 4 + 6 + 4 * rans_states;

// The room the encoder must be offered for n input bytes (its whole working space): 1.05 n + 128 + 198407,
// computed in double precision and truncated. Returns 0 when the room does not fit in 32 bits.
unsigned int rans_compress_bound(unsigned int n);

// Codes in[0..in_size) into out, which must offer at least rans_compress_bound(in_size) bytes in *out_size
// (out == null: the block is allocated with malloc and the caller frees it). On success returns out and sets
// *out_size to the block length; returns null, writing nothing, when the room is too small. Throws std::bad_alloc
// when its working memory cannot be had.
unsigned char* rans_compress_O1_32x16(unsigned char* in, unsigned int in_size, unsigned char* out,
                                      unsigned int* out_size);

// The same, for a caller that has already counted in: counts[256 * c + s] is the number of positions i with
// in[i] == s and context c (in[i - 1], or 0 at i = 0). The block is the one rans_compress_O1_32x16 writes.
unsigned char* rans_compress_O1_32x16_counted(const uint32_t* counts, unsigned char* in, unsigned int in_size,
                                              unsigned char* out, unsigned int* out_size);

// The same block again, for a caller who counted in and has no further use for the counts: the coder works in
// them (they are left changed) instead of in a table of its own, and leaves the block at the far end of the room:
// it ends at out + rans_compress_bound(in_size) and starts at the returned pointer, and *out_size is its length.
// Nothing in front of the block is written, so a room used for block after block costs only the pages its
// blocks reach. Returns null, writing nothing, when the room is too small; out must not be null.
unsigned char* rans_compress_O1_32x16_counted_at_end(uint32_t* counts, unsigned char* in, unsigned int in_size,
                                                     unsigned char* out, unsigned int* out_size);

// Takes the working memory that rans_compress_O1_32x16_counted_at_end keeps between blocks and maps its pages in
// now, so that the next block does not wait for fresh pages. Changes no block.
void rans_prepare_counted_at_end();
// The coder keeps its working tables (a few megabytes) between blocks and calls, for any thread to reuse: gives
// back those no coder is using now. For a library whose callers expect its memory back when a call returns.
void release_coder_tables();

// Decodes the block in[0..in_size) into out, which offers *out_size bytes (out == null: allocated with malloc).
// On success returns out with *out_size = n. Returns null when the decoded length exceeds the room or the block
// is damaged (bad table, too few bytes); it never reads past in_size nor writes past the room. Throws
// std::bad_alloc when its working memory cannot be had: a shortage is never taken for damage.
unsigned char* rans_uncompress_O1_32x16(unsigned char* in, unsigned int in_size, unsigned char* out,
                                        unsigned int* out_size);

// Explicit choice of implementation, so that both can be tested and measured against each other. Both write
// identical blocks and decode identically; `avx2` falls back to scalar code on a CPU without AVX2.
enum class rans_impl { automatic, scalar, avx2 };
unsigned char* rans_compress_O1_32x16_impl(rans_impl impl, unsigned char* in, unsigned int in_size,
                                           unsigned char* out, unsigned int* out_size);
unsigned char* rans_uncompress_O1_32x16_impl(rans_impl impl, unsigned char* in, unsigned int in_size,
                                             unsigned char* out, unsigned int* out_size);

}  // namespace qarn
