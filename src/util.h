// util.h — runtime support shared by every mode: the container header, the block store, whole-file helpers,
// the fatal check, the error raised by damaged input, and the program-wide pseudo-random generator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>

// Container header: every compressed file starts with its mode number, u32 little-endian.
enum : uint32_t { mode_stored = 0, mode_text = 1, mode_image = 2, mode_mixed = 3 };
constexpr int container_header_size = 4;

// Inputs of either direction must be smaller than this many bytes.
constexpr int64_t input_size_limit = 1001000001;

// Block-store limits the driver reserves for each mode.
constexpr int64_t store_limit_text = 14000000000;
constexpr int64_t store_limit_image = 1000000000;
constexpr int64_t store_limit_mixed = 14000000000;

// Guard pattern of the block store: in memory the bytes 41 38 40 38 43 38 40 38.
constexpr uint64_t rand_value = 0x3840384338403841ULL;
constexpr int64_t block_guard_size = 4096;
constexpr int64_t block_table_capacity = 500000;
constexpr int free_blocks_capacity = 50;

// Raised by every decoder when its input is damaged; the driver turns it into "File %s is corrupt".
struct corrupt_input {};
[[noreturn]] inline void corrupt() { throw corrupt_input{}; }

// A failed check of the runtime: prints `assertion "<text>" failed: ./util.c:<line>` and exits with status 1.
[[noreturn]] void fatal_check(const char* condition, int line);

// Little-endian field access (the formats are little-endian on every platform we run on).
inline uint16_t get_u16(const void* p) { uint16_t v; std::memcpy(&v, p, 2); return v; }
inline void put_u16(void* p, uint16_t v) { std::memcpy(p, &v, 2); }
inline uint32_t get_u32(const void* p) { uint32_t v; std::memcpy(&v, p, 4); return v; }
inline void put_u32(void* p, uint32_t v) { std::memcpy(p, &v, 4); }
inline uint64_t get_u64(const void* p) { uint64_t v; std::memcpy(&v, p, 8); return v; }
inline void put_u64(void* p, uint64_t v) { std::memcpy(p, &v, 8); }

// Memory for large working arrays: huge pages where the kernel offers them (a page fault per 2 MiB instead of per
// 4 KiB), the general heap for small ones. Never cleared. Throws std::bad_alloc when memory runs out.
void* big_alloc(size_t bytes);
void big_free(void* p, size_t bytes);
// Fresh pages are dear on these machines, huge ones far less per byte: the heap keeps what is freed for later
// requests, and its first 30 MiB come in huge pages. The program calls it once at start.
void heap_on_huge_pages();

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

// ---- Block store: one arena, blocks released last-in-first-out, each between two 4096-byte guard zones. ----

// Reserves `limit` bytes of address space (1 GiB aligned; pages cost memory only once touched). Calling it again
// drops the previous store and everything in it.
void alloc_init(int64_t limit);
// A usable area of at least n + 1 bytes, 4096-aligned; not cleared.
uint8_t* alloc_block(int64_t n);
// Releases the newest live block after checking both of its guards. Returns 1.
int free_block(void* p);
// Releases `count` blocks given oldest first, newest first; at most 50.
int free_blocks_n(int count, void* const* blocks);
template <class... P>
int free_blocks(P*... blocks) {
  static_assert(sizeof...(P) <= free_blocks_capacity, "at most 50 blocks per call");
  void* const list[] = {static_cast<void*>(blocks)...};
  return free_blocks_n(static_cast<int>(sizeof...(P)), list);
}
template <class T>
T* alloc_array(int64_t count) {
  return reinterpret_cast<T*>(alloc_block(count * static_cast<int64_t>(sizeof(T))));
}
// Number of live blocks and the store's high-water mark, for tests and measurements.
int64_t alloc_live_blocks();
int64_t alloc_high_water();

// ---- Whole files. ----

// Size of the file at path, or -1 when it cannot be opened or measured.
int64_t file_size(const char* path);
// Reads n bytes (n = 0: the whole file) into buf and returns the count read.
uint64_t readfile(const char* path, void* buf, uint64_t n);
// Creates or truncates path and writes n bytes. A failed write removes the file it created before stopping.
uint64_t writefile(const char* path, const void* buf, uint64_t n);
// As writefile, with a header of headn bytes written in front of the n bytes of buf.
uint64_t writefile2(const char* path, const void* head, uint64_t headn, const void* buf, uint64_t n);
// A whole input file mapped read-only into memory (no copy; the page cache is shared). An empty file maps to an
// empty span. Stops with the read check when the file cannot be opened or read.
class mapped_file {
 public:
  explicit mapped_file(const char* path);
  ~mapped_file();
  mapped_file(const mapped_file&) = delete;
  mapped_file& operator=(const mapped_file&) = delete;
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  void* map_ = nullptr;
  byte_buffer copy_;  // for files that cannot be mapped
};

// An output file written in pieces. Unless commit() succeeds, the destructor removes it: no failure, refusal or
// damaged input leaves a partial file behind. A failed write removes the file and stops with the write check.
class output_file {
 public:
  explicit output_file(const char* path);
  ~output_file();
  output_file(const output_file&) = delete;
  output_file& operator=(const output_file&) = delete;
  void write(const void* buf, size_t n);
  void commit();

 private:
  void fail();
  const char* path_;
  int fd_ = -1;
  bool remove_on_failure_ = true;
};

// As writefile, with a four-byte little-endian header in front (a stored-mode file when header is mode_stored).
uint64_t writefile_with_header(const char* path, uint32_t header, const void* buf, uint64_t n);

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
