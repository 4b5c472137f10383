// text.h — text mode: space- and line-feed-terminated tokens numbered by frequency, escape coding of rare token
// numbers, two order-1 rANS blocks, and a whitened file.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "util.h"

namespace qarn {

// Working state of one compression. Token k of the dictionary is list[list2[k] .. list2[k + 1]).
struct text_data {
  const uint8_t* text = nullptr;  // the input
  int32_t textc = 0;              // its length, counting the appended space
  int32_t appended = 0;           // 1 when a space follows the input (it does not end with a delimiter)
  raw_array<int32_t> a2;          // token numbers in text order (text_build_a2; the compressor keeps its own)
  std::vector<uint8_t> list;      // the distinct tokens, delimiters included, in number order
  std::vector<int32_t> list2;     // start of each token in list, then list.size()
  std::vector<int32_t> freq;      // occurrences of each token

  text_data() = default;
  text_data(const text_data&) = delete;
  text_data& operator=(const text_data&) = delete;
};

// Why text mode could not take an input; the caller then writes another mode's file.
enum class text_refusal { none, too_many_tokens, too_many_distinct, dictionary_too_large,
                          too_many_buckets };

// Splits the text into tokens and numbers them by first occurrence; tokens are equal when their bytes are.
text_refusal text_build_a2(text_data* t);
// The new number of each token when numbered by descending frequency, ties keeping first occurrence; list, list2
// and freq are rebuilt in the new order (a2 is left to the caller).
std::vector<int32_t> frequency_order(text_data* t);
// Renumbers everything, a2 included, in frequency order.
void reorder_text(text_data* t);

// The byte stream in which text files are assembled and read. Reads never pass size.
struct cfile {
  uint8_t* data;
  int32_t pos;
  int64_t size;

  void put32(uint32_t v);
  void putblock(const void* p, uint32_t n);
  uint32_t get32();                       // throws qarn_error (corrupt) past the end
  const uint8_t* getblock(uint32_t* n);  // the block's bytes, in place
};

// Room add_integers_to_file may need for n values.
int64_t escape_stream_bound(int64_t n);
// Appends the escape-value stream of vals[0..n). False (nothing usable written) when the values need more than 254
// buckets.
bool add_integers_to_file(cfile* f, const int32_t* vals, int32_t n);
// Reads an escape-value stream of at most max_count values. Throws qarn_error (corrupt) on a damaged stream.
raw_array<int32_t> get_integers_from_file(cfile* f, int32_t max_count);

// The text-mode file of in[0..n), or nothing when text mode cannot take it or its file would be larger than the
// stored-mode file (why goes to *why when given). `workers` threads make it (1 or 2; 0 picks two for texts of a
// megabyte and more when two processors are free); the file is the same whatever their number.
std::optional<byte_buffer> compress_text_buffer(const uint8_t* in, size_t n, text_refusal* why = nullptr,
                                                int workers = 0);
// The length of the text a text-mode file restores, from its header (the first 24 bytes of in[0..n) are read).
// Throws qarn_error (corrupt) when the header is damaged; a damaged body may still restore another length.
uint64_t text_restored_length(const uint8_t* in, size_t n);
// XORs the words 1 to n / 8 - 1 of a text-mode file with the generator's draws: whitening and its undoing.
void text_whiten(uint8_t* buf, size_t n);

// Restores the text of a text-mode file into sink, in order; throws qarn_error (corrupt) when the file is damaged (the
// sink may by then hold part of the text).
// `workers` threads rebuild it (1 or 2; 0 picks two for texts of a megabyte and more when two processors are free).
void decompress_text_to(const uint8_t* in, size_t n, byte_sink& sink, int workers = 0);
// The same, unwhitening the file in place first (no copy of it is made; its bytes are left unwhitened).
void decompress_text_in_place(uint8_t* in, size_t n, byte_sink& sink, int workers = 0);
// The text restored from a text-mode file; throws qarn_error (corrupt) when the file is damaged.
byte_buffer decompress_text_buffer(const uint8_t* in, size_t n, int workers = 0);

}  // namespace qarn
