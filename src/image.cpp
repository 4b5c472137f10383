// image.cpp — image mode: PNM parsing and writing, the sixteen colour transforms, plane prediction, the mode-2 file.
#include "image.h"

#include <immintrin.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "ransavx.h"
#include "util.h"

namespace qarn {

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

namespace {

// The header of a restorable PNM at the start of pnm[0..n): its geometry, and the length of the whole file it
// announces; false when the bytes are not such a header.
bool parse_pnm_header(const uint8_t* pnm, size_t n, pnm_geometry* geometry, uint64_t* length) {
  if (n < 3 || std::memcmp(pnm, "P6\n", 3) != 0) return false;
  size_t pos = 3;
  int64_t width = parse_dimension(pnm, n, &pos, ' ', image_max_width);
  if (width < 1) return false;
  int64_t height = parse_dimension(pnm, n, &pos, '\n', image_input_limit);
  if (height < 1) return false;
  if (n - pos < 4 || std::memcmp(pnm + pos, "255\n", 4) != 0) return false;
  pos += 4;
  geometry->width = static_cast<int>(width);
  geometry->height = static_cast<int>(height);
  geometry->header_size = pos;
  *length = pos + 3 * static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
  return true;
}

}  // namespace

bool parse_restorable_pnm(const uint8_t* pnm, size_t n, pnm_geometry* geometry) {
  if (n > static_cast<size_t>(image_input_limit)) return false;
  pnm_geometry g;
  uint64_t length;
  if (!parse_pnm_header(pnm, n, &g, &length) || length != n) return false;
  *geometry = g;
  return true;
}

uint64_t restorable_pnm_length(const uint8_t* pnm, size_t n) {
  pnm_geometry g;
  uint64_t length;
  if (!parse_pnm_header(pnm, n, &g, &length) || length > static_cast<uint64_t>(image_input_limit)) return 0;
  return length;
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

// Quantity q of every pixel, for one plane: out[i] from pixel i, n pixels. Only the channels q needs are
// gathered.
template <int q>
void channel_q(const uint8_t* __restrict p, uint8_t* __restrict out, size_t from, size_t n) {
  for (size_t i = from; i < n; i++) out[i] = quantity<q>(p[3 * i], p[3 * i + 1], p[3 * i + 2]);
}

template <int q>
__attribute__((target("avx2"))) void channel_q_avx2(const uint8_t* __restrict p, uint8_t* __restrict out, size_t n) {
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i* src = reinterpret_cast<const __m128i*>(p + 3 * i);
    const __m128i in[3] = {_mm_loadu_si128(src), _mm_loadu_si128(src + 1), _mm_loadu_si128(src + 2)};
    auto gather = [&](int k) __attribute__((target("avx2"), always_inline)) {
      return _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(in[0], mask(masks.gather[k][0])),
                                       _mm_shuffle_epi8(in[1], mask(masks.gather[k][1]))),
                          _mm_shuffle_epi8(in[2], mask(masks.gather[k][2])));
    };
    __m128i r{}, g{}, b{};
    if constexpr (q == 0 || q == 3 || q == 4) r = gather(0);
    if constexpr (q == 1 || q == 3 || q == 5) g = gather(1);
    if constexpr (q == 2 || q == 4 || q == 5) b = gather(2);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), quantity<q>(r, g, b));
  }
  channel_q<q>(p, out, i, n);
}

// Interleave and undo in one pass, the inverse of split_t: pixel i from byte i of the three planes.
template <int t>
void merge_t(const uint8_t* __restrict p0, const uint8_t* __restrict p1, const uint8_t* __restrict p2,
             uint8_t* __restrict p, size_t from, size_t n) {
  for (size_t i = from; i < n; i++) inverse<t>(p0[i], p1[i], p2[i], p[3 * i], p[3 * i + 1], p[3 * i + 2]);
}

template <int t>
__attribute__((target("avx2"))) void merge_t_avx2(const uint8_t* __restrict p0, const uint8_t* __restrict p1,
                                                   const uint8_t* __restrict p2, uint8_t* __restrict p, size_t n) {
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    __m128i ch[3];
    inverse<t>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p0 + i)),
               _mm_loadu_si128(reinterpret_cast<const __m128i*>(p1 + i)),
               _mm_loadu_si128(reinterpret_cast<const __m128i*>(p2 + i)), ch[0], ch[1], ch[2]);
    __m128i* dst = reinterpret_cast<__m128i*>(p + 3 * i);
    for (int v = 0; v < 3; v++)
      _mm_storeu_si128(dst + v, _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(ch[0], mask(masks.scatter[v][0])),
                                                          _mm_shuffle_epi8(ch[1], mask(masks.scatter[v][1]))),
                                             _mm_shuffle_epi8(ch[2], mask(masks.scatter[v][2]))));
  }
  merge_t<t>(p0, p1, p2, p, i, n);
}

template <int t>
void split_plain(const uint8_t* p, uint8_t* planes, size_t n) { split_t<t>(p, planes, 0, n); }
template <int t>
void merge_plain(const uint8_t* p0, const uint8_t* p1, const uint8_t* p2, uint8_t* p, size_t n) {
  merge_t<t>(p0, p1, p2, p, 0, n);
}
template <int q>
void channel_plain(const uint8_t* p, uint8_t* out, size_t n) { channel_q<q>(p, out, 0, n); }

using pixels_fn = void (*)(uint8_t*, size_t);
using split_fn = void (*)(const uint8_t*, uint8_t*, size_t);
using merge_fn = void (*)(const uint8_t*, const uint8_t*, const uint8_t*, uint8_t*, size_t);
using channel_fn = void (*)(const uint8_t*, uint8_t*, size_t);

