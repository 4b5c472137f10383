// image.cpp — image mode: PNM parsing and writing, the sixteen colour transforms, plane prediction, the mode-2 file.
#include "image.h"

#include <immintrin.h>

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "ransavx.h"
#include "util.h"

namespace {

// Byte arithmetic modulo 256, on one byte or on 16 at once; the transforms are written once for both.
inline uint8_t add(uint8_t x, uint8_t y) { return uint8_t(x + y); }
inline uint8_t sub(uint8_t x, uint8_t y) { return uint8_t(x - y); }
inline uint8_t flip(uint8_t x) { return uint8_t(x ^ image_mid); }
inline __m128i add(__m128i x, __m128i y) { return _mm_add_epi8(x, y); }
inline __m128i sub(__m128i x, __m128i y) { return _mm_sub_epi8(x, y); }
inline __m128i flip(__m128i x) { return _mm_xor_si128(x, _mm_set1_epi8(static_cast<char>(image_mid))); }
// A stored difference: equal channels give 128.
template <class V>
inline V diff(V x, V y) { return flip(sub(x, y)); }

}  // namespace

// ---------------------------------------------------------------------------------------------------------------
// PNM files.

std::string pnm_header(int width, int height) {
  char head[40];
  int k = std::snprintf(head, sizeof head, "P6\n%d %d\n255\n", width, height);
  return std::string(head, static_cast<size_t>(k));
}

namespace {

// Reads a decimal number without sign or leading zero at pnm[*pos], ending at the byte `end`. Returns -1 when
// the bytes are not such a number or it passes `limit`.
int64_t parse_dimension(const uint8_t* pnm, size_t n, size_t* pos, uint8_t end, int64_t limit) {
  size_t i = *pos;
  if (i >= n || pnm[i] < '1' || pnm[i] > '9') return -1;
  int64_t v = 0;
  for (; i < n && pnm[i] >= '0' && pnm[i] <= '9'; i++) {
    v = v * 10 + (pnm[i] - '0');
    if (v > limit) return -1;
  }
  if (i >= n || pnm[i] != end) return -1;
  *pos = i + 1;
  return v;
}

}  // namespace

bool parse_restorable_pnm(const uint8_t* pnm, size_t n, pnm_geometry* geometry) {
  if (n > static_cast<size_t>(image_input_limit) || n < 3 || std::memcmp(pnm, "P6\n", 3) != 0) return false;
  size_t pos = 3;
  int64_t width = parse_dimension(pnm, n, &pos, ' ', image_max_width);
  if (width < 1) return false;
  int64_t height = parse_dimension(pnm, n, &pos, '\n', image_input_limit);
  if (height < 1) return false;
  if (n - pos < 4 || std::memcmp(pnm + pos, "255\n", 4) != 0) return false;
  pos += 4;
  if (static_cast<uint64_t>(n - pos) != 3 * static_cast<uint64_t>(width) * static_cast<uint64_t>(height)) return false;
  geometry->width = static_cast<int>(width);
  geometry->height = static_cast<int>(height);
  geometry->header_size = pos;
  return true;
}

int writeimage(byte_sink& sink, const uint8_t* pixels, int width, int height) {
  const std::string head = pnm_header(width, height);
  sink.write(reinterpret_cast<const uint8_t*>(head.data()), head.size());
  sink.write(pixels, 3 * static_cast<size_t>(width) * static_cast<size_t>(height));
  return 0;
}

// ---------------------------------------------------------------------------------------------------------------
// Colour transforms. Quantities: 0 R, 1 G, 2 B, 3 R-G, 4 R-B, 5 G-B; a difference is stored XOR 128.

