// image_test.cpp — image mode: colour transforms, plane prediction, the mode-2 file, fallback and refusals.
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "helpers.h"
#include "image.h"
#include "ransavx.h"
#include "util.h"

using namespace qarn;

namespace fs = std::filesystem;

namespace {

// ---- Fixtures made in the test. ----

struct rgb {
  uint8_t r, g, b;
};

// Interleaved samples with three bytes of 128 in front, as the compressor keeps them.
struct image {
  int width, height;
  bytes data;  // 3 border bytes, then the samples
  image(int w, int h) : width(w), height(h), data(3 + 3 * size_t(w) * h, 128) {}
  uint8_t* pixels() { return data.data() + 3; }
  bytes samples() const { return bytes(data.begin() + 3, data.end()); }
  void set(int x, int y, rgb c) {
    uint8_t* p = pixels() + 3 * (size_t(y) * width + x);
    p[0] = c.r;
    p[1] = c.g;
    p[2] = c.b;
  }
  bytes pnm() const {
    bytes out = to_bytes(pnm_header(width, height));
    out.insert(out.end(), data.begin() + 3, data.end());
    return out;
  }
};

image random_image(int w, int h, uint32_t seed) {
  image im(w, h);
  std::mt19937 rng(seed);
  for (size_t i = 3; i < im.data.size(); i++) im.data[i] = uint8_t(rng());
  return im;
}

// A smooth picture with a little noise: what a photo looks like to the predictor.
image smooth_image(int w, int h, uint32_t seed) {
  image im(w, h);
  std::mt19937 rng(seed);
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      int n = int(rng() % 5) - 2;
      im.set(x, y, {uint8_t(x + y + n), uint8_t(2 * x + n), uint8_t((x * y) / 64 + n)});
    }
  return im;
}

// Channel quantities as the stored bytes hold them: 0 R, 1 G, 2 B, 3 R-G, 4 R-B, 5 G-B, differences XOR 128.
uint8_t stored_quantity(int q, rgb c) {
  switch (q) {
    case 0: return c.r;
    case 1: return c.g;
    case 2: return c.b;
    case 3: return uint8_t(c.r - c.g) ^ 128;
    case 4: return uint8_t(c.r - c.b) ^ 128;
    default: return uint8_t(c.g - c.b) ^ 128;
  }
}
// The quantities of the three bytes of each transform.
const int transform_bytes[16][3] = {
    {0, 1, 2}, {0, 1, 4}, {0, 1, 5}, {0, 2, 3}, {0, 2, 5}, {1, 2, 3}, {1, 2, 4}, {0, 3, 4},
    {1, 3, 4}, {2, 3, 4}, {0, 3, 5}, {1, 3, 5}, {2, 3, 5}, {0, 4, 5}, {1, 4, 5}, {2, 4, 5},
};

// ---- Colour transforms. ----

TEST(ImageTransform, each_transform_writes_its_triple_and_undo_restores_it) {
  image im = random_image(37, 11, 1);
  const rgb probe{200, 30, 77};
  im.set(5, 3, probe);
  const bytes original = im.samples();
  for (int t = 0; t < 16; t++) {
    image work = im;
    apply_transform(work.pixels(), work.width, work.height, t);
    const uint8_t* p = work.pixels() + 3 * (3 * 37 + 5);
    for (int c = 0; c < 3; c++)
      EXPECT_EQ(p[c], stored_quantity(transform_bytes[t][c], probe)) << "transform " << t << " byte " << c;
    undo_transform(work.pixels(), work.width, work.height, t);
    EXPECT_BYTES_EQ(original, work.samples()) << "transform " << t;
  }
}

TEST(ImageTransform, split_and_merge_match_transform_then_interleave) {
  image im = random_image(37, 11, 7);  // 407 pixels: vector blocks of 16 and a tail
  const size_t n = 37 * 11;
  for (int t = 0; t < 17; t++) {
    image transformed = im;
    apply_transform(transformed.pixels(), im.width, im.height, t);
    bytes expected(3 * n);
    for (size_t i = 0; i < n; i++)
      for (int c = 0; c < 3; c++) expected[c * n + i] = transformed.pixels()[3 * i + c];
    for (bool vector : {false, true}) {
      bytes planes(3 * n), back(3 * n);
      split_planes(im.pixels(), planes.data(), n, t, vector);
      EXPECT_BYTES_EQ(expected, planes) << "transform " << t << " vector " << vector;
      merge_planes(planes.data(), back.data(), n, t, vector);
      EXPECT_BYTES_EQ(im.samples(), back) << "transform " << t << " vector " << vector;
    }
  }
}