template <int... t>
constexpr auto make_tables(std::integer_sequence<int, t...>) {
  struct tables {
    pixels_fn apply[image_transform_count], undo[image_transform_count];
    split_fn split[image_transform_count], split_avx2[image_transform_count];
    merge_fn merge[image_transform_count], merge_avx2[image_transform_count];
  };
  return tables{{apply_t<t>...},     {undo_t<t>...},        {split_plain<t>...},
                {split_t_avx2<t>...}, {merge_plain<t>...},  {merge_t_avx2<t>...}};
}
constexpr auto transforms = make_tables(std::make_integer_sequence<int, image_transform_count>{});

// One plane's bytes by quantity (0 R, 1 G, 2 B, 3 R-G, 4 R-B, 5 G-B).
template <int... q>
constexpr auto make_channels(std::integer_sequence<int, q...>) {
  struct tables {
    channel_fn plain[6], avx2[6];
  };
  return tables{{channel_plain<q>...}, {channel_q_avx2<q>...}};
}
constexpr auto channels = make_channels(std::make_integer_sequence<int, 6>{});

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
  (use_avx2 && cpu_has_avx2() ? transforms.merge_avx2 : transforms.merge)[t](planes, planes + n, planes + 2 * n,
                                                                              pixels, n);
}

namespace {

// The six histograms of pick_transform's estimate over the sampled rows y0 + 8k with from <= k < to (all rows
// of the rectangle: k up to rows_sampled), added into hist. first_left stands for the three bytes in front of
// the image's first pixel. Neighbouring pixels often fall into the same bins, so two sets of histograms take
// turns (a count seldom waits for the one before it) and are added up at the end.
using transform_histograms = uint32_t[6][256];
int64_t rows_sampled(int y0, int y1) { return y1 > y0 ? (int64_t{y1} - y0 + 7) / 8 : 0; }

void count_transform(const uint8_t* pixels, int width, int x0, int y0, int x1, int64_t from, int64_t to,
                     const uint8_t* first_left, transform_histograms& hist) {
  uint32_t h[2][6][256] = {};
  auto add = [](uint32_t (&t)[6][256], uint8_t dr, uint8_t dg, uint8_t db) {
    t[0][dr]++;
    t[1][dg]++;
    t[2][db]++;
    t[3][uint8_t(dr - dg)]++;
    t[4][uint8_t(dr - db)]++;
    t[5][uint8_t(dg - db)]++;
  };
  const int64_t n = int64_t{x1} - x0;
  for (int64_t k = from; k < to; k++) {
    const int64_t y = y0 + 8 * k;
    const uint8_t* p = pixels + 3 * (y * width + x0);
    const uint8_t* l = y * width + x0 == 0 ? first_left : p - 3;
    uint8_t lr = l[0], lg = l[1], lb = l[2];
    int64_t x = 0;
    for (; x + 2 <= n; x += 2, p += 6) {
      add(h[0], uint8_t(lr - p[0]), uint8_t(lg - p[1]), uint8_t(lb - p[2]));
      add(h[1], uint8_t(p[0] - p[3]), uint8_t(p[1] - p[4]), uint8_t(p[2] - p[5]));
      lr = p[3], lg = p[4], lb = p[5];
    }
    if (x < n) add(h[0], uint8_t(lr - p[0]), uint8_t(lg - p[1]), uint8_t(lb - p[2]));
  }
  for (int k = 0; k < 6; k++)
    for (int v = 0; v < 256; v++) hist[k][v] += h[0][k][v] + h[1][k][v];
}

// The transform the histograms of the rectangle x0 <= x < x1, y0 <= y < y1 choose.
float choose_transform(const transform_histograms& hist, int x0, int y0, int x1, int y1) {
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
  transform_histograms hist = {};
  count_transform(pixels, width, x0, y0, x1, 0, rows_sampled(y0, y1), pixels - 3, hist);
  return choose_transform(hist, x0, y0, x1, y1);
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
  // The pairs of plain bytes and the pairs of residuals, counted in one pass.
  std::vector<uint32_t> raw(256 * 256), predicted(256 * 256);
  int mask = 0;
  for (int c = 0; c < 2; c++) {
    const int64_t from = c * n, to = c * n + n;  // pairs (k, k + 1): the last reaches the next plane's first byte
    std::fill(raw.begin(), raw.end(), 0);
    std::fill(predicted.begin(), predicted.end(), 0);
    unsigned prev = residual_at(planes, from, width);
    for (int64_t k = from; k < to; k++) {
      raw[256 * planes[k] + planes[k + 1]]++;
      unsigned next = residual_at(planes, k + 1, width);
      predicted[256 * prev + next]++;
      prev = next;
    }
    if (!(pair_entropy(raw.data()) > pair_entropy(predicted.data()))) mask |= 1 << c;
  }
  return mask;
}


// ---------------------------------------------------------------------------------------------------------------
// The image-mode file.

namespace {

// Below this many pixels one thread does all the work: a second one would cost more than it saves.
constexpr size_t parallel_min_pixels = size_t{1} << 18;
// The compressor makes each plane in bands of whole rows of about this many pixels: a band is split out of the
// samples, predicted and counted while it is still in the cache.
constexpr size_t band_pixels = size_t{1} << 16;
// Planes from this length on are counted in two tables, one for each half of a band: runs of equal pairs then
// make two chains of increments instead of one.
constexpr size_t two_table_min = size_t{1} << 16;
// The decompressor restores the last plane, and hands on the finished pixels, in pieces of this many pixels.
constexpr size_t restore_piece = size_t{1} << 18;
constexpr size_t pair_table = 65536;

// Threads for an image of `pixels` pixels: `asked`, or when that is 0, two for large images if two processors
// are free.
int worker_count(int asked, size_t pixels) {
  if (asked > 0) return std::min(asked, 2);
  return pixels >= parallel_min_pixels && usable_cpus() >= 2 ? 2 : 1;
}

void predict_range(uint8_t* p, int64_t from, int64_t to, int64_t width, bool avx2) {
  if (avx2) predict_range_avx2(p, from, to, width);
  else predict_range_scalar(p, from, to, width);
}

// The bands' pair tables are kept turned round, by byte and then previous byte: the index of the pair
// (d[k - 1], d[k]) is then the little-endian 16-bit value at d + k - 1, one load.
inline uint32_t pair_at(const uint8_t* d) { return get_u16(d); }

// Adds the pairs (d[k - 1], d[k]) for 0 < k < n to tables[0], or with two tables the first half's to tables[0]
// and the second half's to tables[1].
void count_pairs(const uint8_t* d, size_t n, uint32_t* const* tables, int count) {
  if (n < 2) return;
  uint32_t* a = tables[0];
  if (count < 2 || n < 64) {
    for (size_t k = 0; k + 1 < n; k++) a[pair_at(d + k)]++;
    return;
  }
  uint32_t* b = tables[1];
  const size_t half = n / 2, la = half, lb = n - 1 - half;  // pairs ending at 1 .. half, and at half + 1 .. n - 1
  const uint8_t* pa = d;
  const uint8_t* pb = d + half;
  for (size_t i = 0; i < lb; i++) {
    a[pair_at(pa + i)]++;
    b[pair_at(pb + i)]++;
  }
  for (size_t i = lb; i < la; i++) a[pair_at(pa + i)]++;
}

// Adds a turned-round table to one by previous byte and then byte, as the coder and the entropy take them.
void add_turned(uint32_t* to, const uint32_t* from) {
  for (uint32_t c = 0; c < 256; c++)
    for (uint32_t s = 0; s < 256; s++) to[c << 8 | s] += from[s << 8 | c];
}

void turn(uint32_t* t) {
  for (uint32_t c = 0; c < 256; c++)
    for (uint32_t s = c + 1; s < 256; s++) std::swap(t[c << 8 | s], t[s << 8 | c]);
}

// The compressor's picture of the image: its samples, the planes it makes, and how the planes are cut into bands.
struct encoder_job {
  const uint8_t* samples;
  int64_t width, height;
  int64_t pixels;  // N, the length of a plane
  int transform = 0;
  int raw_planes = 0;
  bool avx2;
  uint8_t* planes;  // plane 0, with the border in front
  int64_t band_rows;
  int bands;   // per plane
  int tables;  // count tables per plane and worker
  // Whether the bands are counted: small planes are left to the coder, which counts them in one go.
  bool counted = false;
  // Transform 3: the plain bytes of planes 0 and 1 are counted as well, for the choice of raw planes.
  bool count_plain = false;