namespace {

// The three quantities whose estimated costs are added for each transform, in the order they are added.
constexpr int transform_table[image_transform_count][3] = {
    {0, 1, 2}, {0, 1, 4}, {0, 1, 5}, {0, 2, 3}, {0, 2, 5}, {1, 2, 3}, {1, 2, 4}, {3, 4, 0},
    {3, 4, 1}, {3, 4, 2}, {3, 5, 0}, {3, 5, 1}, {3, 5, 2}, {4, 5, 0}, {4, 5, 1}, {4, 5, 2},
};

// The quantity each of the three stored bytes holds: plain channels first, then the differences.
constexpr int stored_quantity[image_transform_count][3] = {
    {0, 1, 2}, {0, 1, 4}, {0, 1, 5}, {0, 2, 3}, {0, 2, 5}, {1, 2, 3}, {1, 2, 4}, {0, 3, 4},
    {1, 3, 4}, {2, 3, 4}, {0, 3, 5}, {1, 3, 5}, {2, 3, 5}, {0, 4, 5}, {1, 4, 5}, {2, 4, 5},
};

template <int q, class V>
inline V quantity(V r, V g, V b) {
  if constexpr (q == 0) return r;
  if constexpr (q == 1) return g;
  if constexpr (q == 2) return b;
  if constexpr (q == 3) return diff(r, g);
  if constexpr (q == 4) return diff(r, b);
  if constexpr (q == 5) return diff(g, b);
}

template <int t, class V>
inline void forward(V r, V g, V b, V& o0, V& o1, V& o2) {
  V q0 = quantity<stored_quantity[t][0]>(r, g, b);
  V q1 = quantity<stored_quantity[t][1]>(r, g, b);
  V q2 = quantity<stored_quantity[t][2]>(r, g, b);
  o0 = q0;
  o1 = q1;
  o2 = q2;
}

// Restores (R, G, B) from the stored bytes, each channel derived in the order the transform allows.
template <int t, class V>
inline void inverse(V b0, V b1, V b2, V& r_out, V& g_out, V& b_out) {
  const V e1 = flip(b1), e2 = flip(b2);
  V r{}, g{}, b{};
  if constexpr (t == 0) { r = b0; g = b1; b = b2; }
  if constexpr (t == 1) { r = b0; g = b1; b = sub(r, e2); }
  if constexpr (t == 2) { r = b0; g = b1; b = sub(g, e2); }
  if constexpr (t == 3) { r = b0; b = b1; g = sub(r, e2); }
  if constexpr (t == 4) { r = b0; b = b1; g = add(b, e2); }
  if constexpr (t == 5) { g = b0; b = b1; r = add(g, e2); }
  if constexpr (t == 6) { g = b0; b = b1; r = add(b, e2); }
  if constexpr (t == 7) { r = b0; g = sub(r, e1); b = sub(r, e2); }
  if constexpr (t == 8) { g = b0; r = add(g, e1); b = sub(r, e2); }
  if constexpr (t == 9) { b = b0; r = add(b, e2); g = sub(r, e1); }
  if constexpr (t == 10) { r = b0; g = sub(r, e1); b = sub(g, e2); }
  if constexpr (t == 11) { g = b0; r = add(g, e1); b = sub(g, e2); }
  if constexpr (t == 12) { b = b0; g = add(b, e2); r = add(g, e1); }
  if constexpr (t == 13) { r = b0; b = sub(r, e1); g = add(b, e2); }
  if constexpr (t == 14) { g = b0; b = sub(g, e2); r = add(b, e1); }
  if constexpr (t == 15) { b = b0; r = add(b, e1); g = add(b, e2); }
  r_out = r;
  g_out = g;
  b_out = b;
}

template <int t>
void apply_t(uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; i++, p += 3) forward<t>(p[0], p[1], p[2], p[0], p[1], p[2]);
}

template <int t>
void undo_t(uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; i++, p += 3) {
    uint8_t r, g, b;
    inverse<t>(p[0], p[1], p[2], r, g, b);
    p[0] = r;
    p[1] = g;
    p[2] = b;
  }
}