TEST(ImageTransform, numbers_outside_the_table_change_nothing) {
  const image im = random_image(9, 4, 2);
  for (int t : {0, 16, 17, 1000, -1}) {
    image work = im;
    apply_transform(work.pixels(), work.width, work.height, t);
    EXPECT_BYTES_EQ(im.samples(), work.samples()) << "apply " << t;
    undo_transform(work.pixels(), work.width, work.height, t);
    EXPECT_BYTES_EQ(im.samples(), work.samples()) << "undo " << t;
  }
}

TEST(ImageTransform, grey_pixels_store_128_in_every_difference) {
  image grey(16, 3);
  for (int i = 0; i < 48; i++) grey.set(i % 16, i / 16, {uint8_t(i * 5), uint8_t(i * 5), uint8_t(i * 5)});
  for (int t = 1; t < 16; t++) {
    image work = grey;
    apply_transform(work.pixels(), work.width, work.height, t);
    for (int i = 0; i < 48; i++)
      for (int c = 0; c < 3; c++)
        if (transform_bytes[t][c] >= 3) {
          ASSERT_EQ(work.pixels()[3 * i + c], 128) << "transform " << t << " pixel " << i;
        }
  }
}

// Noise whose channels are built so that one transform is clearly cheapest.
image channel_mix(int w, int h, uint32_t seed, int kind) {
  image im(w, h);
  std::mt19937 rng(seed);
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      uint8_t wide = uint8_t(rng() % 64), mid = uint8_t(rng() % 16), small = uint8_t(rng() % 3);
      if (kind == 0) im.set(x, y, {wide, wide, wide});  // grey: R-G, R-B, G-B free; R, G, B cost alike
      else im.set(x, y, {uint8_t(mid + wide + small), uint8_t(mid + wide), mid});  // B, R-G, G-B cheapest
    }
  return im;
}

TEST(ImageTransform, pick_chooses_the_cheapest_and_breaks_ties_low) {
  struct pick_case {
    const char* name;
    image im;
    int expected;
  };
  image mixed_first_row = channel_mix(64, 8, 5, 1);
  const image grey = channel_mix(64, 8, 6, 0);
  // Only the first of these eight rows is sampled: give it the grey content.
  std::copy(grey.data.begin(), grey.data.begin() + 3 + 3 * 64, mixed_first_row.data.begin());
  const pick_case cases[] = {
      {"1x1", random_image(1, 1, 3), 0},
      {"grey noise: 7, 8 and 9 tie", channel_mix(128, 128, 4, 0), 7},
      {"B plain, R-G and G-B differences", channel_mix(128, 128, 5, 1), 12},
      {"height 8 samples the first row only", mixed_first_row, 7},
  };
  for (const pick_case& c : cases) {
    image im = c.im;
    float t = pick_transform(im.pixels(), im.width, 0, 0, im.width, im.height);
    EXPECT_EQ(t, float(c.expected)) << c.name;
  }
}

// ---- Plane prediction. ----

// Three planes behind a border of 128, laid out as the codec keeps them.
struct planes {
  int width, height;
  bytes data;
  planes(int w, int h) : width(w), height(h), data(image_border + 3 * size_t(w) * h, 128) {}
  uint8_t* start() { return data.data() + image_border; }
  bytes body() const { return bytes(data.begin() + image_border, data.end()); }
};

planes random_planes(int w, int h, uint32_t seed) {
  planes p(w, h);
  std::mt19937 rng(seed);
  for (size_t i = image_border; i < p.data.size(); i++) p.data[i] = uint8_t(rng() % 7 + 100 + (i / 97) % 50);
  return p;
}

// Residuals computed independently from an untouched copy, neighbours read straight through plane boundaries.
bytes expected_residuals(const planes& p, int mask) {
  bytes out = p.body();
  const int64_t n = int64_t(p.width) * p.height;
  for (int64_t j = 0; j < 3 * n; j++) {
    if (mask & (1 << (j / n))) continue;
    const uint8_t* v = p.data.data() + image_border;
    int pred = (v[j - p.width] + v[j - 1]) / 2;
    out[j] = uint8_t((v[j] - pred) & 255) ^ 128;
  }
  return out;
}