  // Makes plane c's bytes from the samples.
  channel_fn channel(int c) const { return (avx2 ? channels.avx2 : channels.plain)[stored_quantity[transform][c]]; }
  int64_t band_start(int b) const { return b * band_rows * width; }
  // Byte j of the untouched planes (counted from plane 0's first byte; the border below it), from the samples.
  uint8_t value(int64_t j) const {
    if (j < 0) return image_mid;
    const int c = static_cast<int>(j / pixels);
    const uint8_t* p = samples + 3 * (j % pixels);
    const uint8_t r = p[0], g = p[1], b = p[2];
    switch (stored_quantity[transform][c]) {
      case 0: return r;
      case 1: return g;
      case 2: return b;
      case 3: return diff(r, g);
      case 4: return diff(r, b);
      default: return diff(g, b);
    }
  }
  // The residual of byte j, predicted from untouched neighbours.
  uint8_t residual(int64_t j) const {
    unsigned pred = (unsigned(value(j - width)) + value(j - 1)) >> 1;
    return uint8_t(uint8_t(value(j) - pred) ^ image_mid);
  }
};

// One worker's pair counts, inside the bands it made: per plane `tables` tables of the bytes that are coded, and
// with count_plain the same for the plain bytes of planes 0 and 1.
// A worker makes its tables itself, while the other worker is already busy; the tables of the coded bytes, which
// do not depend on the transform, as soon as the image is known to be counted. `ready` and `plain_ready` say that
// they are there.
struct worker_counts {
  raw_array<uint32_t> t, p;
  int tables = 0;
  std::atomic<bool> ready{false}, plain_ready{false};
  void make(const encoder_job& job) {
    tables = job.tables;
    t = zeroed_tables(3);
    ready.store(true, std::memory_order_release);
  }
  void make_plain() {
    p = zeroed_tables(2);
    plain_ready.store(true, std::memory_order_release);
  }
  // Whether the worker has its tables: one without them has counted nothing.
  bool made() const { return ready.load(std::memory_order_acquire); }
  bool plain_made() const { return plain_ready.load(std::memory_order_acquire); }
  uint32_t* coded(int c, int k) { return t.data() + (size_t(c) * tables + k) * pair_table; }
  uint32_t* plain(int c, int k) { return p.data() + (size_t(c) * tables + k) * pair_table; }