// Shuffle masks between 48 interleaved bytes (16 pixels, as three 16-byte vectors) and 16 bytes of each channel.
struct shuffle_masks {
  alignas(16) uint8_t gather[3][3][16];   // [channel][source vector]: channel lane k from byte 3k + channel
  alignas(16) uint8_t scatter[3][3][16];  // [output vector][channel]: output byte 16v + k from its pixel's channel
};
constexpr shuffle_masks make_shuffle_masks() {
  shuffle_masks m{};
  for (int c = 0; c < 3; c++)
    for (int v = 0; v < 3; v++)
      for (int k = 0; k < 16; k++) {
        int s = 3 * k + c;
        m.gather[c][v][k] = s / 16 == v ? uint8_t(s % 16) : 0x80;
        int o = 16 * v + k;
        m.scatter[v][c][k] = o % 3 == c ? uint8_t(o / 3) : 0x80;
      }
  return m;
}
constexpr shuffle_masks masks = make_shuffle_masks();

__attribute__((target("avx2"))) inline __m128i mask(const uint8_t* m) {
  return _mm_load_si128(reinterpret_cast<const __m128i*>(m));
}

// Transform and split in one pass: plane c byte i is byte c of transformed pixel i.
template <int t>
void split_t(const uint8_t* __restrict p, uint8_t* __restrict planes, size_t from, size_t n) {
  uint8_t* __restrict p0 = planes;
  uint8_t* __restrict p1 = planes + n;
  uint8_t* __restrict p2 = planes + 2 * n;
  for (size_t i = from; i < n; i++) forward<t>(p[3 * i], p[3 * i + 1], p[3 * i + 2], p0[i], p1[i], p2[i]);
}

template <int t>
__attribute__((target("avx2"))) void split_t_avx2(const uint8_t* __restrict p, uint8_t* __restrict planes, size_t n) {
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i* src = reinterpret_cast<const __m128i*>(p + 3 * i);
    __m128i in[3] = {_mm_loadu_si128(src), _mm_loadu_si128(src + 1), _mm_loadu_si128(src + 2)};
    __m128i ch[3];
    for (int c = 0; c < 3; c++)
      ch[c] = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(in[0], mask(masks.gather[c][0])),
                                        _mm_shuffle_epi8(in[1], mask(masks.gather[c][1]))),
                           _mm_shuffle_epi8(in[2], mask(masks.gather[c][2])));
    __m128i o0, o1, o2;
    forward<t>(ch[0], ch[1], ch[2], o0, o1, o2);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(planes + i), o0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(planes + n + i), o1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(planes + 2 * n + i), o2);
  }
  split_t<t>(p, planes, i, n);
}

// Interleave and undo in one pass, the inverse of split_t.
template <int t>
void merge_t(const uint8_t* __restrict planes, uint8_t* __restrict p, size_t from, size_t n) {
  const uint8_t* __restrict p0 = planes;
  const uint8_t* __restrict p1 = planes + n;
  const uint8_t* __restrict p2 = planes + 2 * n;
  for (size_t i = from; i < n; i++) inverse<t>(p0[i], p1[i], p2[i], p[3 * i], p[3 * i + 1], p[3 * i + 2]);
}

template <int t>
__attribute__((target("avx2"))) void merge_t_avx2(const uint8_t* __restrict planes, uint8_t* __restrict p, size_t n) {
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    __m128i ch[3];
    inverse<t>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(planes + i)),
               _mm_loadu_si128(reinterpret_cast<const __m128i*>(planes + n + i)),
               _mm_loadu_si128(reinterpret_cast<const __m128i*>(planes + 2 * n + i)), ch[0], ch[1], ch[2]);
    __m128i* dst = reinterpret_cast<__m128i*>(p + 3 * i);
    for (int v = 0; v < 3; v++)
      _mm_storeu_si128(dst + v, _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(ch[0], mask(masks.scatter[v][0])),
                                                          _mm_shuffle_epi8(ch[1], mask(masks.scatter[v][1]))),
                                             _mm_shuffle_epi8(ch[2], mask(masks.scatter[v][2]))));
  }
  merge_t<t>(planes, p, i, n);
}