TEST(ImagePrediction, one_pixel_is_predicted_from_the_border_and_the_previous_plane) {
  planes p(1, 1);
  p.start()[0] = 10;
  p.start()[1] = 20;
  p.start()[2] = 30;
  predict_planes(p.start(), 1, 1, 0);
  EXPECT_BYTES_EQ((bytes{10, 138, 138}), p.body());
}

TEST(ImagePrediction, residuals_match_the_rule_and_invert_for_every_mask) {
  struct size_case {
    int width, height;
  };
  // Width 1 predicts from the previous byte; odd sizes leave tails around the 32-byte vector blocks.
  const size_case sizes[] = {{1, 1}, {1, 70}, {5, 3}, {31, 2}, {64, 64}, {100, 7}, {333, 5}};
  for (const size_case& s : sizes) {
    const planes original = random_planes(s.width, s.height, uint32_t(s.width * 131 + s.height));
    for (int mask = 0; mask < 8; mask++) {
      const bytes expected = expected_residuals(original, mask);
      for (bool vector : {false, true}) {
        planes p = original;
        predict_planes_with(p.start(), s.width, s.height, mask, vector);
        EXPECT_BYTES_EQ(expected, p.body()) << s.width << "x" << s.height << " mask " << mask << " vector " << vector;
        unpredict_planes(p.start(), s.width, s.height, mask);
        EXPECT_BYTES_EQ(original.body(), p.body()) << s.width << "x" << s.height << " mask " << mask;
      }
    }
  }
}

TEST(ImagePrediction, bytes_equal_to_their_prediction_become_128) {
  // Plane 0 raw and random; planes 1 and 2 made from residuals of 128, so that each of their bytes is the
  // average of its neighbours, the first row of plane 1 taking plane 0's last row as its upper neighbours.
  planes p = random_planes(13, 6, 11);
  const int64_t n = 13 * 6;
  std::fill(p.start() + n, p.start() + 3 * n, 128);
  unpredict_planes(p.start(), 13, 6, 1);
  const bytes restored = p.body();
  EXPECT_NE(bytes(restored.begin() + n, restored.begin() + n + 13), bytes(13, 128));
  predict_planes(p.start(), 13, 6, 1);
  bytes expected = restored;
  std::fill(expected.begin() + n, expected.end(), 128);
  EXPECT_BYTES_EQ(expected, p.body());
}

TEST(ImagePrediction, raw_plane_choice) {
  // A sequence that follows its previous byte exactly but has no spatial order: raw is better.
  planes ordered(50, 20);
  uint8_t v = 7;
  for (size_t i = image_border; i < ordered.data.size(); i++, v = uint8_t(5 * v + 1)) ordered.data[i] = v;
  // Planes built from small residuals: prediction is better.
  planes smooth(50, 20);
  std::mt19937 rng(9);
  for (size_t i = image_border; i < smooth.data.size(); i++) smooth.data[i] = uint8_t(128 + rng() % 9 - 4);
  unpredict_planes(smooth.start(), 50, 20, 0);
  // All 128: both estimates are zero, and a tie keeps the plane raw.
  planes flat(50, 20);
  struct raw_case {
    const char* name;
    planes* p;
    int expected;
  } cases[] = {{"ordered", &ordered, 3}, {"smooth", &smooth, 0}, {"flat", &flat, 3}};
  for (const raw_case& c : cases) {
    const bytes before = c.p->body();
    EXPECT_EQ(pick_raw_planes(c.p->start(), c.p->width, c.p->height), c.expected) << c.name;
    EXPECT_BYTES_EQ(before, c.p->body()) << c.name << ": the choice must not change the planes";
  }
}

// ---- The image-mode file, in memory. ----

bytes to_vector(const byte_buffer& b) { return bytes(b.data(), b.data() + b.size()); }

// The mode-2 file whatever its size (the size rule would store small images instead).
bytes encode(const bytes& pnm) {
  byte_buffer out;
  EXPECT_TRUE(encode_image(pnm.data(), pnm.size(), SIZE_MAX, &out));
  return to_vector(out);
}

bytes decode(const bytes& file) { return to_vector(decompress_image_buffer(file.data(), file.size())); }

uint32_t field(const bytes& file, size_t offset) { return get_u32(file.data() + offset); }