 private:
  raw_array<uint32_t> zeroed_tables(int planes) const {
    const size_t n = size_t(planes) * tables * pair_table;
    raw_array<uint32_t> a = populated<uint32_t>(n);
    std::memset(a.data(), 0, n * sizeof(uint32_t));
    return a;
  }
};

// Makes band b of plane c: its bytes from the samples, then (when predict) their residuals, counted. `row` holds
// 2 x width bytes.
void make_band(const encoder_job& job, int c, int b, bool predict, worker_counts& counts, uint8_t* row) {
  const int64_t w = job.width;
  const int64_t r0 = b * job.band_rows, r1 = std::min(job.height, r0 + job.band_rows);
  const int64_t i0 = r0 * w, count = (r1 - r0) * w, at = c * job.pixels + i0;
  uint8_t* dst = job.planes + at;
  job.channel(c)(job.samples + 3 * i0, dst, static_cast<size_t>(count));
  uint32_t* tables[2];
  if (job.count_plain && c < 2 && predict) {
    tables[0] = counts.plain(c, 0);
    tables[1] = counts.plain(c, job.tables - 1);
    count_pairs(dst, static_cast<size_t>(count), tables, job.tables);
  }
  if (predict) {
    // The rows below the first see only this band. The first row sees the row above it, untouched: made again
    // from the samples (the last row of the plane before for the first row of a plane, the border for plane 0),
    // it is predicted in `row`, behind its upper neighbours.
    if (r0 > 0) job.channel(c)(job.samples + 3 * (i0 - w), row, static_cast<size_t>(w));
    else if (c > 0) job.channel(c - 1)(job.samples + 3 * (job.pixels - w), row, static_cast<size_t>(w));
    else std::memset(row, image_mid, static_cast<size_t>(w));
    std::memcpy(row + w, dst, static_cast<size_t>(w));
    if (count > w) predict_range(job.planes, at + w, at + count, w, job.avx2);
    predict_range(row, w, 2 * w, w, job.avx2);
    std::memcpy(dst, row + w, static_cast<size_t>(w));
  }
  if (job.counted && !(job.count_plain && c < 2 && (job.raw_planes >> c & 1))) {
    tables[0] = counts.coded(c, 0);
    tables[1] = counts.coded(c, job.tables - 1);
    count_pairs(dst, static_cast<size_t>(count), tables, job.tables);
  }
}

// The raw-plane choice of pick_raw_planes from the counts of the bands of planes 0 and 1 (all predicted), with
// the pairs across band and plane boundaries added from the samples.
int choose_raw_planes(const encoder_job& job, worker_counts* counts) {
  std::vector<uint32_t> plain(pair_table), predicted(pair_table);
  int mask = 0;
  for (int c = 0; c < 2; c++) {
    std::fill(plain.begin(), plain.end(), 0);
    std::fill(predicted.begin(), predicted.end(), 0);
    for (int k = 0; k < 2; k++)  // a worker without tables of the plain bytes has made no band yet
      for (int s = 0; s < job.tables && counts[k].plain_made(); s++) {
        add_turned(plain.data(), counts[k].plain(c, s));
        add_turned(predicted.data(), counts[k].coded(c, s));
      }
    for (int b = 1; b <= job.bands; b++) {  // the first byte of every later band, then of the next plane
      const int64_t j = c * job.pixels + (b < job.bands ? job.band_start(b) : job.pixels);
      plain[job.value(j - 1) << 8 | job.value(j)]++;
      predicted[job.residual(j - 1) << 8 | job.residual(j)]++;
    }
    if (!(pair_entropy(plain.data()) > pair_entropy(predicted.data()))) mask |= 1 << c;
  }
  return mask;
}

// Codes plane c into room (rans_compress_bound(N) bytes) from the workers' counts; returns the block, which lies
// at the room's end (at its start when the coder counts the plane itself), and sets *size to its length. The coding
// worker's first table of the plane is used up.
const uint8_t* code_plane(const encoder_job& job, worker_counts* counts, int coder, int c, uint8_t* room,
                          unsigned int room_size, unsigned int* size) {
  uint8_t* p = job.planes + c * job.pixels;
  *size = room_size;
  if (!job.counted) {
    uint8_t* block = rans_compress_O1_32x16(p, static_cast<unsigned int>(job.pixels), room, size);
    assert(block != nullptr);
    return block;
  }
  const bool plain = job.count_plain && c < 2 && (job.raw_planes >> c & 1);
  auto table = [&](int k, int s) { return plain ? counts[k].plain(c, s) : counts[k].coded(c, s); };
  // The counts are added up in the coding worker's first table, turned the right way round. The other worker
  // has counted nothing here when it has no tables yet (all bands of the plane are made).
  uint32_t* f = table(coder, 0);
  turn(f);
  for (int k = 0; k < 2; k++)
    for (int s = 0; s < job.tables && (plain ? counts[k].plain_made() : counts[k].made()); s++)
      if (k != coder || s) add_turned(f, table(k, s));
  // The first byte of each band, in the context of the byte before it (context 0 for the plane's first).
  for (int b = 0; b < job.bands; b++) {
    const int64_t i = job.band_start(b);
    f[(b ? p[i - 1] : 0) << 8 | p[i]]++;
  }
  uint8_t* block = rans_compress_O1_32x16_counted_at_end(f, p, static_cast<unsigned int>(job.pixels), room, size);
  assert(block != nullptr);
  return block;
}

}  // namespace

namespace {

// What the samples see in front of them: the border, which the header's place also belongs to.
const uint8_t border_pixel[3] = {image_mid, image_mid, image_mid};
// Sampled rows of the transform's estimate per piece of work.
constexpr int64_t rows_per_pick = 16;

// A new thread starts on the processor of the thread that made it, and the scheduler may take milliseconds to move
// one of two busy threads to an idle processor: meanwhile they take turns on one. So the second worker, found on
// the processor `first` that the first worker was on, moves itself to another one the process may use, at once,
// and then lets the scheduler place it freely again.
void move_off(int first) {
  if (first < 0 || sched_getcpu() != first) return;
  cpu_set_t all, others;
  if (sched_getaffinity(0, sizeof all, &all) != 0) return;
  others = all;
  CPU_CLR(first, &others);
  if (CPU_COUNT(&others) == 0 || sched_setaffinity(0, sizeof others, &others) != 0) return;
  sched_setaffinity(0, sizeof all, &all);
}

// Waits, letting other threads run, until done() or the run was stopped; returns !stopped.
template <class Done>
bool wait_for(const std::atomic<bool>& stop, Done&& done) {
  while (!done()) {
    if (stop.load()) return false;
    std::this_thread::yield();
  }
  return !stop.load();
}

// One round of bands (and, when `code`, of coding planes) that the workers share.
struct band_round {
  int plane[3] = {};  // the planes that get bands
  int planes = 0;
  // With `leading`, all bands of the first plane come first, so that it can be coded while the others are made.
  // The other planes take turns band by band: the second reads the samples the first has just brought into the
  // cache.
  bool leading = false;
  bool predict[3] = {true, true, true};
  bool code = true;
  std::atomic<int> next{0}, done[3];
  std::atomic<bool> coded[3];
  // Task t: its plane and band.
  void task(int t, int bands, int* c, int* b) const {
    const int lead = leading ? bands : 0;
    if (t < lead) {
      *c = plane[0];
      *b = t;
    } else {
      const int others = planes - (leading ? 1 : 0);
      *c = plane[(leading ? 1 : 0) + (t - lead) % others];
      *b = (t - lead) / others;
    }
  }
  void start(int bands) {
    for (int c = 0; c < 3; c++) {
      bool has_bands = false;
      for (int i = 0; i < planes; i++) has_bands |= plane[i] == c;
      done[c].store(has_bands ? 0 : bands);
      coded[c].store(!code);
    }
  }
};

// A worker's room for the coder: the coder leaves each block at the room's end, so that a room used again reaches
// pages it has already faulted in.
struct coder_room {
  byte_buffer bytes;
  std::atomic<bool> holds{false};  // a block still waits here for its place in the file
  // Makes the room, its last `expected` bytes mapped in.
  void make(unsigned int bound, size_t expected) {
    bytes = byte_buffer(bound);
    expected = std::min<size_t>(expected, bound);
    populate(bytes.data() + bound - expected, expected);
  }
};
// Rooms of a worker: it never needs more than one for each plane it codes.
using worker_rooms = coder_room[3];

// The coded blocks on their way into the file, which is written over the planes' own memory from its start: a
// plane is not needed once it is coded, and its pages are mapped in already, where a buffer of its own would have
// to fault fresh pages in. A block is copied from its room to its place as soon as the lengths of the blocks in
// front of it are known and no plane still to be coded lies there; one that cannot be placed so (a block longer
// than its plane) waits in its room until all planes are coded.
class file_blocks {
 public:
  file_blocks(uint8_t* memory, size_t capacity, int64_t pixels) : file_(memory), capacity_(capacity), n_(pixels) {}
  // Takes a room of worker k that holds no block, making it when it is new.
  static coder_room& free_room(worker_rooms& rooms, unsigned int bound) {
    for (coder_room& r : rooms)
      if (!r.holds.load(std::memory_order_acquire)) {
        if (!r.bytes.data()) r.make(bound, 0);
        r.holds.store(true, std::memory_order_relaxed);
        return r;
      }
    assert(false);  // a worker codes three planes at most, each in a room of its own at worst
    return rooms[0];
  }
  // Block c, coded into `room`, is at `at` and `size` bytes long; places what can be placed.
  void add(int c, const uint8_t* at, uint32_t size, coder_room* room) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      blocks_[c] = {at, size, room, true, false};
    }
    place();
  }
  // Copies every block whose place is known and free to it; each copy outside the lock, so that the other worker
  // may place the next block meanwhile.
  void place() {
    for (;;) {
      int c = -1;
      size_t pos = image_header_size;
      {
        std::lock_guard<std::mutex> hold(lock_);
        for (int i = 0; i < 3 && blocks_[i].coded; pos += blocks_[i].size, i++) {
          if (blocks_[i].placed) continue;
          if (pos + blocks_[i].size > capacity_) break;
          for (int j = 0; j < 3; j++)  // plane j lies at image_border + j N in the memory
            if (!blocks_[j].coded && pos + blocks_[i].size > size_t(image_border + j * n_) &&
                pos < size_t(image_border + (j + 1) * n_))
              return;
          c = i;
          blocks_[i].placed = true;
          break;
        }
      }
      if (c < 0) return;
      std::memcpy(file_ + pos, blocks_[c].at, blocks_[c].size);
      blocks_[c].at = file_ + pos;
      blocks_[c].room->holds.store(false, std::memory_order_release);
    }
  }
  size_t length() const { return image_header_size + size_t{blocks_[0].size} + blocks_[1].size + blocks_[2].size; }
  uint32_t size(int c) const { return blocks_[c].size; }
  // Once all are coded and placed where they could be: whether all lie in the memory in order, and where block c is.
  bool all_placed() const { return blocks_[0].placed && blocks_[1].placed && blocks_[2].placed; }
  const uint8_t* at(int c) const { return blocks_[c].at; }

