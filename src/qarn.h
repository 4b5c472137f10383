// qarn.h — the command-line driver and stored mode.
#pragma once

#include <cstdint>

// Largest input whose stored-mode file (input + 4 bytes) the decompressor still accepts.
constexpr int64_t stored_input_limit = 1000999995;

// Stored mode: the input unchanged behind the container header.
int compress_default(const char* in_path, const char* out_path);
int decompress_default(const char* in_path, const char* out_path);
// Writes the stored-mode file of data[0..n) to out_path: the fallback of every modelling mode. An input too large
// for a stored file is refused with the size message, as stored mode does.
void write_stored(const char* in_path, const char* out_path, const uint8_t* data, uint64_t n);
// Writes the file of an input that a modelling mode cannot take (a text past the text format's limits, a PNM that
// image mode would not restore byte for byte): mixed mode's file, or the stored-mode file when that is not larger.
void write_fallback(const char* in_path, const char* out_path, const uint8_t* data, uint64_t n);

// The whole program: checks the arguments, picks the mode and runs it. Returns the exit status; refusals and
// damaged input print their message and exit with status 1 from wherever they are found.
int qarn_main(int argc, char** argv);
