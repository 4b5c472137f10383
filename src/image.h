// image.h — image mode: binary RGB PNM images, colour-transformed, split into three predicted planes, rANS coded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "util.h"

namespace qarn {

// ---- The image-mode file (mode 2): a 32-byte header of eight u32 fields, then three rANS blocks. ----
constexpr size_t image_header_size = 32;
constexpr size_t image_field_transform = 4;
constexpr size_t image_field_width = 8;
constexpr size_t image_field_height = 12;
constexpr size_t image_field_raw_planes = 16;
constexpr size_t image_field_size0 = 20;  // then size1 at 24 and size2 at 28 (size2 is written, never needed)

// Bytes of value 128 in front of plane 0: the predictor's upper and left neighbours of the first row read them.
// It bounds the width.
constexpr int64_t image_border = 65536;
constexpr int64_t image_max_width = image_border;
// The format's length limit: a compressed file is shorter than this, and the border plus the samples fit in it.
constexpr int64_t image_length_limit = 100000000;
// Largest PNM input the compressor takes in image mode.
constexpr int64_t image_input_limit = image_length_limit - image_border;
// The value of the border, of a perfectly predicted byte, and of an equal-channel difference.
constexpr uint8_t image_mid = 128;
constexpr int image_transform_count = 16;

// ---- PNM files. ----

// Geometry of a PNM file that image mode restores byte for byte.
struct pnm_geometry {
  int width = 0;
  int height = 0;
  size_t header_size = 0;  // the samples start here
};

// The header that `writeimage` writes: "P6\n<width> <height>\n255\n".
std::string pnm_header(int width, int height);
// True when pnm is exactly the header `pnm_header` gives for its size, with width 1 to 65,536 and height at least
// 1, followed by exactly 3 x width x height samples, and no longer than `image_input_limit`. Any other input would
// not come back unchanged from image mode.
bool parse_restorable_pnm(const uint8_t* pnm, size_t n, pnm_geometry* geometry);
// The length of the PNM file whose header starts pnm[0..n) (n need hold only the header, at most 32 bytes), when
// that header is one `parse_restorable_pnm` takes and the file would be no longer than `image_input_limit`; else 0.
uint64_t restorable_pnm_length(const uint8_t* pnm, size_t n);
// Writes the PNM header and 3 x width x height sample bytes to sink. Returns 0.
int writeimage(byte_sink& sink, const uint8_t* pixels, int width, int height);

// ---- Colour transforms: each pixel's (R, G, B) becomes one of sixteen reversible triples. ----

// Estimates from every eighth row of the rectangle x0 <= x < x1, y0 <= y < y1 which transform codes cheapest and
// returns its number as a whole float. Pixel (x, y) is at 3 * (y * width + x); the first pixel of the image reads
// the three bytes in front of it, which the caller keeps at 128.
float pick_transform(const uint8_t* pixels, int width, int x0, int y0, int x1, int y1);
// In place on width x height interleaved triples; numbers outside 1 to 15 leave the bytes as they are.
void apply_transform(uint8_t* pixels, int width, int height, int transform);
void undo_transform(uint8_t* pixels, int width, int height, int transform);
// A transform and the split of n pixels into three planes of n bytes in one pass (plane c byte i is byte c of
// transformed pixel i), and its inverse. Numbers outside 0 to 15 act as 0. The vector loops (used when asked and
// the CPU has them) give the same bytes as the plain ones.
void split_planes(const uint8_t* pixels, uint8_t* planes, size_t n, int transform, bool use_avx2);
void merge_planes(const uint8_t* planes, uint8_t* pixels, size_t n, int transform, bool use_avx2);

// ---- Plane prediction: three planes of width x height bytes back to back, a 128 border in front of plane 0. ----

// Bit c of a raw-planes mask set: plane c is stored as it is instead of as residuals.
constexpr int raw_plane_bits = 7;
// Residuals in place, for the planes whose bit in raw_planes is clear. Returns 0.
int predict_planes(uint8_t* planes, int width, int height, int raw_planes);
// The same with the vector loop (when the CPU has it) or the plain one; both give the same bytes.
int predict_planes_with(uint8_t* planes, int width, int height, int raw_planes, bool use_avx2);
// The inverse. Returns 0.
int unpredict_planes(uint8_t* planes, int width, int height, int raw_planes);
// Which of planes 0 and 1 code no better as residuals (by the estimate of their order-1 entropy): mask 0 to 3.
int pick_raw_planes(const uint8_t* planes, int width, int height);

// ---- Whole files in memory. ----
// `workers` is the number of threads (1 or 2); 0 picks two for images of a quarter of a million pixels and more
// when two processors are free. The file is the same whatever the number.

// Codes a PNM that `parse_restorable_pnm` accepts into the image-mode file; returns false for any other input and
// as soon as the file would be longer than size_limit bytes.
bool encode_image(const uint8_t* pnm, size_t n, size_t size_limit, byte_buffer* out, int workers = 0);
// Turns PNM bytes into the image-mode file. Returns false when image mode cannot restore the input exactly or
// its file would be larger than the stored-mode file; the caller then stores the input.
bool compress_image_buffer(const uint8_t* pnm, size_t n, byte_buffer* out, int workers = 0);
// Turns an image-mode file into the PNM file it came from; throws qarn_error (corrupt) on damage.
byte_buffer decompress_image_buffer(const uint8_t* in, size_t n, int workers = 0);
// The length of the PNM file an image-mode file restores, from its header (the first 32 bytes of in[0..n) are
// read). Throws qarn_error (corrupt) when the header is damaged.
uint64_t image_restored_length(const uint8_t* in, size_t n);
// The same into a sink, in pieces; nothing reaches it from a damaged file.
void decompress_image_to(const uint8_t* in, size_t n, byte_sink& sink, int workers = 0);

}  // namespace qarn