// R follows its previous byte exactly but not its neighbours in space, G and B are R and 128 plus a little noise:
// transform 3 (R, B, R-G) is the cheapest, and plane 0 codes better without prediction.
image sequence_image(int w, int h) {
  image im(w, h);
  std::mt19937 rng(12);
  uint8_t r = 3;
  for (int i = 0; i < w * h; i++, r = uint8_t(5 * r + 1))
    im.set(i % w, i / w, {r, uint8_t(r + rng() % 3), uint8_t(128 + rng() % 2)});
  return im;
}

TEST(ImageFile, two_by_one_file_layout_and_round_trip) {
  const bytes pnm = to_bytes(std::string("P6\n2 1\n255\n") + "\x01\x02\x03\xfa\xfb\xfc");
  ASSERT_EQ(pnm.size(), 17u);
  const bytes file = encode(pnm);
  ASSERT_GE(file.size(), image_header_size);
  EXPECT_EQ(field(file, 0), uint32_t(mode_image));
  EXPECT_EQ(field(file, image_field_width), 2u);
  EXPECT_EQ(field(file, image_field_height), 1u);
  EXPECT_EQ(field(file, image_field_raw_planes), 0u);
  const uint64_t sizes = uint64_t(field(file, 20)) + field(file, 24) + field(file, 28);
  EXPECT_EQ(file.size(), image_header_size + sizes);
  for (int c = 0; c < 3; c++) {  // each block declares the plane length N = 2
    size_t start = image_header_size;
    for (int k = 0; k < c; k++) start += field(file, image_field_size0 + 4 * k);
    EXPECT_EQ(field(file, start), 2u) << "block " << c;
  }
  EXPECT_BYTES_EQ(pnm, decode(file));
  // Three blocks cost more than storing 17 bytes, so the compressor stores them.
  byte_buffer out;
  EXPECT_FALSE(compress_image_buffer(pnm.data(), pnm.size(), &out));
}

// A test image and what it shows.
struct named_image {
  const char* name;
  image im;
};

TEST(ImageFile, images_round_trip) {
  const named_image cases[] = {
      {"1x1", random_image(1, 1, 21)},
      {"width 1", smooth_image(1, 300, 22)},
      {"one row", smooth_image(500, 1, 23)},
      {"smooth", smooth_image(300, 200, 24)},
      {"noise", random_image(61, 17, 25)},
      {"grey", channel_mix(90, 40, 26, 0)},
      {"widest", smooth_image(65536, 2, 27)},
  };
  for (const named_image& c : cases) {
    const bytes pnm = c.im.pnm();
    const bytes file = encode(pnm);
    EXPECT_BYTES_EQ(pnm, decode(file)) << c.name;
  }
}

TEST(ImageFile, transform_3_with_a_raw_plane_round_trips) {
  image im = sequence_image(120, 90);
  EXPECT_EQ(pick_transform(im.pixels(), im.width, 0, 0, im.width, im.height), 3.0f);
  const bytes pnm = im.pnm();
  const bytes file = encode(pnm);
  EXPECT_EQ(field(file, image_field_transform), 3u);
  EXPECT_EQ(field(file, image_field_raw_planes) & 1, 1u);
  EXPECT_BYTES_EQ(pnm, decode(file));
}

// The mode-2 file made stage by stage with the public functions, one whole plane after another.
bytes reference_file(image im) {
  const int w = im.width, h = im.height;
  const size_t n = size_t(w) * h;
  const int t = int(pick_transform(im.pixels(), w, 0, 0, w, h));
  bytes planes(image_border + 3 * n, image_mid);
  uint8_t* p = planes.data() + image_border;
  split_planes(im.pixels(), p, n, t, false);
  const int raw = t == 3 ? pick_raw_planes(p, w, h) : 0;
  predict_planes_with(p, w, h, raw, false);
  bytes file(image_header_size);
  const uint32_t fields[] = {mode_image, uint32_t(t), uint32_t(w), uint32_t(h), uint32_t(raw)};
  for (int k = 0; k < 5; k++) put_u32(file.data() + 4 * k, fields[k]);
  for (int c = 0; c < 3; c++) {
    unsigned int size = rans_compress_bound(unsigned(n));
    bytes block(size);
    EXPECT_NE(rans_compress_O1_32x16(p + c * n, unsigned(n), block.data(), &size), nullptr);
    put_u32(file.data() + image_field_size0 + 4 * c, size);
    file.insert(file.end(), block.begin(), block.begin() + size);
  }
  return file;
}

