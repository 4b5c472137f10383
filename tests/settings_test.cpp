// settings_test.cpp — the settings object of the C interface (qarn_params) and the calls that take it: each
// setting's default, range and refusals, and the threads the calls start under QARN_PARAM_THREADS, seen from
// /proc while they run; the files are the same byte for byte whatever the threads.
#include <dirent.h>
#include <sched.h>

#include <atomic>
#include <climits>
#include <functional>
#include <memory>
#include <thread>

#include "c_calls.h"
#include "helpers.h"
#include "libqarn.h"

namespace {

using params_ptr = std::unique_ptr<qarn_params, decltype(&qarn_params_free)>;
params_ptr make_params() { return params_ptr(qarn_params_create(), qarn_params_free); }

TEST(Settings, HoldTheirDefaultsTakeValuesInRangeAndRefuseTheRest) {
  params_ptr p = make_params();
  ASSERT_NE(nullptr, p.get());
  int64_t value = -7;
  ASSERT_EQ(QARN_OK, qarn_params_get(p.get(), QARN_PARAM_THREADS, &value));
  EXPECT_EQ(1, value);
  value = -7;
  ASSERT_EQ(QARN_OK, qarn_params_get(nullptr, QARN_PARAM_THREADS, &value));  // the calls' defaults
  EXPECT_EQ(1, value);
  for (int64_t threads : {int64_t{0}, int64_t{1}, int64_t{2}, int64_t{64}, int64_t{INT32_MAX}}) {
    EXPECT_EQ(QARN_OK, qarn_params_set(p.get(), QARN_PARAM_THREADS, threads)) << threads;
    EXPECT_EQ(QARN_OK, qarn_params_get(p.get(), QARN_PARAM_THREADS, &value));
    EXPECT_EQ(threads, value);
  }
  // Out of range: refused, and the value stays.
  for (int64_t threads : {int64_t{-1}, int64_t{INT32_MIN}, int64_t{INT64_MIN}, int64_t{INT32_MAX} + 1, INT64_MAX}) {
    EXPECT_EQ(QARN_ERROR_INVALID_ARGUMENT, qarn_params_set(p.get(), QARN_PARAM_THREADS, threads)) << threads;
    EXPECT_EQ(QARN_OK, qarn_params_get(p.get(), QARN_PARAM_THREADS, &value));
    EXPECT_EQ(INT32_MAX, value);
  }
  // Settings this library does not know, passed from C.
  for (int param : {0, 5, -1, INT_MIN, INT_MAX}) {
    value = -7;
    EXPECT_EQ(QARN_ERROR_INVALID_ARGUMENT, c_params_set(p.get(), param, 1)) << param;
    EXPECT_EQ(QARN_ERROR_INVALID_ARGUMENT, c_params_get(p.get(), param, &value)) << param;
    EXPECT_EQ(-7, value);
  }
  EXPECT_EQ(QARN_ERROR_INVALID_ARGUMENT, qarn_params_set(nullptr, QARN_PARAM_THREADS, 1));
  EXPECT_EQ(QARN_ERROR_INVALID_ARGUMENT, qarn_params_get(p.get(), QARN_PARAM_THREADS, nullptr));
  qarn_params_free(nullptr);
  // Every object starts from the defaults.
  params_ptr other = make_params();
  ASSERT_EQ(QARN_OK, qarn_params_get(other.get(), QARN_PARAM_THREADS, &value));
  EXPECT_EQ(1, value);
}

// The streams' settings: each one's default, its whole range taken and kept, and the values past either end refused
// without changing it; the stream calls take the defaults when given no settings.
TEST(Settings, StreamSettingsHoldTheirDefaultsAndRanges) {
  const struct {
    const char* name;
    qarn_param param;
    int64_t fallback, lowest, highest;
  } cases[] = {
      {"mode", QARN_PARAM_MODE, -1, -1, 3},
      {"block size", QARN_PARAM_BLOCK_SIZE, QARN_DEFAULT_BLOCK_SIZE, 1, int64_t{1} << 28},
      {"checksum", QARN_PARAM_CHECKSUM, 1, 0, 1},
  };
  EXPECT_EQ(35u << 20, QARN_DEFAULT_BLOCK_SIZE);
  for (const auto& t : cases) {
    SCOPED_TRACE(t.name);
    params_ptr p = make_params();
    ASSERT_NE(nullptr, p.get());
    int64_t value = -7;
    ASSERT_EQ(QARN_OK, qarn_params_get(p.get(), t.param, &value));
    EXPECT_EQ(t.fallback, value);
    ASSERT_EQ(QARN_OK, qarn_params_get(nullptr, t.param, &value));
    EXPECT_EQ(t.fallback, value);
    for (int64_t v : {t.lowest, t.highest, (t.lowest + t.highest) / 2}) {
      EXPECT_EQ(QARN_OK, qarn_params_set(p.get(), t.param, v)) << v;
      ASSERT_EQ(QARN_OK, qarn_params_get(p.get(), t.param, &value));
      EXPECT_EQ(v, value);
    }
    for (int64_t v : {t.lowest - 1, t.highest + 1, INT64_MIN, INT64_MAX}) {
      EXPECT_EQ(QARN_ERROR_INVALID_ARGUMENT, qarn_params_set(p.get(), t.param, v)) << v;
      ASSERT_EQ(QARN_OK, qarn_params_get(p.get(), t.param, &value));
      EXPECT_EQ((t.lowest + t.highest) / 2, value);
    }
  }
  // Contexts are made under any settings in range, and under none.
  params_ptr p = make_params();
  for (int64_t mode = -1; mode <= 3; mode++) {
    ASSERT_EQ(QARN_OK, qarn_params_set(p.get(), QARN_PARAM_MODE, mode));
    qarn_cstream* c = qarn_cstream_create(p.get());
    EXPECT_NE(nullptr, c) << mode;
    qarn_cstream_free(c);
  }
  qarn_cstream* c = qarn_cstream_create(nullptr);
  qarn_dstream* d = qarn_dstream_create(nullptr);
  EXPECT_NE(nullptr, c);
  EXPECT_NE(nullptr, d);
  qarn_cstream_free(c);
  qarn_dstream_free(d);
  EXPECT_EQ(qarn_cstream_out_size(nullptr), qarn_cstream_out_size(make_params().get()));
}

// The calls that take settings check their other arguments as the plain calls do.
TEST(Settings, CallsWithSettingsRefuseWhatThePlainCallsRefuse) {
  const bytes in = to_bytes("a few words\n");
  bytes out(64);
  size_t size = 1;
  for (int mode : {-1, 4, INT_MIN}) {
    EXPECT_EQ(QARN_ERROR_INVALID_ARGUMENT, c_compress_with(nullptr, mode, in.data(), in.size(), out.data(),
                                                           out.size(), &size)) << mode;
    EXPECT_EQ(0u, size);
  }
  EXPECT_EQ(QARN_ERROR_INVALID_ARGUMENT,
            qarn_compress_with(nullptr, QARN_MODE_TEXT, nullptr, 5, out.data(), out.size(), &size));
  EXPECT_EQ(QARN_ERROR_OUTPUT_TOO_SMALL, qarn_compress_with(nullptr, QARN_MODE_STORED, in.data(), in.size(),
                                                            out.data(), in.size() + 3, &size));
  const uint8_t damaged[] = {1, 0, 0, 0, 9, 9, 9, 9, 9, 9, 9, 9};
  EXPECT_EQ(QARN_ERROR_CORRUPT, qarn_decompress_with(nullptr, damaged, sizeof damaged, out.data(), out.size(), &size));
  EXPECT_EQ(QARN_ERROR_INVALID_ARGUMENT, qarn_decompress_with(nullptr, damaged, sizeof damaged, nullptr, 8, &size));
}

// ---- Threads. ----

// Threads of this process now: the entries of /proc/self/task.
int thread_count() {
  DIR* tasks = opendir("/proc/self/task");
  if (!tasks) return -1;
  int n = 0;
  while (const dirent* e = readdir(tasks))
    if (e->d_name[0] != '.') n++;
  closedir(tasks);
  return n;
}

// How many threads more than before the process had at its most while work() ran, as a thread of its own saw it,
// reading /proc/self/task over and over from before the work starts until it ends.
int threads_added_by(const std::function<void()>& work) {
  std::atomic<bool> started{false}, done{false};
  std::atomic<int> most{0};
  int before = 0;
  std::thread watcher([&] {
    before = thread_count();  // this thread and the watcher
    started.store(true);
    while (!done.load()) {
      const int n = thread_count();
      if (n > most.load()) most.store(n);
    }
  });
  while (!started.load()) std::this_thread::yield();
  work();
  done.store(true);
  watcher.join();
  return std::max(0, most.load() - before);
}

int usable_processors() {
  cpu_set_t set;
  return sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
}

// Under each threads setting, compression and decompression of inputs large enough for two workers: with the
// default and with THREADS 1 no thread is ever started; with THREADS 0 (and 2) a second one works beside the
// caller when two processors are free, as it does in the plain calls. The bytes are the plain calls' every time.
TEST(Settings, ThreadsSettingDecidesWhetherASecondThreadRuns) {
  const bool two_processors = usable_processors() >= 2;
  const struct {
    const char* name;
    qarn_mode mode;
    bytes input;
  } inputs[] = {
      {"text", QARN_MODE_TEXT, prose(4000000, 20000, 81)},
      {"photo", QARN_MODE_IMAGE, picture(1400, 1100, 82)},
      {"binary", QARN_MODE_MIXED, binary(3000000, 83)},
  };
  // Settings: null (the defaults), a new object (the defaults), and THREADS 1, 0 and 2.
  const int64_t none = -1, fresh = -2;
  for (const auto& in : inputs) {
    SCOPED_TRACE(in.name);
    bytes file(qarn_compress_bound(in.input.size()));
    size_t file_size = 0;
    const int plain_threads = threads_added_by([&] {
      ASSERT_EQ(QARN_OK, qarn_compress(in.mode, in.input.data(), in.input.size(), file.data(), file.size(),
                                       &file_size));
    });
    file.resize(file_size);
    qarn_mode written;
    ASSERT_EQ(QARN_OK, qarn_file_mode(file.data(), file.size(), &written));
    ASSERT_EQ(in.mode, written);
    if (two_processors) {
      EXPECT_EQ(1, plain_threads) << "qarn_compress";
    }
    for (int64_t threads : {none, fresh, int64_t{1}, int64_t{0}, int64_t{2}}) {
      SCOPED_TRACE(threads);
      params_ptr owned = make_params();
      ASSERT_NE(nullptr, owned.get());
      if (threads >= 0) {
        ASSERT_EQ(QARN_OK, qarn_params_set(owned.get(), QARN_PARAM_THREADS, threads));
      }
      const qarn_params* p = threads == none ? nullptr : owned.get();
      bytes again(qarn_compress_bound(in.input.size()));
      size_t again_size = 0;
      const int compress_threads = threads_added_by([&] {
        ASSERT_EQ(QARN_OK, qarn_compress_with(p, in.mode, in.input.data(), in.input.size(), again.data(),
                                              again.size(), &again_size));
      });
      again.resize(again_size);
      EXPECT_BYTES_EQ(file, again);
      bytes restored(in.input.size());
      size_t restored_size = 0;
      const int decompress_threads = threads_added_by([&] {
        ASSERT_EQ(QARN_OK, qarn_decompress_with(p, file.data(), file.size(), restored.data(), restored.size(),
                                                &restored_size));
      });
      EXPECT_EQ(in.input.size(), restored_size);
      EXPECT_BYTES_EQ(in.input, restored);
      const bool many = threads == 0 || threads == 2;
      if (!many) {
        EXPECT_EQ(0, compress_threads);
        EXPECT_EQ(0, decompress_threads);
      } else if (two_processors) {
        EXPECT_EQ(1, compress_threads);
        EXPECT_EQ(1, decompress_threads);
      }
    }
  }
  if (!two_processors) GTEST_SKIP() << "one usable processor: only the single-thread half was checked";
}

}  // namespace