 private:
  struct block {
    const uint8_t* at = nullptr;  // where its bytes are now
    uint32_t size = 0;
    coder_room* room = nullptr;  // where it was coded
    bool coded = false, placed = false;
  };
  uint8_t* file_;
  size_t capacity_;
  int64_t n_;
  std::mutex lock_;
  block blocks_[3];
};

}  // namespace

bool encode_image(const uint8_t* pnm, size_t n, size_t size_limit, byte_buffer* out, int workers) {
  pnm_geometry g;
  if (size_limit < image_header_size || !parse_restorable_pnm(pnm, n, &g)) return false;
  const int width = g.width, height = g.height;
  const size_t pixels = pixel_count(width, height);
  const uint8_t* samples = pnm + g.header_size;

  byte_buffer planes_buf(static_cast<size_t>(image_border) + 3 * pixels);
  std::memset(planes_buf.data(), image_mid, image_border);
  workers = worker_count(workers, pixels);
  const unsigned int bound = rans_compress_bound(static_cast<unsigned int>(pixels));
  assert(bound != 0);
  file_blocks blocks(planes_buf.data(), planes_buf.size(), static_cast<int64_t>(pixels));
  worker_rooms rooms[2];
  // The planes' memory is mapped in first, in pieces of a huge page that the workers share, so that the pages of
  // one band are not faulted in by one worker while the other waits for them.
  constexpr size_t map_piece = size_t{2} << 20;
  const int map_pieces = static_cast<int>((planes_buf.size() + map_piece - 1) / map_piece);

  encoder_job job;
  job.samples = samples;
  job.width = width;
  job.height = height;
  job.pixels = static_cast<int64_t>(pixels);
  job.avx2 = cpu_has_avx2();
  job.planes = planes_buf.data() + image_border;
  job.band_rows = std::max<int64_t>(1, static_cast<int64_t>(band_pixels) / width);
  job.bands = static_cast<int>((height + job.band_rows - 1) / job.band_rows);
  job.tables = pixels >= two_table_min ? 2 : 1;
  const int64_t sampled = rows_sampled(0, height);
  const int picks = static_cast<int>((sampled + rows_per_pick - 1) / rows_per_pick);

  // Everything is shared out in small pieces that a worker takes when it is free, so that a second thread that
  // starts late, or is held up, costs nothing but its share: first the rows of the transform's estimate, then
  // bands of rows, each of one plane; a plane is coded by the first worker free once its bands are made.
  // Transform 3 makes planes 0 and 1 predicted first, counting their plain bytes too; the first worker then
  // picks the raw planes, and a plane that codes no better predicted is made again from the samples as it is.
  std::atomic<bool> stopped_by_size{false};
  const int first_cpu = sched_getcpu();
  auto attempt = [&](int threads) {
    transform_histograms hist[2] = {};
    std::atomic<int> next_map{0}, next_pick{0}, picked{0}, stage{0};
    std::atomic<bool> stop{false};
    std::atomic<size_t> written{image_header_size};
    worker_counts counts[2];
    band_round first, last;  // first: transform 3's planes 0 and 1
    // Bands of `round`, and planes to code, until nothing is left to hand out; returns false when stopped.
    auto share = [&](int k, band_round& round, uint8_t* row) {
      const int total = round.planes * job.bands;
      for (;;) {
        if (stop.load()) return false;
        // Plane 0 is coded as soon as it is made; the other two wait until every band is handed out, so that
        // they are coded side by side at the end instead of one of them alone.
        const bool bands_left = round.next.load() < total;
        bool waiting = false;
        int ready = -1;
        for (int c = 0; c < 3 && ready < 0; c++) {
          if (round.coded[c].load()) continue;
          waiting = true;
          if ((c == 0 || !bands_left) && round.done[c].load(std::memory_order_acquire) == job.bands &&
              !round.coded[c].exchange(true))
            ready = c;
        }
        if (ready >= 0) {
          coder_room& room = file_blocks::free_room(rooms[k], bound);
          unsigned int size = 0;
          const uint8_t* block = code_plane(job, counts, k, ready, room.bytes.data(), bound, &size);
          blocks.add(ready, block, size, &room);
          if (written.fetch_add(size) + size > size_limit) {
            stopped_by_size.store(true);
            stop.store(true);
          }
          continue;
        }
        if (bands_left) {
          const int t = round.next.fetch_add(1);
          if (t < total) {
            int c, b;
            round.task(t, job.bands, &c, &b);
            make_band(job, c, b, round.predict[c], counts[k], row);
            round.done[c].fetch_add(1, std::memory_order_release);
            continue;
          }
        }
        if (!waiting) return true;
        std::this_thread::yield();  // the other worker is finishing a band that a plane to code needs
      }
    };
    // Worker k's count tables, and the coder's memory: mapped in while the work is still shared out in small
    // pieces, since a worker that maps it in for its first plane near the end keeps the other waiting. A photo's
    // block takes about a third of its plane.
    auto prepare = [&](int k) {
      counts[k].make(job);
      rans_prepare_counted_at_end();
      if (!rooms[k][0].bytes.data()) rooms[k][0].make(bound, static_cast<size_t>(pixels) / 3);
    };
    auto work = [&](int k) {
      if (k == 1) move_off(first_cpu);
      for (int i; (i = next_map.fetch_add(1)) < map_pieces;) {
        const size_t from = i * map_piece;
        populate(planes_buf.data() + from, std::min(map_piece, planes_buf.size() - from));
      }
      // An image this large is counted whatever its transform: the worker's tables and the coder's memory are made
      // now, while the other worker may still be faulting in the pages of the samples, which the system does for
      // one processor at a time.
      if (pixels >= two_table_min) prepare(k);
      for (int i; (i = next_pick.fetch_add(1)) < picks;) {
        count_transform(samples, width, 0, 0, width, i * rows_per_pick, std::min(sampled, (i + 1) * rows_per_pick),
                        border_pixel, hist[k]);
        picked.fetch_add(1, std::memory_order_release);
      }
      if (k == 0) {
        if (!wait_for(stop, [&] { return picked.load(std::memory_order_acquire) == picks; })) return;
        for (int q = 0; q < 6; q++)
          for (int v = 0; v < 256; v++) hist[0][q][v] += hist[1][q][v];
        job.transform = static_cast<int>(choose_transform(hist[0], 0, 0, width, height));
        job.count_plain = job.transform == 3;
        job.counted = pixels >= two_table_min || job.count_plain;
        job.raw_planes = 0;
        if (job.count_plain) {
          first.plane[0] = 0;
          first.plane[1] = 1;
          first.planes = 2;
          first.code = false;
          first.start(job.bands);
        } else {
          last.plane[0] = 0;
          last.plane[1] = 1;
          last.plane[2] = 2;
          last.planes = 3;
          last.leading = true;
          last.start(job.bands);
        }
        stage.store(job.count_plain ? 1 : 2, std::memory_order_release);
      } else if (!wait_for(stop, [&] { return stage.load(std::memory_order_acquire) > 0; })) {
        return;
      }
      if (job.counted && !counts[k].made()) prepare(k);
      if (job.count_plain && !counts[k].plain_made()) counts[k].make_plain();
      byte_buffer row(2 * static_cast<size_t>(width));
      if (stage.load(std::memory_order_acquire) == 1) {
        if (!share(k, first, row.data())) return;
        if (k == 0) {
          if (!wait_for(stop, [&] {
                return first.done[0].load(std::memory_order_acquire) == job.bands &&
                       first.done[1].load(std::memory_order_acquire) == job.bands;
              }))
            return;
          job.raw_planes = choose_raw_planes(job, counts);
          for (int c = 0; c < 2; c++)
            if (job.raw_planes >> c & 1) {
              last.plane[last.planes++] = c;
              last.predict[c] = false;
            }
          last.plane[last.planes++] = 2;
          last.start(job.bands);
          stage.store(2, std::memory_order_release);
        } else if (!wait_for(stop, [&] { return stage.load(std::memory_order_acquire) == 2; })) {
          return;
        }
      }
      share(k, last, row.data());
    };
    return run_workers(threads, work, [&] { stop.store(true); });
  };
  if (!attempt(workers)) (void)attempt(1);  // no second thread to be had: one worker does it all
  if (stopped_by_size.load()) return false;

  blocks.place();  // all planes are coded: only a file longer than the planes' memory leaves blocks unplaced
  byte_buffer file;
  if (blocks.all_placed()) {
    file = std::move(planes_buf);
  } else {
    file = byte_buffer(blocks.length());
    for (size_t c = 0, pos = image_header_size; c < 3; pos += blocks.size(c), c++)
      std::memcpy(file.data() + pos, blocks.at(c), blocks.size(c));
  }
  uint8_t* h = file.data();
  put_u32(h, mode_image);
  put_u32(h + image_field_transform, static_cast<uint32_t>(job.transform));
  put_u32(h + image_field_width, static_cast<uint32_t>(width));
  put_u32(h + image_field_height, static_cast<uint32_t>(height));
  put_u32(h + image_field_raw_planes, static_cast<uint32_t>(job.raw_planes));
  for (int c = 0; c < 3; c++) put_u32(h + image_field_size0 + 4 * c, blocks.size(c));
  file.shrink(blocks.length());
  *out = std::move(file);
  return true;
}