TEST(ImageFile, one_or_two_threads_write_the_reference_file_and_read_it_back) {
  const named_image cases[] = {
      {"1x1", random_image(1, 1, 51)},
      {"odd sizes", smooth_image(333, 257, 52)},
      {"width 1", smooth_image(1, 150000, 53)},
      {"widest, a row a band", smooth_image(65536, 3, 54)},
      {"transform 3 over several bands", sequence_image(700, 500)},
      {"a few megabytes", smooth_image(1100, 1000, 55)},
      // Blocks longer than their planes: they wait for the planes behind them, and the file outgrows the planes.
      {"noise", random_image(600, 500, 56)},
  };
  for (const named_image& c : cases) {
    const bytes pnm = c.im.pnm(), expected = reference_file(c.im);
    for (int workers : {1, 2}) {
      SCOPED_TRACE(std::string(c.name) + ", workers " + std::to_string(workers));
      byte_buffer out;
      ASSERT_TRUE(encode_image(pnm.data(), pnm.size(), SIZE_MAX, &out, workers));
      EXPECT_BYTES_EQ(expected, to_vector(out));
      EXPECT_BYTES_EQ(pnm, to_vector(decompress_image_buffer(expected.data(), expected.size(), workers)));
      buffer_sink sink;
      decompress_image_to(expected.data(), expected.size(), sink, workers);
      EXPECT_BYTES_EQ(pnm, to_vector(sink.release()));
    }
  }
  EXPECT_EQ(field(reference_file(sequence_image(700, 500)), image_field_raw_planes) & 1, 1u);
}

TEST(ImageFile, compressor_stores_what_would_grow) {
  const bytes noise = random_image(200, 100, 31).pnm();
  byte_buffer out;
  for (int workers : {0, 1, 2}) EXPECT_FALSE(compress_image_buffer(noise.data(), noise.size(), &out, workers));
  const bytes smooth = smooth_image(200, 100, 32).pnm();
  ASSERT_TRUE(compress_image_buffer(smooth.data(), smooth.size(), &out));
  EXPECT_LT(out.size(), smooth.size() / 2);
  EXPECT_BYTES_EQ(smooth, decode(to_vector(out)));
}

TEST(ImageFile, recorded_size2_and_unknown_transforms) {
  const image im = smooth_image(70, 30, 33);
  const bytes pnm = im.pnm();
  bytes file = encode(pnm);
  put_u32(file.data() + 28, 0xDEADBEEF);  // block 2 runs to the end of the file; its length is never needed
  EXPECT_BYTES_EQ(pnm, decode(file));

  // A transform number of 16 or more leaves the stored triples as they are.
  const int t = int(field(file, image_field_transform));
  image transformed = im;
  apply_transform(transformed.pixels(), im.width, im.height, t);
  put_u32(file.data() + image_field_transform, 16);
  EXPECT_BYTES_EQ(transformed.pnm(), decode(file)) << "transform was " << t;
}

// Damages a valid file; each must be refused.
struct damage_case {
  const char* name;
  void (*apply)(bytes& file);
};

void add_to_field(bytes& f, size_t offset, uint32_t delta) {
  put_u32(f.data() + offset, get_u32(f.data() + offset) + delta);
}
// Offset of block c, found from size0 and size1.
size_t block_start(const bytes& f, int c) {
  size_t start = image_header_size;
  for (int k = 0; k < c; k++) start += get_u32(f.data() + image_field_size0 + 4 * k);
  return start;
}

