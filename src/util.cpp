// util.cpp — the block store, the whole-file helpers and the fatal check.
#include "util.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <fcntl.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

void fatal_check(const char* condition, int line) {
  std::printf("assertion \"%s\" failed: %s:%d\n", condition, "./util.c", line);
  std::fflush(stdout);
  std::exit(1);
}

namespace {

constexpr int64_t store_alignment = int64_t{1} << 30;

uint8_t* allocstore = nullptr;  // base of the store, 1 GiB aligned
void* allocmapping = nullptr;   // the whole mapping, of which the store is an aligned part
size_t allocmappingsize = 0;
int64_t alloclimit = 0;
int64_t* alloctable = nullptr;  // offset of each live block's usable area, oldest first
int64_t alloctablec = 0;
int64_t alloctop = 0;
int64_t allocmax = 0;

void fill_guard(uint8_t* p) {
  for (int64_t i = 0; i < block_guard_size; i += 8) std::memcpy(p + i, &rand_value, 8);
}

bool guard_intact(const uint8_t* p) {
  for (int64_t i = 0; i < block_guard_size; i += 8)
    if (get_u64(p + i) != rand_value) return false;
  return true;
}

extern "C" void on_segmentation_fault(int) {
  static const char message[] = "Segmentation fault\n";
  ssize_t ignored = write(STDOUT_FILENO, message, sizeof message - 1);
  (void)ignored;
  _exit(1);
}

}  // namespace