// A file no larger than the stored-mode file of an input the parser accepts is always shorter than the decoder's
// length limit.
static_assert(image_input_limit + container_header_size < image_length_limit);

bool compress_image_buffer(const uint8_t* pnm, size_t n, byte_buffer* out, int workers) {
  return encode_image(pnm, n, n + container_header_size, out, workers);
}

namespace {

// The width and height in an image-mode file's header, checked: planes of that size fit within the format's limit.
void header_geometry(const uint8_t* in, uint32_t* width, uint32_t* height) {
  *width = get_u32(in + image_field_width);
  *height = get_u32(in + image_field_height);
  if (*width < 1 || *width > image_max_width || *height < 1) corrupt();
  if (image_border + 3 * (uint64_t{*width} * *height) > static_cast<uint64_t>(image_length_limit)) corrupt();
}

// Decodes an image-mode file and hands the restored pixels to emit(first, count, planes, width, height, transform)
// in order, in pieces: nothing is emitted from a damaged file.
template <class Emit>
void decode_image(const uint8_t* in, size_t n, int workers, Emit&& emit) {
  if (n < image_header_size || n >= static_cast<size_t>(image_length_limit)) corrupt();
  if (get_u32(in) != mode_image) corrupt();
  const uint32_t transform_field = get_u32(in + image_field_transform);
  uint32_t width, height;
  header_geometry(in, &width, &height);
  const int raw_planes = static_cast<int>(get_u32(in + image_field_raw_planes) & raw_plane_bits);
  const uint64_t pixels = uint64_t{width} * height;
  const uint64_t n0 = get_u32(in + image_field_size0), n1 = get_u32(in + image_field_size0 + 4);
  // Blocks 0 and 1 must lie inside the file; block 2 runs to its end (its recorded length is not needed).
  const uint64_t start[3] = {image_header_size, image_header_size + n0, image_header_size + n0 + n1};
  if (start[1] > n || start[2] > n) corrupt();
  const uint64_t length[3] = {n0, n1, n - start[2]};
  const int transform = transform_field < image_transform_count ? static_cast<int>(transform_field) : 0;
  const int64_t N = static_cast<int64_t>(pixels), w = width;

  byte_buffer planes_buf(static_cast<size_t>(image_border + 3 * pixels));
  std::memset(planes_buf.data(), image_mid, image_border);
  uint8_t* planes = planes_buf.data() + image_border;
  // Each block may fill its own plane only: a block that declares another length is refused.
  auto decode_block = [&](int c) {
    unsigned int room = static_cast<unsigned int>(pixels);
    return rans_uncompress_O1_32x16(const_cast<uint8_t*>(in + start[c]), static_cast<unsigned int>(length[c]),
                                    planes + c * N, &room) != nullptr &&
           room == pixels;
  };
  auto restore = [&](int c, int64_t from, int64_t to) {
    if (!(raw_planes >> c & 1)) unpredict_range(planes, c * N + from, c * N + to, w);
  };
  auto emit_pixels = [&](int64_t from, int64_t to) {
    emit(from, to - from, planes, static_cast<int>(width), static_cast<int>(height), transform);
  };

  workers = worker_count(workers, static_cast<size_t>(pixels));
  if (workers >= 2) {
    // One worker decodes block 0 and restores the planes, a serial chain, while the other decodes blocks 1 and
    // 2 and then hands on the pixels as the last plane is restored. A block the second worker has not taken
    // when the first needs it (it started late) is decoded by the first.
    std::mutex lock;
    std::condition_variable changed;
    int state[3] = {};  // 0 not yet decoded, 1 decoded, 2 damaged
    bool stopped = false;
    int64_t restored = 0;  // pixels of the last plane restored
    std::mutex emit_lock;
    int64_t emitted = 0;
    std::atomic<int> next_block{1};
    const int first_cpu = sched_getcpu();
    auto set_state = [&](int c, bool ok) {
      std::lock_guard<std::mutex> hold(lock);
      state[c] = ok ? 1 : 2;
      changed.notify_all();
    };
    auto decoded = [&](int c) {
      std::unique_lock<std::mutex> hold(lock);
      changed.wait(hold, [&] { return stopped || state[c] != 0; });
      return !stopped && state[c] == 1;
    };
    auto emit_to = [&](int64_t to) {
      std::lock_guard<std::mutex> hold(emit_lock);
      {
        std::lock_guard<std::mutex> check(lock);
        if (stopped) return;
      }
      if (to > emitted) emit_pixels(emitted, to);
      emitted = std::max(emitted, to);
    };
    // Decodes the next block nobody has taken, if any.
    auto take_block = [&](int last) {
      int c = next_block.load();
      if (c > last || !next_block.compare_exchange_strong(c, c + 1)) return false;
      const bool ok = decode_block(c);
      set_state(c, ok);
      if (!ok) corrupt();
      return true;
    };
    auto work = [&](int k) {
      if (k == 1) move_off(first_cpu);
      if (k == 0) {
        const bool ok = decode_block(0);
        set_state(0, ok);
        if (!ok) corrupt();
        restore(0, 0, N);
        while (take_block(1)) {
        }
        if (!decoded(1)) return;
        restore(1, 0, N);
        while (take_block(2)) {
        }
        if (!decoded(2)) return;
        for (int64_t from = 0; from < N;) {
          const int64_t to = std::min<int64_t>(N, from + static_cast<int64_t>(restore_piece));
          restore(2, from, to);
          std::lock_guard<std::mutex> hold(lock);
          restored = from = to;
          changed.notify_all();
        }
        emit_to(N);
        return;
      }
      while (take_block(2)) {
      }
      for (int64_t seen = 0; seen < N;) {
        {
          std::unique_lock<std::mutex> hold(lock);
          changed.wait(hold, [&] { return stopped || restored > seen; });
          if (stopped) return;
          seen = restored;
        }
        move_off(first_cpu);  // woken, it may have been put beside the first worker again
        emit_to(seen);
      }
    };
    auto stop = [&] {
      std::lock_guard<std::mutex> hold(lock);
      stopped = true;
      changed.notify_all();
    };
    if (run_workers(2, work, stop)) return;
  }
  for (int c = 0; c < 3; c++)
    if (!decode_block(c)) corrupt();
  for (int c = 0; c < 3; c++) restore(c, 0, N);
  emit_pixels(0, N);
}

// The pixels [from, from + count) of the restored planes, interleaved and with the transform undone.
void merge_pixels(const uint8_t* planes, int64_t from, int64_t count, int64_t pixels, int transform, uint8_t* out) {
  (cpu_has_avx2() ? transforms.merge_avx2 : transforms.merge)[transform](
      planes + from, planes + pixels + from, planes + 2 * pixels + from, out, static_cast<size_t>(count));
}

}  // namespace

