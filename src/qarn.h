// qarn.h — the buffer layer under the programs and the C interface: the choice of mode, every fallback between
// modes, the container header and stored mode. Buffers in, bytes out through a sink; no file is opened here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "util.h"

namespace qarn {

// Largest input whose stored-mode file (input + 4 bytes) the decompressor still accepts.
constexpr int64_t stored_input_limit = 1000999995;
// Stored-mode files must be shorter than this.
constexpr int64_t stored_file_limit = input_size_limit - 1;

// ---- Buffers in, buffers out. Failures are thrown as qarn_error (or std::bad_alloc); nothing is printed. ----
// `workers` is the number of threads the work may use: 0 lets each mode pick (two for inputs of a megabyte and
// more, or images of a quarter of a million pixels, when the process may run on two processors), 1 keeps it to
// the calling thread (no thread is started), 2 asks for two. The bytes written are the same whatever the number.

// The mode compression picks for an input path: the (up to) four bytes from the last '.' of the whole path,
// compared with ".pnm", ".txt" and ".dat" in that order; stored mode for anything else.
uint32_t mode_for_name(const char* path);
// The mode that suits the content of in[0..n), for callers that have no name to go by: an image that image mode
// restores byte for byte → image; a program, library or object file (ELF, PE, Mach-O, an archive of objects) →
// mixed; text that text mode codes well (no control bytes, words separated by spaces and line feeds, a small
// vocabulary, few repeated lines) → text; anything else → mixed. The usual fallbacks apply to the file made.
// Reads at most about 256 KB, spread over the input.
uint32_t mode_for_content(const uint8_t* in, size_t n);
// The word the progress lines use for a mode ("default", "text", "image", "mixed"), or null for a number that
// names no mode.
const char* mode_word(uint32_t mode);

// Writes to sink the compressed file of in[0..n) in `mode`, or in the mode the program falls back to: an input
// that text or image mode cannot take goes to mixed mode, a mixed file that would be larger than the stored
// file (or would reach 500,000,000 bytes) becomes the stored file, as does any result larger than input + 4.
// Returns the mode of the file written. Throws too_large when the stored file would pass the stored limit.
// `done_reading`, when given, is called whenever the work no longer reads the input for a while (the input must
// stay readable: a fallback may read it again), so that the owner of a mapped input may let its pages go.
uint32_t compress_to(uint32_t mode, const uint8_t* in, size_t n, byte_sink& sink,
                     const std::function<void()>& done_reading = {}, int workers = 0);
byte_buffer compress_buffer(uint32_t mode, const uint8_t* in, size_t n, int workers = 0);

// Compressed files of `mode` must be shorter than this many bytes; longer ones are damaged.
int64_t file_length_limit(uint32_t mode);
// Restores the input of the compressed file[0..n) into sink, in the mode its header names. Throws corrupt on a
// damaged file (the sink may then hold part of the output).
void decompress_to(const uint8_t* file, size_t n, byte_sink& sink, int workers = 0);
// The same, free to change the bytes of file: a text file is unwhitened in place instead of copied.
void decompress_in_place(uint8_t* file, size_t n, byte_sink& sink, int workers = 0);
byte_buffer decompress_buffer(const uint8_t* file, size_t n, int workers = 0);
// The length of the input that the compressed file[0..n) restores, as its header records it (stored mode: by the
// file's length). Throws corrupt when the header is damaged; a damaged body may still restore another length.
uint64_t restored_length(const uint8_t* file, size_t n);
// The length that the compressed file at the start of file[0..n) gives itself in its own fields: less than n when
// other bytes follow it (two files joined, which decode as the first one alone, or as damage). Image and mixed
// files record it; for the other modes, and for a file too damaged to say, it is n.
uint64_t file_extent(const uint8_t* file, size_t n);

}  // namespace qarn