void alloc_init(int64_t limit) {
  if (allocmapping) munmap(allocmapping, allocmappingsize);
  alloclimit = limit;
  // Address space only: MAP_NORESERVE commits nothing until a page is touched.
  allocmappingsize = static_cast<size_t>(limit + store_alignment);
  void* m = mmap(nullptr, allocmappingsize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (m == MAP_FAILED) {
    allocmapping = nullptr;
    fatal_check("!posix_memalign((void**)&allocstore,1<<30,alloclimit)", 286);
  }
  allocmapping = m;
  auto base = (reinterpret_cast<uintptr_t>(m) + store_alignment - 1) & ~static_cast<uintptr_t>(store_alignment - 1);
  allocstore = reinterpret_cast<uint8_t*>(base);
  madvise(allocstore, static_cast<size_t>(limit), MADV_HUGEPAGE);
  if (!alloctable) alloctable = static_cast<int64_t*>(std::malloc(block_table_capacity * sizeof(int64_t)));
  if (!alloctable) fatal_check("alloctable", 286);
  alloctop = 0;
  alloctablec = 0;
  allocmax = 0;
  std::signal(SIGSEGV, on_segmentation_fault);
}

uint8_t* alloc_block(int64_t n) {
  if (n < 0) fatal_check("n>=0", 137);
  if (!allocstore) fatal_check("allocstore", 137);
  if (n > alloclimit) fatal_check("0", 163);  // keeps the size arithmetic below from overflowing
  int64_t s = (n + 3 * block_guard_size) & ~(block_guard_size - 1);
  if (alloclimit - alloctop <= s) fatal_check("0", 163);
  if (alloctablec >= block_table_capacity) fatal_check("alloctablec<500000", 163);
  fill_guard(allocstore + alloctop);
  alloctable[alloctablec++] = alloctop + block_guard_size;
  int64_t old = alloctop;
  alloctop += s;
  fill_guard(allocstore + alloctop - block_guard_size);
  if (alloctop > allocmax) allocmax = alloctop;
  return allocstore + old + block_guard_size;
}

int free_block(void* p) {
  auto* a = static_cast<uint8_t*>(p);
  if (alloctablec <= 0) fatal_check("alloctablec>0", 189);
  if (a - allocstore != alloctable[alloctablec - 1]) fatal_check("a-allocstore==alloctable[alloctablec-1]", 171);
  if (!guard_intact(a - block_guard_size)) fatal_check("a2[i]==rand_value", 178);
  if (!guard_intact(allocstore + alloctop - block_guard_size)) fatal_check("a2b[i]==rand_value", 186);
  --alloctablec;
  alloctop = alloctable[alloctablec] - block_guard_size;
  return 1;
}

int free_blocks_n(int count, void* const* blocks) {
  if (count <= 0) return 0;
  if (count > free_blocks_capacity) fatal_check("count<=50", 210);
  for (int i = 0; i < count; i++)
    if (!blocks[i]) fatal_check("a[i]", 210);
  for (int i = count - 1; i >= 0; i--) free_block(blocks[i]);
  return 1;
}

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
  void* m = mmap(nullptr, bytes + huge_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (m == MAP_FAILED) throw std::bad_alloc();
  auto at = reinterpret_cast<uintptr_t>(m);
  uintptr_t aligned = (at + huge_page - 1) & ~uintptr_t{huge_page - 1};
  if (aligned > at) munmap(m, aligned - at);
  munmap(reinterpret_cast<void*>(aligned + bytes), at + huge_page - aligned);
  void* p = reinterpret_cast<void*>(aligned);
  madvise(p, bytes, MADV_HUGEPAGE);
  return p;
}

void heap_on_huge_pages() {
  // The heap grows to take a block just below the map threshold and keeps it as free space (trimming is off);
  // the whole of that space is then marked for huge pages. Nothing is touched, so nothing is faulted in yet.
  constexpr size_t reach = size_t{30} << 20;
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  void* block = std::malloc(reach);
  if (!block) return;
  auto from = (reinterpret_cast<uintptr_t>(block) + huge_page - 1) & ~uintptr_t{huge_page - 1};
  auto to = reinterpret_cast<uintptr_t>(sbrk(0)) & ~uintptr_t{huge_page - 1};
  std::free(block);
  if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
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

int64_t alloc_live_blocks() { return alloctablec; }
int64_t alloc_high_water() { return allocmax; }

int64_t file_size(const char* path) {
  FILE* fp = std::fopen(path, "rb");
  if (!fp) return -1;
  int64_t size = -1;
  if (fseeko(fp, 0, SEEK_END) == 0) size = ftello(fp);
  std::fclose(fp);
  return size;
}

uint64_t readfile(const char* path, void* buf, uint64_t n) {
  FILE* fp = std::fopen(path, "rb");
  if (!fp) fatal_check("fp!=NULL", 58);
  if (n == 0) {
    if (fseeko(fp, 0, SEEK_END) != 0) fatal_check("length==n", 68);
    int64_t size = ftello(fp);
    if (size < 0) fatal_check("length==n", 68);
    n = static_cast<uint64_t>(size);
    fseeko(fp, 0, SEEK_SET);
  }
  uint64_t length = n ? std::fread(buf, 1, n, fp) : 0;
  std::fclose(fp);
  if (length != n) fatal_check("length==n", 68);
  return n;
}

mapped_file::mapped_file(const char* path) {
  int fd = open(path, O_RDONLY);
  if (fd < 0) fatal_check("fp!=NULL", 58);
  struct stat st;
  if (fstat(fd, &st) != 0) {
    close(fd);
    fatal_check("length==n", 68);
  }
  size_ = static_cast<size_t>(st.st_size);
  if (S_ISREG(st.st_mode) && size_ > 0) {
    void* m = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    if (m != MAP_FAILED) {
      map_ = m;
      data_ = static_cast<const uint8_t*>(m);
    }
  }
  close(fd);
  if (!map_ && size_ > 0) {
    copy_ = byte_buffer(size_);
    readfile(path, copy_.data(), size_);
    data_ = copy_.data();
  }
}

mapped_file::~mapped_file() {
  if (map_) munmap(map_, size_);
}

output_file::output_file(const char* path) : path_(path) {
  struct stat before;
  // Only a regular file that this run creates or truncates is removed on failure; a device such as /dev/null stays.
  if (stat(path, &before) == 0 && !S_ISREG(before.st_mode)) remove_on_failure_ = false;
  fd_ = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (fd_ < 0) fatal_check("fp!=NULL", 45);
}

output_file::~output_file() {
  if (fd_ >= 0) {
    close(fd_);
    if (remove_on_failure_) std::remove(path_);
  }
}

void output_file::fail() {
  close(fd_);
  fd_ = -1;
  if (remove_on_failure_) std::remove(path_);
  fatal_check("length==n", 48);
}

void output_file::write(const void* buf, size_t n) {
  const auto* p = static_cast<const uint8_t*>(buf);
  while (n > 0) {
    ssize_t w = ::write(fd_, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) fail();
    p += w;
    n -= static_cast<size_t>(w);
  }
}

void output_file::commit() {
  if (close(fd_) != 0) {
    fd_ = -1;
    if (remove_on_failure_) std::remove(path_);
    fatal_check("length==n", 48);
  }
  fd_ = -1;
}

uint64_t writefile2(const char* path, const void* head, uint64_t headn, const void* buf, uint64_t n) {
  output_file out(path);
  out.write(head, headn);
  out.write(buf, n);
  out.commit();
  return headn + n;
}

uint64_t writefile(const char* path, const void* buf, uint64_t n) { return writefile2(path, nullptr, 0, buf, n); }

uint64_t writefile_with_header(const char* path, uint32_t header, const void* buf, uint64_t n) {
  uint8_t head[4];
  put_u32(head, header);
  return writefile2(path, head, 4, buf, n);
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