template <int t>
void split_plain(const uint8_t* p, uint8_t* planes, size_t n) { split_t<t>(p, planes, 0, n); }
template <int t>
void merge_plain(const uint8_t* planes, uint8_t* p, size_t n) { merge_t<t>(planes, p, 0, n); }

using pixels_fn = void (*)(uint8_t*, size_t);
using split_fn = void (*)(const uint8_t*, uint8_t*, size_t);

template <int... t>
constexpr auto make_tables(std::integer_sequence<int, t...>) {
  struct tables {
    pixels_fn apply[image_transform_count], undo[image_transform_count];
    split_fn split[image_transform_count], merge[image_transform_count];
    split_fn split_avx2[image_transform_count], merge_avx2[image_transform_count];
  };
  return tables{{apply_t<t>...},       {undo_t<t>...},       {split_plain<t>...},
                {merge_plain<t>...},   {split_t_avx2<t>...}, {merge_t_avx2<t>...}};
}
constexpr auto transforms = make_tables(std::make_integer_sequence<int, image_transform_count>{});

size_t pixel_count(int width, int height) {
  if (width <= 0 || height <= 0) return 0;
  return static_cast<size_t>(width) * static_cast<size_t>(height);
}

}  // namespace

void split_planes(const uint8_t* pixels, uint8_t* planes, size_t n, int t, bool use_avx2) {
  t = t >= 0 && t < image_transform_count ? t : 0;
  (use_avx2 && cpu_has_avx2() ? transforms.split_avx2 : transforms.split)[t](pixels, planes, n);
}

void merge_planes(const uint8_t* planes, uint8_t* pixels, size_t n, int t, bool use_avx2) {
  t = t >= 0 && t < image_transform_count ? t : 0;
  (use_avx2 && cpu_has_avx2() ? transforms.merge_avx2 : transforms.merge)[t](planes, pixels, n);
}

namespace {

// The estimate behind pick_transform; first_left stands for the three bytes in front of the image's first pixel.
float pick_transform_from(const uint8_t* pixels, int width, int x0, int y0, int x1, int y1,
                          const uint8_t* first_left) {
  uint32_t hist[6][256] = {};
  for (int64_t y = y0; y < y1; y += 8) {
    for (int64_t x = x0; x < x1; x++) {
      int64_t off = 3 * (y * width + x);
      const uint8_t* p = pixels + off;
      const uint8_t* l = off == 0 ? first_left : p - 3;
      uint8_t dr = uint8_t(l[0] - p[0]), dg = uint8_t(l[1] - p[1]), db = uint8_t(l[2] - p[2]);
      hist[0][dr]++;
      hist[1][dg]++;
      hist[2][db]++;
      hist[3][uint8_t(dr - dg)]++;
      hist[4][uint8_t(dr - db)]++;
      hist[5][uint8_t(dg - db)]++;
    }
  }
  // Single-precision total and probabilities, double-precision sums: the choice between near-equal transforms
  // depends on exactly this rounding.
  const uint32_t area = static_cast<uint32_t>(y1 - y0) * static_cast<uint32_t>(x1 - x0);  // all pixels, not the sampled
  const float total = static_cast<float>(static_cast<int32_t>(area));
  double estimate[6];
  for (int k = 0; k < 6; k++) {
    double h = 0;
    for (int v = 0; v < 256; v++) {
      uint32_t n = hist[k][v];
      if (n == 0) continue;
      float p = static_cast<float>(n) / total;
      double product = std::log(static_cast<double>(p)) * static_cast<double>(n);
      h = h - product;
    }
    estimate[k] = h / 5.545177444479562;  // 8 ln 2: nats to bytes
  }
  int best = 0;
  int64_t best_cost = 0;
  for (int t = 0; t < image_transform_count; t++) {
    double sum = estimate[transform_table[t][0]] + estimate[transform_table[t][1]];
    sum = sum + estimate[transform_table[t][2]];
    int64_t cost = static_cast<int32_t>(sum);
    if (t == 0 || cost < best_cost) {
      best = t;
      best_cost = cost;
    }
  }
  return static_cast<float>(best);
}

}  // namespace

