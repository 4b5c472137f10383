// qarn.cpp — the command-line driver: argument check, input probe, mode choice, dispatch; and stored mode.
#include "qarn.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

#include "image.h"
#include "mixed.h"
#include "text.h"
#include "util.h"

namespace {

using mode_function = int (*)(const char*, const char*);

struct mode_entry {
  const char* extension;  // compared over at most four bytes, from the last '.' of the input path
  uint32_t number;
  int64_t store_limit;    // block store reserved before the mode runs; 0 for none
  const char* name;
  mode_function compress;
  mode_function decompress;
};

// The order is the order of the name comparisons.
const mode_entry modes[] = {
    {".pnm", mode_image, store_limit_image, "image", compress_image, decompress_image},
    {".txt", mode_text, store_limit_text, "text", compress_text, decompress_text},
    {".dat", mode_mixed, store_limit_mixed, "mixed", compress_mixed, decompress_mixed},
    {nullptr, mode_stored, 0, "default", compress_default, decompress_default},
};

[[noreturn]] void refuse(const char* format, const char* path) {
  std::printf(format, path);
  std::fflush(stdout);
  std::exit(1);
}

void usage() {
  std::puts("Qarnwise version 3");
  std::puts("Compress:");
  std::puts("    ./qarn -c input output");
  std::puts("Decompress:");
  std::puts("    ./qarn -d input output");
}

const mode_entry& mode_by_name(const char* path) {
  const char* dot = std::strrchr(path, '.');
  if (dot)
    for (const mode_entry& m : modes)
      if (m.extension && std::strncmp(dot, m.extension, 4) == 0) return m;
  return modes[3];
}

const mode_entry* mode_by_number(uint32_t number) {
  for (const mode_entry& m : modes)
    if (m.number == number) return &m;
  return nullptr;
}

void run(const mode_entry& m, bool compressing, const char* in, const char* out) {
  mode_function f = compressing ? m.compress : m.decompress;
  if (!f) {
    std::printf("%s mode is not available in this build\n", m.name);
    std::fflush(stdout);
    std::exit(1);
  }
  if (m.store_limit) alloc_init(m.store_limit);
  std::printf("%s %s\n", compressing ? "Compressing" : "Decompressing", m.name);
  std::fflush(stdout);
  f(in, out);
}

// ---- Stored mode: a streaming copy behind the header, so memory stays small and it runs at the speed of cp. ----

struct fd_closer {
  int fd;
  ~fd_closer() {
    if (fd >= 0) close(fd);
  }
};

// Copies from in (starting at in_offset) to the end of out; returns the number of bytes or -1 on failure.
// Plain reads and writes through a 4 MiB buffer run as fast as cp here; an in-kernel copy to an offset that is not
// page aligned (the 4-byte header) runs slower.
int64_t copy_to_end(int in, int64_t in_offset, int out) {
  constexpr size_t chunk = size_t{4} << 20;
  std::unique_ptr<uint8_t[]> buf(new uint8_t[chunk]);
  int64_t total = 0;
  if (lseek(in, in_offset, SEEK_SET) != in_offset) return -1;
  for (;;) {
    ssize_t k = read(in, buf.get(), chunk);
    if (k < 0 && errno == EINTR) continue;
    if (k < 0) return -1;
    if (k == 0) return total;
    for (ssize_t done = 0; done < k;) {
      ssize_t w = write(out, buf.get() + done, static_cast<size_t>(k - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return -1;
      done += w;
    }
    total += k;
  }
}

bool same_file(const char* a, const char* b) {
  struct stat sa, sb;
  return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Writes the stored-mode header (when asked) and then the input from in_offset on to out_path. Returns the bytes
// copied from the input, or stops (removing the output) when anything fails.
int64_t copy_file(const char* in_path, int64_t in_offset, const char* out_path, bool with_header) {
  uint8_t head[4];
  put_u32(head, mode_stored);
  size_t headn = with_header ? 4 : 0;
  if (same_file(in_path, out_path)) {
    // Truncating the output would destroy the input: go through memory instead.
    int64_t size = file_size(in_path);
    if (size < in_offset) fatal_check("length==n", 68);
    std::unique_ptr<uint8_t[]> data(new uint8_t[static_cast<size_t>(size) + 1]);
    if (size > 0) readfile(in_path, data.get(), static_cast<uint64_t>(size));
    if (with_header) writefile_with_header(out_path, mode_stored, data.get() + in_offset, size - in_offset);
    else writefile(out_path, data.get() + in_offset, size - in_offset);
    return size - in_offset;
  }
  fd_closer in{open(in_path, O_RDONLY)};
  if (in.fd < 0) fatal_check("fp!=NULL", 58);
  struct stat before;
  bool existed = stat(out_path, &before) == 0;
  fd_closer out{open(out_path, O_WRONLY | O_CREAT | O_TRUNC, 0666)};
  if (out.fd < 0) fatal_check("fp!=NULL", 45);
  bool ok = headn == 0 || write(out.fd, head, headn) == static_cast<ssize_t>(headn);
  int64_t copied = ok ? copy_to_end(in.fd, in_offset, out.fd) : -1;
  ok = copied >= 0 && close(out.fd) == 0;
  out.fd = -1;
  if (!ok) {
    if (!existed || S_ISREG(before.st_mode)) std::remove(out_path);
    fatal_check("length==n", 48);
  }
  return copied;
}

}  // namespace

int compress_default(const char* in_path, const char* out_path) {
  int64_t size = file_size(in_path);
  // A stored file must stay below the decompressor's limit, so the input may be 1,000,999,995 bytes at most.
  if (size > stored_input_limit) refuse("File %s must be less than 1.001GB", in_path);
  int64_t copied = copy_file(in_path, 0, out_path, true);
  if (copied > stored_input_limit) {  // the file grew while it was copied
    std::remove(out_path);
    refuse("File %s must be less than 1.001GB", in_path);
  }
  return 0;
}

void write_stored(const char* in_path, const char* out_path, const uint8_t* data, uint64_t n) {
  if (n > static_cast<uint64_t>(stored_input_limit)) refuse("File %s must be less than 1.001GB", in_path);
  writefile_with_header(out_path, mode_stored, data, n);
}

void write_fallback(const char* in_path, const char* out_path, const uint8_t* data, uint64_t n) {
  std::optional<byte_buffer> mixed = compress_mixed_buffer(data, n);
  if (mixed) writefile(out_path, mixed->data(), mixed->size());
  else write_stored(in_path, out_path, data, n);
}

int decompress_default(const char* in_path, const char* out_path) {
  int64_t size = file_size(in_path);
  if (size < container_header_size || size >= input_size_limit - 1) corrupt();
  copy_file(in_path, container_header_size, out_path, false);
  return 0;
}

int qarn_main(int argc, char** argv) {
  if (argc != 4 || std::strlen(argv[1]) != 2 || argv[1][0] != '-' || (argv[1][1] != 'c' && argv[1][1] != 'd')) {
    usage();
    return 1;
  }
  heap_on_huge_pages();
  bool compressing = argv[1][1] == 'c';
  const char* in = argv[2];
  const char* out = argv[3];

  int64_t size = file_size(in);
  if (size == -1) refuse("%s not found", in);
  if (size >= input_size_limit) refuse("File %s must be less than 1.001GB", in);

  try {
    if (compressing) {
      run(mode_by_name(in), true, in, out);
    } else {
      size = file_size(in);
      if (size == -1) refuse("File %s not found", in);
      if (size < container_header_size) corrupt();
      uint8_t head[100];
      readfile(in, head, static_cast<uint64_t>(size < 100 ? size : 100));
      const mode_entry* m = mode_by_number(get_u32(head));
      if (!m) corrupt();
      run(*m, false, in, out);
    }
  } catch (const corrupt_input&) {
    refuse("File %s is corrupt\n", in);
  } catch (const std::bad_alloc&) {
    refuse("Not enough memory for %s\n", in);
  }
  std::fflush(stdout);
  return 0;
}
