// util.cpp — memory for large arrays, sinks, the CPU check, and the text format's generator.
#include "util.h"

#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <new>

namespace qarn {

namespace {

// Large areas given back are kept for the next request they can serve: on these machines a fresh page costs
// several microseconds to fault in and clear, while a page already touched costs nothing. An area too small for a
// request is unmapped before a new one is mapped, so keeping them never raises the peak.
struct kept_area {
  void* p;
  size_t bytes;
};
constexpr size_t huge_page = size_t{2} << 20;
// Areas from this size up get huge pages of their own: a huge page faults in faster than even a few small pages.
constexpr size_t big_area_min = size_t{256} << 10;
inline size_t area_size(size_t bytes) { return (bytes + huge_page - 1) & ~(huge_page - 1); }
constexpr int kept_area_count = 8;
kept_area kept[kept_area_count];
// Kept areas handed out again, with their whole size (their users know only what they asked for).
constexpr int lent_area_count = 64;
kept_area lent[lent_area_count];
std::mutex areas_lock;  // guards kept and lent

}  // namespace

void* big_alloc(size_t bytes) {
  if (bytes < big_area_min) {
    void* p = std::malloc(bytes ? bytes : 1);
    if (!p) throw std::bad_alloc();
    return p;
  }
  bytes = area_size(bytes);
  std::lock_guard<std::mutex> hold(areas_lock);
  kept_area* best = nullptr;
  for (kept_area& k : kept)
    if (k.p && k.bytes >= bytes && (!best || k.bytes < best->bytes)) best = &k;
  if (best) {
    for (kept_area& l : lent)
      if (!l.p) {
        l = *best;
        *best = {};
        return l.p;
      }
  }
  for (kept_area& k : kept)
    if (k.p) {
      munmap(k.p, k.bytes);
      k = {};
    }
  // Aligned to a huge page, so that the kernel can back all of it with huge pages.
  void* m = mmap(nullptr, bytes + huge_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (m == MAP_FAILED) throw std::bad_alloc();
  auto at = reinterpret_cast<uintptr_t>(m);
  uintptr_t aligned = (at + huge_page - 1) & ~uintptr_t{huge_page - 1};
  if (aligned > at) munmap(m, aligned - at);
  munmap(reinterpret_cast<void*>(aligned + bytes), at + huge_page - aligned);
  void* p = reinterpret_cast<void*>(aligned);
  madvise(p, bytes, MADV_HUGEPAGE);
  return p;
}

void release_kept_memory() {
  std::lock_guard<std::mutex> hold(areas_lock);
  for (kept_area& k : kept)
    if (k.p) {
      munmap(k.p, k.bytes);
      k = {};
    }
}

void big_free(void* p, size_t bytes) {
  if (bytes < big_area_min) {
    std::free(p);
    return;
  }
  bytes = area_size(bytes);
  std::lock_guard<std::mutex> hold(areas_lock);
  for (kept_area& l : lent)
    if (l.p == p) {
      bytes = l.bytes;
      l = {};
      break;
    }
  for (kept_area& k : kept)
    if (!k.p) {
      k = {p, bytes};
      return;
    }
  munmap(p, bytes);
}

void* zeroed_alloc(size_t bytes) {
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  madvise(p, bytes, MADV_HUGEPAGE);
  return p;
}

void zeroed_free(void* p, size_t bytes) { munmap(p, bytes); }

namespace {

// Gives `advice` for the whole pages within [p, p + bytes), when that is at least `worth` bytes.
void advise_whole_pages(void* p, size_t bytes, size_t worth, int advice) {
  constexpr size_t page = 4096;
  if (bytes < worth) return;
  const uintptr_t a = (reinterpret_cast<uintptr_t>(p) + page - 1) & ~(page - 1);
  const uintptr_t b = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(page - 1);
  if (b > a) madvise(reinterpret_cast<void*>(a), b - a, advice);
}

}  // namespace

void populate(void* p, size_t bytes) { advise_whole_pages(p, bytes, size_t{64} << 10, MADV_POPULATE_WRITE); }

void discard(void* p, size_t bytes) { advise_whole_pages(p, bytes, size_t{1} << 20, MADV_DONTNEED); }

const char* qarn_error::what() const noexcept {
  switch (kind_) {
    case failure::corrupt: return "damaged compressed data";
    case failure::too_large: return "input past the size limit";
    case failure::checksum_mismatch: return "checksum mismatch";
    case failure::trailing_data: return "trailing data after the compressed stream";
  }
  return "failure";
}

void buffer_sink::write(const uint8_t* p, size_t n) {
  if (n == 0) return;
  if (used_ + n > buf_.size()) {
    byte_buffer grown(std::max({expected_, used_ + n, 2 * buf_.size()}));
    if (used_) std::memcpy(grown.data(), buf_.data(), used_);
    buf_ = std::move(grown);
  }
  std::memcpy(buf_.data() + used_, p, n);
  used_ += n;
}

byte_buffer buffer_sink::release() {
  if (!buf_.data()) buf_ = byte_buffer(1);
  buf_.shrink(used_);
  used_ = 0;
  return std::move(buf_);
}

bool cpu_has_avx2() {
  static const bool yes = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
  return yes;
}

int usable_cpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  return CPU_COUNT(&set);
}

namespace {

struct generator_start {
  uint64_t s[16];
  generator_start() {
    uint64_t x = 0;
    for (uint64_t& word : s) {
      x += 0x9E3779B97F4A7C15ULL;
      uint64_t z = x;
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
      word = z ^ (z >> 31);
    }
  }
};

const generator_start start_state;

}  // namespace

xorshift1024::xorshift1024() { seed(); }

void xorshift1024::seed() {
  std::memcpy(s, start_state.s, sizeof s);
  p = 15;
}

uint64_t xorshift1024::next() {
  uint64_t s0 = s[p];
  p = (p + 1) & 15;
  uint64_t s1 = s[p];
  s1 ^= s1 << 31;
  s[p] = s1 ^ s0 ^ (s1 >> 11) ^ (s0 >> 30);
  return s[p] * 1181783497276652981ULL;
}

}  // namespace qarn