float pick_transform(const uint8_t* pixels, int width, int x0, int y0, int x1, int y1) {
  return pick_transform_from(pixels, width, x0, y0, x1, y1, pixels - 3);
}

void apply_transform(uint8_t* pixels, int width, int height, int transform) {
  if (transform < 1 || transform >= image_transform_count) return;
  transforms.apply[transform](pixels, pixel_count(width, height));
}

void undo_transform(uint8_t* pixels, int width, int height, int transform) {
  if (transform < 1 || transform >= image_transform_count) return;
  transforms.undo[transform](pixels, pixel_count(width, height));
}

// ---------------------------------------------------------------------------------------------------------------
// Plane prediction. Byte j's neighbours are j - width (up) and j - 1 (left), read straight through plane
// boundaries and into the border; the prediction is their average rounded down.

namespace {

inline uint8_t residual_at(const uint8_t* p, int64_t j, int64_t width) {
  unsigned pred = (unsigned(p[j - width]) + p[j - 1]) >> 1;
  return uint8_t(uint8_t(p[j] - pred) ^ image_mid);
}

// Residuals of bytes [from, to) in place, last byte first, so every byte is predicted from untouched neighbours.
void predict_range_scalar(uint8_t* p, int64_t from, int64_t to, int64_t width) {
  for (int64_t j = to - 1; j >= from; j--) p[j] = residual_at(p, j, width);
}

__attribute__((target("avx2"))) void predict_range_avx2(uint8_t* p, int64_t from, int64_t to, int64_t width) {
  const __m256i one = _mm256_set1_epi8(1), mid = _mm256_set1_epi8(static_cast<char>(image_mid));
  int64_t j = to - 32;
  // A block of 32 reads bytes below its own end only, and everything at or above its end is already done, so
  // the reads see untouched values.
  for (; j >= from; j -= 32) {
    __m256i up = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + j - width));
    __m256i left = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + j - 1));
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + j));
    // avg_epu8 rounds up; subtracting the lost low bit rounds down instead.
    __m256i pred = _mm256_sub_epi8(_mm256_avg_epu8(up, left), _mm256_and_si256(_mm256_xor_si256(up, left), one));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p + j), _mm256_xor_si256(_mm256_sub_epi8(v, pred), mid));
  }
  predict_range_scalar(p, from, j + 32, width);
}

// Restores bytes [from, to) in place, first byte first; each byte needs its restored left neighbour.
void unpredict_range(uint8_t* p, int64_t from, int64_t to, int64_t width) {
  unsigned left = p[from - 1];
  for (int64_t j = from; j < to; j++) {
    // e + floor((up + left) / 2) == floor((2e + up + left) / 2), which keeps one add and one shift on the chain.
    unsigned k = 2 * unsigned(p[j] ^ image_mid) + p[j - width];
    left = ((k + left) >> 1) & 0xFF;
    p[j] = static_cast<uint8_t>(left);
  }
}

// Conditional entropy of a 256 x 256 pair table, summed in single precision.
float pair_entropy(const uint32_t* table) {
  float h = 0;
  for (int a = 0; a < 256; a++) {
    const uint32_t* row = table + 256 * a;
    uint32_t sum = 0;
    for (int b = 0; b < 256; b++) sum += row[b];
    const float total = static_cast<float>(sum);
    for (int b = 0; b < 256; b++) {
      uint32_t n = row[b];
      if (n == 0) continue;
      float p = static_cast<float>(n) / total;
      double product = std::log(static_cast<double>(p)) * static_cast<double>(n);
      h = static_cast<float>(static_cast<double>(h) - product);
    }
  }
  return h;
}

}  // namespace

