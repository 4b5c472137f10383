// library_threads_test.cpp — the C interface called from several threads at once, on different buffers: every
// thread's files and restored inputs equal those of calls made one at a time, through the plain calls and through
// those that take settings (one settings object read by several calls at once). Built on its own (with only the
// library) so that `make test-tsan` can run it under ThreadSanitizer.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "libqarn.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes text_input(size_t n, uint32_t seed) {
  std::mt19937 g(seed);
  const char* words[] = {"the ", "of ", "and ", "light ", "water ", "stone\n", "river ", "x", "y ", "zeal\n"};
  std::string s;
  while (s.size() < n) s += words[g() % 10];
  return bytes(s.begin(), s.end());
}
bytes image_input(int w, int h, uint32_t seed) {
  std::mt19937 g(seed);
  const std::string head = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
  bytes b(head.begin(), head.end());
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++)
      for (int c = 0; c < 3; c++) b.push_back(static_cast<uint8_t>(x + 2 * y + 40 * c + g() % 5));
  return b;
}
bytes binary_input(size_t n, uint32_t seed) {
  std::mt19937 g(seed);
  bytes b;
  while (b.size() < n) {
    const uint8_t op[] = {0x48, 0x8b, 0x45, static_cast<uint8_t>(g() % 16), 0xe8, 0, 0, 0, 0};
    b.insert(b.end(), op, op + sizeof op);
    if (g() % 4 == 0) b.push_back(static_cast<uint8_t>(g()));
  }
  return b;
}

struct job {
  qarn_mode mode;
  bytes input;
};

// Through the plain calls, or with `with` through the calls that take settings (params may be null).
bytes compress(const job& j, bool with = false, const qarn_params* params = nullptr) {
  bytes out(qarn_compress_bound(j.input.size()));
  size_t size = 0;
  const qarn_status s =
      with ? qarn_compress_with(params, j.mode, j.input.data(), j.input.size(), out.data(), out.size(), &size)
           : qarn_compress(j.mode, j.input.data(), j.input.size(), out.data(), out.size(), &size);
  if (s != QARN_OK) return {};
  out.resize(size);
  return out;
}
bytes decompress(const bytes& file, bool with = false, const qarn_params* params = nullptr) {
  uint64_t n = 0;
  if (qarn_decompressed_size(file.data(), file.size(), &n) != QARN_OK) return {1};
  bytes out(n);
  size_t size = 0;
  const qarn_status s = with ? qarn_decompress_with(params, file.data(), file.size(), out.data(), out.size(), &size)
                             : qarn_decompress(file.data(), file.size(), out.data(), out.size(), &size);
  if (s != QARN_OK) return {2};
  out.resize(size);
  return out;
}

TEST(LibraryThreads, ConcurrentCallsGiveTheSameBytes) {
  // Inputs of a megabyte and more also use the library's own second thread.
  const std::vector<job> jobs = {
      {QARN_MODE_TEXT, text_input(1200000, 1)},  {QARN_MODE_TEXT, text_input(90000, 2)},
      {QARN_MODE_IMAGE, image_input(700, 500, 3)}, {QARN_MODE_IMAGE, image_input(120, 90, 4)},
      {QARN_MODE_MIXED, binary_input(1100000, 5)}, {QARN_MODE_MIXED, binary_input(70000, 6)},
      {QARN_MODE_STORED, binary_input(5000, 7)},
  };
  std::vector<bytes> expected;
  for (const job& j : jobs) {
    expected.push_back(compress(j));
    ASSERT_EQ(j.input, decompress(expected.back()));
  }
  // Threads 0 and 2 make the plain calls; 1 and 3 those with settings, sharing one settings object (two threads
  // per call allowed) and the defaults (one thread).
  qarn_params* shared = qarn_params_create();
  ASSERT_NE(nullptr, shared);
  ASSERT_EQ(QARN_OK, qarn_params_set(shared, QARN_PARAM_THREADS, 0));
  constexpr int threads = 4, rounds = 2;
  std::vector<int> failures(threads, 0);
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; t++)
    pool.emplace_back([&, t] {
      const bool with = t % 2 == 1;
      const qarn_params* params = t == 1 ? shared : nullptr;
      for (int r = 0; r < rounds; r++)
        for (size_t k = 0; k < jobs.size(); k++) {
          const size_t i = (k + static_cast<size_t>(t)) % jobs.size();  // each thread in another order
          const bytes file = compress(jobs[i], with, params);
          if (file != expected[i] || decompress(file, with, params) != jobs[i].input) failures[t]++;
        }
    });
  for (std::thread& th : pool) th.join();
  qarn_params_free(shared);
  for (int t = 0; t < threads; t++) EXPECT_EQ(0, failures[t]) << "thread " << t;
}

}  // namespace