const damage_case damage_cases[] = {
    {"empty", [](bytes& f) { f.clear(); }},
    {"header cut", [](bytes& f) { f.resize(31); }},
    {"header only", [](bytes& f) { f.resize(image_header_size); }},
    {"block 0 cut", [](bytes& f) { f.resize(image_header_size + 40); }},
    {"last byte cut", [](bytes& f) { f.pop_back(); }},
    {"wrong mode", [](bytes& f) { put_u32(f.data(), mode_text); }},
    {"width 0", [](bytes& f) { put_u32(f.data() + image_field_width, 0); }},
    {"width 65537", [](bytes& f) { put_u32(f.data() + image_field_width, 65537); }},
    {"height 0", [](bytes& f) { put_u32(f.data() + image_field_height, 0); }},
    {"image too large", [](bytes& f) { put_u32(f.data() + image_field_height, 0xFFFFFFFF); }},
    {"width x height wraps 32 bits",
     [](bytes& f) {
       put_u32(f.data() + image_field_width, 65536);
       put_u32(f.data() + image_field_height, 65536);
     }},
    {"more pixels than the blocks hold", [](bytes& f) { add_to_field(f, image_field_height, 1); }},
    {"fewer pixels than the blocks hold", [](bytes& f) { add_to_field(f, image_field_height, uint32_t(-1)); }},
    {"size0 past the end", [](bytes& f) { put_u32(f.data() + image_field_size0, uint32_t(f.size())); }},
    {"size0 + size1 past the end",
     [](bytes& f) { put_u32(f.data() + image_field_size0 + 4, uint32_t(f.size() - block_start(f, 1) + 1)); }},
    {"size0 huge", [](bytes& f) { put_u32(f.data() + image_field_size0, 0xFFFFFFF0); }},
    {"block 1 declares N + 1", [](bytes& f) { add_to_field(f, block_start(f, 1), 1); }},
    {"block 1 declares N - 1", [](bytes& f) { add_to_field(f, block_start(f, 1), uint32_t(-1)); }},
    {"block 2 declares 3N",
     [](bytes& f) { add_to_field(f, block_start(f, 2), 2 * get_u32(f.data() + block_start(f, 2))); }},
};

// Counts what reaches it.
struct counting_sink final : byte_sink {
  size_t bytes = 0;
  void write(const uint8_t*, size_t n) override { bytes += n; }
};

TEST(ImageFile, damaged_files_are_refused) {
  const bytes file = encode(smooth_image(40, 30, 34).pnm());
  for (const damage_case& c : damage_cases)
    for (int workers : {1, 2}) {
      bytes damaged = file;
      c.apply(damaged);
      EXPECT_THROW(decompress_image_buffer(damaged.data(), damaged.size(), workers), qarn_error) << c.name;
      counting_sink sink;
      EXPECT_THROW(decompress_image_to(damaged.data(), damaged.size(), sink, workers), qarn_error) << c.name;
      EXPECT_EQ(sink.bytes, 0u) << c.name << ", workers " << workers;
    }
}

// ---- Real photos, converted to P6 with ImageMagick. ----

bytes photo_pnm(const std::string& png) {
  if (!fs::exists(png) || !fs::exists("/usr/bin/convert")) return {};
  std::string command = "/usr/bin/convert '" + png + "' -depth 8 ppm:- 2>/dev/null";
  FILE* p = popen(command.c_str(), "r");
  if (!p) return {};
  bytes out;
  uint8_t buf[65536];
  for (size_t k; (k = fread(buf, 1, sizeof buf, p)) > 0;) out.insert(out.end(), buf, buf + k);
  pclose(p);
  return out;
}

const char* const photos[] = {
    "/usr/share/libjxl-testdata/jxl/flower/flower.png",
    "/usr/share/libjxl-testdata/external/wesaturate/500px/u76c0g_bliznaca_srgb8.png",
    "/usr/share/libjxl-testdata/external/wesaturate/500px/cvo9xd_keong_macan_srgb8.png",
};

TEST(ImagePhoto, photos_round_trip_and_shrink) {
  int tried = 0;
  for (const char* png : photos) {
    const bytes pnm = photo_pnm(png);
    if (pnm.empty()) continue;
    tried++;
    pnm_geometry g;
    ASSERT_TRUE(parse_restorable_pnm(pnm.data(), pnm.size(), &g)) << png << ": not in the header form image mode keeps";
    byte_buffer out;
    ASSERT_TRUE(compress_image_buffer(pnm.data(), pnm.size(), &out)) << png;
    EXPECT_LT(out.size(), pnm.size() * 3 / 4) << png;
    EXPECT_BYTES_EQ(pnm, decode(to_vector(out))) << png;
  }
  if (tried == 0) GTEST_SKIP() << "no test photos or no ImageMagick";
}

// ---- Through the qarn program. ----

class ImageCommand : public scratch_test {};

std::string corrupt_message(const std::string& path) { return "Decompressing image\nFile " + path + " is corrupt\n"; }