int predict_planes(uint8_t* planes, int width, int height, int raw_planes) {
  return predict_planes_with(planes, width, height, raw_planes, true);
}

int predict_planes_with(uint8_t* planes, int width, int height, int raw_planes, bool use_avx2) {
  const int64_t n = static_cast<int64_t>(pixel_count(width, height));
  const bool avx2 = use_avx2 && cpu_has_avx2();
  for (int c = 2; c >= 0; c--) {
    if (raw_planes & (1 << c)) continue;
    if (avx2) predict_range_avx2(planes, c * n, c * n + n, width);
    else predict_range_scalar(planes, c * n, c * n + n, width);
  }
  return 0;
}

int unpredict_planes(uint8_t* planes, int width, int height, int raw_planes) {
  const int64_t n = static_cast<int64_t>(pixel_count(width, height));
  for (int c = 0; c < 3; c++)
    if (!(raw_planes & (1 << c))) unpredict_range(planes, c * n, c * n + n, width);
  return 0;
}

int pick_raw_planes(const uint8_t* planes, int width, int height) {
  const int64_t n = static_cast<int64_t>(pixel_count(width, height));
  std::vector<uint32_t> table(256 * 256);
  int mask = 0;
  for (int c = 0; c < 2; c++) {
    const int64_t from = c * n, to = c * n + n;  // pairs (k, k + 1): the last reaches the next plane's first byte
    std::fill(table.begin(), table.end(), 0);
    for (int64_t k = from; k < to; k++) table[256 * planes[k] + planes[k + 1]]++;
    const float h_raw = pair_entropy(table.data());
    std::fill(table.begin(), table.end(), 0);
    unsigned prev = residual_at(planes, from, width);
    for (int64_t k = from; k < to; k++) {
      unsigned next = residual_at(planes, k + 1, width);
      table[256 * prev + next]++;
      prev = next;
    }
    const float h_pred = pair_entropy(table.data());
    if (!(h_raw > h_pred)) mask |= 1 << c;
  }
  return mask;
}

// ---------------------------------------------------------------------------------------------------------------
// The image-mode file.

namespace {

// Rebuilds the samples of an image-mode file, behind the PNM header when with_header is set.
byte_buffer decode_pixels(const uint8_t* in, size_t n, bool with_header, int* width_out, int* height_out) {
  if (n < image_header_size || n >= static_cast<size_t>(image_length_limit)) corrupt();
  if (get_u32(in) != mode_image) corrupt();
  const uint32_t transform = get_u32(in + image_field_transform);
  const uint32_t width = get_u32(in + image_field_width);
  const uint32_t height = get_u32(in + image_field_height);
  const uint32_t raw_planes = get_u32(in + image_field_raw_planes);
  if (width < 1 || width > image_max_width || height < 1) corrupt();
  const uint64_t pixels = uint64_t{width} * height;
  if (image_border + 3 * pixels > static_cast<uint64_t>(image_length_limit)) corrupt();
  const uint64_t n0 = get_u32(in + image_field_size0), n1 = get_u32(in + image_field_size0 + 4);
  // Blocks 0 and 1 must lie inside the file; block 2 runs to its end (its recorded length is not needed).
  const uint64_t start[3] = {image_header_size, image_header_size + n0, image_header_size + n0 + n1};
  if (start[1] > n || start[2] > n) corrupt();
  const uint64_t length[3] = {n0, n1, n - start[2]};

  byte_buffer planes_buf(static_cast<size_t>(image_border + 3 * pixels));
  std::memset(planes_buf.data(), image_mid, image_border);
  uint8_t* planes = planes_buf.data() + image_border;
  for (int c = 0; c < 3; c++) {
    unsigned int room = static_cast<unsigned int>((3 - c) * pixels);  // what really remains behind this plane
    if (!rans_uncompress_O1_32x16(const_cast<uint8_t*>(in + start[c]), static_cast<unsigned int>(length[c]),
                                  planes + c * pixels, &room) ||
        room != pixels)
      corrupt();
  }
  const int w = static_cast<int>(width), h = static_cast<int>(height);
  unpredict_planes(planes, w, h, static_cast<int>(raw_planes & raw_plane_bits));
  const std::string head = with_header ? pnm_header(w, h) : std::string();
  const size_t front = head.size();
  byte_buffer out(front + 3 * pixels);
  std::memcpy(out.data(), head.data(), front);
  merge_planes(planes, out.data() + front, pixels, transform < image_transform_count ? int(transform) : 0, true);
  *width_out = w;
  *height_out = h;
  return out;
}

}  // namespace

