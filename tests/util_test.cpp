// util_test.cpp — the shared support: sinks, the two-worker runner's failures, and memory shortage as an error.
#include <atomic>
#include <new>

#include "helpers.h"
#include "util.h"

using namespace qarn;

namespace {

TEST(buffer_sink, collects_pieces_in_order_past_its_first_guess) {
  buffer_sink sink(3);
  const bytes a = to_bytes("abcd"), b = random_bytes(100000, 5);
  sink.write(a.data(), a.size());
  sink.write(b.data(), 0);
  sink.write(b.data(), b.size());
  byte_buffer got = sink.release();
  bytes expected = a;
  expected.insert(expected.end(), b.begin(), b.end());
  EXPECT_BYTES_EQ(expected, bytes(got.data(), got.data() + got.size()));
  // Nothing written: an empty buffer that still has an address.
  buffer_sink empty;
  byte_buffer none = empty.release();
  EXPECT_EQ(none.size(), 0u);
  EXPECT_NE(none.data(), nullptr);
}

TEST(run_workers, a_failure_on_either_worker_stops_the_other_and_is_thrown_once_both_are_done) {
  for (int failing : {0, 1}) {
    std::atomic<bool> stopped{false};
    std::atomic<int> finished{0};
    auto work = [&](int worker) {
      if (worker == failing) throw qarn_error(failure::corrupt);
      while (!stopped.load()) std::this_thread::yield();
      finished++;
    };
    try {
      (void)run_workers(2, work, [&] { stopped = true; });
      ADD_FAILURE() << "no failure thrown by worker " << failing;
    } catch (const qarn_error& e) {
      EXPECT_EQ(e.kind(), failure::corrupt);
    }
    EXPECT_EQ(finished.load(), 1) << "worker " << failing;
  }
}

TEST(memory, a_shortage_is_an_exception_not_a_crash) {
  // More than the address space of any machine: refused at once, not killed later.
  EXPECT_THROW(big_alloc(size_t{1} << 62), std::bad_alloc);
  EXPECT_THROW(zeroed_alloc(size_t{1} << 62), std::bad_alloc);
  EXPECT_THROW(byte_buffer(size_t{1} << 62), std::bad_alloc);
}

}  // namespace