TEST_F(ImageCommand, image_round_trip_through_the_program) {
  bytes pnm = photo_pnm(photos[0]);
  if (pnm.empty()) pnm = smooth_image(400, 300, 41).pnm();
  write_bytes(path("in.pnm"), pnm);
  run_result c = run_qarn({"-c", path("in.pnm"), path("packed")});
  EXPECT_EQ(c.status, 0);
  EXPECT_EQ(c.output, "Compressing image\n");
  const bytes packed = read_bytes(path("packed"));
  ASSERT_GE(packed.size(), 4u);
  EXPECT_EQ(get_u32(packed.data()), uint32_t(mode_image));
  run_result d = run_qarn({"-d", path("packed"), path("out.pnm")});
  EXPECT_EQ(d.status, 0);
  EXPECT_EQ(d.output, "Decompressing image\n");
  EXPECT_BYTES_EQ(pnm, read_bytes(path("out.pnm")));
}

// Image mode leaves inputs it would not restore byte for byte to the other modes; inputs this small shrink in none
// of them, so each ends up as a stored-mode file.
TEST_F(ImageCommand, inputs_image_mode_cannot_restore_are_left_to_other_modes) {
  const bytes samples = smooth_image(3, 2, 42).samples();
  auto with = [&](const std::string& head, size_t sample_count) {
    bytes b = to_bytes(head);
    b.insert(b.end(), samples.begin(), samples.begin() + std::min(sample_count, samples.size()));
    return b;
  };
  bytes trailing = with("P6\n3 2\n255\n", 18);
  trailing.push_back(7);
  struct stored_case {
    const char* name;
    bytes input;
  } cases[] = {
      {"comment line", with("P6\n# made by hand\n3 2\n255\n", 18)},
      {"maximum value 100", with("P6\n3 2\n100\n", 18)},
      {"two spaces", with("P6\n3  2\n255\n", 18)},
      {"leading zero", with("P6\n03 2\n255\n", 18)},
      {"sign", with("P6\n+3 2\n255\n", 18)},
      {"carriage return", with("P6\r\n3 2\r\n255\r\n", 18)},
      {"grey P5", with("P5\n3 2\n255\n", 6)},
      {"plain P3", to_bytes("P3\n1 1\n255\n1 2 3\n")},
      {"trailing bytes", trailing},
      {"truncated samples", with("P6\n3 2\n255\n", 17)},
      {"width 0", with("P6\n0 2\n255\n", 0)},
      {"height 0", with("P6\n3 0\n255\n", 0)},
      {"width 65537", with("P6\n65537 1\n255\n", 18)},
      {"header only", to_bytes("P6\n3 2\n255")},
      {"empty", {}},
      {"text", to_bytes("hello\n")},
  };
  for (const stored_case& c : cases) {
    write_bytes(path("in.pnm"), c.input);
    run_result r = run_qarn({"-c", path("in.pnm"), path("packed")});
    EXPECT_EQ(r.status, 0) << c.name;
    EXPECT_EQ(r.output, "Compressing image\n") << c.name;
    bytes expected = c.input;
    expected.insert(expected.begin(), 4, 0);  // the stored-mode header
    EXPECT_BYTES_EQ(expected, read_bytes(path("packed"))) << c.name;
    run_result d = run_qarn({"-d", path("packed"), path("out.pnm")});
    EXPECT_EQ(d.status, 0) << c.name;
    EXPECT_BYTES_EQ(c.input, read_bytes(path("out.pnm"))) << c.name;
  }
}

TEST_F(ImageCommand, damaged_files_are_refused_without_output) {
  const bytes file = encode(smooth_image(40, 30, 43).pnm());
  for (const damage_case& c : damage_cases) {
    bytes damaged = file;
    c.apply(damaged);
    if (damaged.size() < 4 || get_u32(damaged.data()) != mode_image) continue;  // not image mode's to refuse
    write_bytes(path("bad"), damaged);
    run_result r = run_qarn({"-d", path("bad"), path("out.pnm")});
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_EQ(r.output, corrupt_message(path("bad"))) << c.name;
    EXPECT_FALSE(fs::exists(path("out.pnm"))) << c.name;
  }
  // The format's length limit, on a sparse file.
  write_bytes(path("long"), file);
  fs::resize_file(path("long"), image_length_limit);
  run_result r = run_qarn({"-d", path("long"), path("out.pnm")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, corrupt_message(path("long")));
  EXPECT_FALSE(fs::exists(path("out.pnm")));
}

}  // namespace