bool encode_image(const uint8_t* pnm, size_t n, size_t size_limit, byte_buffer* out) {
  pnm_geometry g;
  if (size_limit < image_header_size || !parse_restorable_pnm(pnm, n, &g)) return false;
  const int width = g.width, height = g.height;
  const size_t pixels = pixel_count(width, height);
  const uint8_t* samples = pnm + g.header_size;
  // What the samples see in front of them: the border, which the header's place also belongs to.
  static const uint8_t border_pixel[3] = {image_mid, image_mid, image_mid};
  const int transform = static_cast<int>(pick_transform_from(samples, width, 0, 0, width, height, border_pixel));

  byte_buffer planes_buf(static_cast<size_t>(image_border) + 3 * pixels);
  std::memset(planes_buf.data(), image_mid, image_border);
  uint8_t* planes = planes_buf.data() + image_border;
  split_planes(samples, planes, pixels, transform, true);
  const int raw_planes = transform == 3 ? pick_raw_planes(planes, width, height) : 0;
  predict_planes(planes, width, height, raw_planes);

  // Coding stops once the file passes size_limit, so each block starts at most size_limit bytes in; pages the
  // coder never touches cost nothing.
  const unsigned int bound = rans_compress_bound(static_cast<unsigned int>(pixels));
  assert(bound != 0);
  byte_buffer file(std::min(size_limit, image_header_size + 2 * size_t{bound}) + bound);
  size_t pos = image_header_size;
  uint32_t sizes[3];
  for (int c = 0; c < 3; c++) {
    unsigned int room = static_cast<unsigned int>(file.size() - pos);
    uint8_t* block =
        rans_compress_O1_32x16(planes + c * pixels, static_cast<unsigned int>(pixels), file.data() + pos, &room);
    assert(block != nullptr);
    (void)block;
    sizes[c] = room;
    pos += room;
    if (pos > size_limit) return false;
  }
  uint8_t* h = file.data();
  put_u32(h, mode_image);
  put_u32(h + image_field_transform, static_cast<uint32_t>(transform));
  put_u32(h + image_field_width, static_cast<uint32_t>(width));
  put_u32(h + image_field_height, static_cast<uint32_t>(height));
  put_u32(h + image_field_raw_planes, static_cast<uint32_t>(raw_planes));
  for (int c = 0; c < 3; c++) put_u32(h + image_field_size0 + 4 * c, sizes[c]);
  file.shrink(pos);
  *out = std::move(file);
  return true;
}

// A file no larger than the stored-mode file of an input the parser accepts is always shorter than the decoder's
// length limit.
static_assert(image_input_limit + container_header_size < image_length_limit);

bool compress_image_buffer(const uint8_t* pnm, size_t n, byte_buffer* out) {
  return encode_image(pnm, n, n + container_header_size, out);
}

byte_buffer decompress_image_buffer(const uint8_t* in, size_t n) {
  int width = 0, height = 0;
  return decode_pixels(in, n, true, &width, &height);
}

void decompress_image_to(const uint8_t* in, size_t n, byte_sink& sink) {
  int width = 0, height = 0;
  const byte_buffer pixels = decode_pixels(in, n, false, &width, &height);
  writeimage(sink, pixels.data(), width, height);
}
