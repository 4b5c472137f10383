// util.h — support shared by every mode: the container header, the one error type, memory for large arrays, byte
// sinks, the CPU check, two-worker threads, and the pseudo-random generator of the text format. No file I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>

namespace qarn {

// Container header: every compressed file starts with its mode number, u32 little-endian.
enum : uint32_t { mode_stored = 0, mode_text = 1, mode_image = 2, mode_mixed = 3 };
constexpr int container_header_size = 4;

// Inputs of either direction must be smaller than this many bytes.
constexpr int64_t input_size_limit = 1001000001;

// ---- Failures. ----

// Why the library failed. It reports failures only by throwing `qarn_error` (and std::bad_alloc from
// allocations); the caller turns each kind into its message or status.
enum class failure {
  corrupt,            // a damaged compressed file
  too_large,          // an input past the size limit
  checksum_mismatch,  // a stream whose restored bytes differ from their checksum
  trailing_data,      // bytes after the last frame of a stream that start no frame
};

class qarn_error : public std::exception {
 public:
  explicit qarn_error(failure kind) : kind_(kind) {}
  failure kind() const { return kind_; }
  const char* what() const noexcept override;

 private:
  failure kind_;
};

// Raised by every decoder when its input is damaged.
[[noreturn]] inline void corrupt() { throw qarn_error(failure::corrupt); }

// Little-endian field access (the formats are little-endian on every platform we run on).
inline uint16_t get_u16(const void* p) { uint16_t v; std::memcpy(&v, p, 2); return v; }
inline void put_u16(void* p, uint16_t v) { std::memcpy(p, &v, 2); }
inline uint32_t get_u32(const void* p) { uint32_t v; std::memcpy(&v, p, 4); return v; }
inline void put_u32(void* p, uint32_t v) { std::memcpy(p, &v, 4); }
inline uint64_t get_u64(const void* p) { uint64_t v; std::memcpy(&v, p, 8); return v; }
inline void put_u64(void* p, uint64_t v) { std::memcpy(p, &v, 8); }

// ---- Memory. ----

// Memory for large working arrays: huge pages where the kernel offers them (a page fault per 2 MiB instead of per
// 4 KiB), the general heap for small ones. Never cleared. Throws std::bad_alloc when memory runs out; the memory
// is accounted for when it is taken, so that a shortage shows here rather than as a kill later.
void* big_alloc(size_t bytes);
void big_free(void* p, size_t bytes);
// An area of fresh pages that read as zero (huge pages where offered), for tables that must start empty; only the
// pages touched cost memory. Throws std::bad_alloc when memory runs out.
void* zeroed_alloc(size_t bytes);
void zeroed_free(void* p, size_t bytes);
// Gives back the large areas kept for reuse (those still in use stay): for a library whose callers expect its
// memory back when a call returns.
void release_kept_memory();
// Maps in the pages of an area that is about to be written whole, instead of taking a fault per 4 KiB page. Only an
// optimisation: a failure changes nothing.
void populate(void* p, size_t bytes);
// Gives back the whole pages within [p, p + bytes), whose contents are no longer needed: they read as zero when
// next touched.
void discard(void* p, size_t bytes);

// An owned array of plain values that is not cleared: large arrays cost neither a memset nor pages they never touch.
template <class T>
class raw_array {
 public:
  raw_array() = default;
  explicit raw_array(size_t n) : p_(static_cast<T*>(big_alloc(n * sizeof(T)))), n_(n), capacity_(n) {}
  raw_array(raw_array&& o) noexcept : p_(o.p_), n_(o.n_), capacity_(o.capacity_) { o.p_ = nullptr; o.n_ = o.capacity_ = 0; }
  raw_array& operator=(raw_array&& o) noexcept {
    std::swap(p_, o.p_);
    std::swap(n_, o.n_);
    std::swap(capacity_, o.capacity_);
    return *this;
  }
  ~raw_array() {
    if (p_) big_free(p_, capacity_ * sizeof(T));
  }
  T* data() { return p_; }
  const T* data() const { return p_; }
  size_t size() const { return n_; }
  T& operator[](size_t i) { return p_[i]; }
  const T& operator[](size_t i) const { return p_[i]; }
  // Forgets the values past n (the memory stays until the array goes).
  void shrink(size_t n) { n_ = n < n_ ? n : n_; }

 private:
  T* p_ = nullptr;
  size_t n_ = 0, capacity_ = 0;
};
using byte_buffer = raw_array<uint8_t>;

// An array of n values, mapped in whole: for arrays that are about to be written whole.
template <class T>
raw_array<T> populated(size_t n) {
  raw_array<T> a(n);
  populate(a.data(), n * sizeof(T));
  return a;
}
// An array of at least n entries from a pool of one array: the pool's when it is large enough (the pool is left
// empty), else a new one, mapped in whole unless `sparse` (an array used only in part faults in only that part).
template <class T>
raw_array<T> take(raw_array<T>& pool, size_t n, bool sparse = false) {
  if (pool.size() >= n && pool.size() > 0) return std::move(pool);
  if (sparse) return raw_array<T>(n > 0 ? n : 1);
  return populated<T>(n > 0 ? n : 1);
}
// Gives an array back to its pool, which keeps the larger of the two.
template <class T>
void give(raw_array<T>& pool, raw_array<T>&& a) {
  if (a.size() > pool.size()) pool = std::move(a);
}

// ---- Output in pieces. ----

// Receives a mode's output in order, in pieces. After a failure it may hold part of the output, which its owner
// discards.
class byte_sink {
 public:
  virtual void write(const uint8_t* p, size_t n) = 0;

 protected:
  ~byte_sink() = default;
};

// A sink that collects everything in one buffer.
class buffer_sink final : public byte_sink {
 public:
  // Room for `expected` bytes is taken at the first write; more is found when needed.
  explicit buffer_sink(size_t expected = 0) : expected_(expected) {}
  void write(const uint8_t* p, size_t n) override;
  // The bytes written so far (an empty buffer with room for one byte when there were none); the sink is left empty.
  byte_buffer release();

 private:
  byte_buffer buf_;
  size_t used_ = 0;
  size_t expected_;
};

// ---- Processors and threads. ----

// The vector loops of every mode need AVX2 (and POPCNT, which every processor with AVX2 has): the CPU's answer,
// taken once.
bool cpu_has_avx2();
// Processors this process may run on.
int usable_cpus();

// Runs work(0) on this thread and, for two workers, work(1) on a second one at the same time; `stop` is called
// when either fails, so that the other finishes early, and the failure is thrown again once both are done.
// Returns false, having run nothing, when no second thread can be started: the caller goes on with one worker.
template <class Work, class Stop>
[[nodiscard]] bool run_workers(int workers, Work&& work, Stop&& stop) {
  if (workers < 2) {
    work(0);
    return true;
  }
  std::exception_ptr failed;
  std::thread helper;
  try {
    helper = std::thread([&] {
      try {
        work(1);
      } catch (...) {
        failed = std::current_exception();
        stop();
      }
    });
  } catch (const std::system_error&) {
    return false;
  }
  try {
    work(0);
  } catch (...) {
    stop();
    helper.join();
    throw;
  }
  helper.join();
  if (failed) std::rethrow_exception(failed);
  return true;
}

// ---- The generator: xorshift1024*, always started from one fixed state, so every user draws the same sequence. ----
class xorshift1024 {
 public:
  // The fixed starting state: sixteen outputs of SplitMix64 from 0, index 15.
  xorshift1024();
  void seed();  // back to the starting state
  uint64_t next();

 private:
  uint64_t s[16];
  int p;
};

}  // namespace qarn