uint64_t image_restored_length(const uint8_t* in, size_t n) {
  if (n < image_header_size) corrupt();
  uint32_t width, height;
  header_geometry(in, &width, &height);
  return pnm_header(static_cast<int>(width), static_cast<int>(height)).size() + 3 * (uint64_t{width} * height);
}

byte_buffer decompress_image_buffer(const uint8_t* in, size_t n, int workers) {
  byte_buffer out;
  size_t front = 0;
  decode_image(in, n, workers, [&](int64_t from, int64_t count, const uint8_t* planes, int width, int height,
                                   int transform) {
    const int64_t pixels = int64_t{width} * height;
    if (!out.data()) {
      const std::string head = pnm_header(width, height);
      front = head.size();
      out = byte_buffer(front + 3 * static_cast<size_t>(pixels));
      std::memcpy(out.data(), head.data(), front);
    }
    merge_pixels(planes, from, count, pixels, transform, out.data() + front + 3 * from);
  });
  return out;
}

void decompress_image_to(const uint8_t* in, size_t n, byte_sink& sink, int workers) {
  byte_buffer piece;
  decode_image(in, n, workers, [&](int64_t from, int64_t count, const uint8_t* planes, int width, int height,
                                   int transform) {
    const int64_t pixels = int64_t{width} * height;
    if (from == 0) {
      const std::string head = pnm_header(width, height);
      sink.write(reinterpret_cast<const uint8_t*>(head.data()), head.size());
    }
    if (!piece.data()) piece = byte_buffer(3 * std::min(restore_piece, static_cast<size_t>(pixels)));
    for (int64_t done = 0; done < count;) {
      const int64_t k = std::min<int64_t>(count - done, static_cast<int64_t>(restore_piece));
      merge_pixels(planes, from + done, k, pixels, transform, piece.data());
      sink.write(piece.data(), 3 * static_cast<size_t>(k));
      done += k;
    }
  });
}

}  // namespace qarn
