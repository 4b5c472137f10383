// qarn.cpp — the driver. Its buffer layer picks the mode and applies every fallback; its program layer owns the
// files (whole reads, atomic writes), prints, and turns failures into messages and exit statuses.
#include "qarn.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <unordered_set>

#include "image.h"
#include "mixed.h"
#include "text.h"

namespace qarn {

// ---------------------------------------------------------------------------------------------------------------
// Buffers.

namespace {

struct mode_entry {
  const char* extension;  // compared over at most four bytes, from the last '.' of the input path
  uint32_t number;
  const char* word;
};

// The order is the order of the name comparisons.
const mode_entry modes[] = {
    {".pnm", mode_image, "image"},
    {".txt", mode_text, "text"},
    {".dat", mode_mixed, "mixed"},
    {nullptr, mode_stored, "default"},
};

void write_bytes(byte_sink& sink, const byte_buffer& b) { sink.write(b.data(), b.size()); }

uint32_t put_stored_file(const uint8_t* in, size_t n, byte_sink& sink) {
  if (n > static_cast<size_t>(stored_input_limit)) throw qarn_error(failure::too_large);
  uint8_t head[container_header_size];
  put_u32(head, mode_stored);
  sink.write(head, sizeof head);
  if (n) sink.write(in, n);
  return mode_stored;
}

// The file of an input that text or image mode cannot take: mixed mode's, or the stored file when that is smaller.
uint32_t compress_other(const uint8_t* in, size_t n, byte_sink& sink, const std::function<void()>& done_reading,
                        int workers) {
  if (std::optional<byte_buffer> mixed = compress_mixed_buffer(in, n, done_reading, workers)) {
    write_bytes(sink, *mixed);
    return mode_mixed;
  }
  return put_stored_file(in, n, sink);
}

}  // namespace

uint32_t mode_for_name(const char* path) {
  if (const char* dot = std::strrchr(path, '.'))
    for (const mode_entry& m : modes)
      if (m.extension && std::strncmp(dot, m.extension, 4) == 0) return m.number;
  return mode_stored;
}

namespace {

// Executables, shared libraries, object files and archives of them, by their first bytes.
bool is_program(const uint8_t* in, size_t n) {
  if (n >= 4 && std::memcmp(in, "\x7f" "ELF", 4) == 0) return true;
  if (n >= 8 && std::memcmp(in, "!<arch>\n", 8) == 0) return true;
  if (n >= 4) {
    const uint32_t magic = get_u32(in);
    // Mach-O, 32 and 64 bits, either byte order, and universal files.
    for (uint32_t m : {0xfeedfaceu, 0xfeedfacfu, 0xcefaedfeu, 0xcffaedfeu, 0xbebafecau})
      if (magic == m) return true;
  }
  if (n >= 0x40 && in[0] == 'M' && in[1] == 'Z') {  // PE: the DOS header points to "PE\0\0"
    const uint32_t at = get_u32(in + 0x3c);
    if (at <= n - 4 && std::memcmp(in + at, "PE\0\0", 4) == 0) return true;
  }
  return false;
}

// Whether text mode codes the text well, judged on four pieces of 64 KB spread over it (all of it when shorter).
// Text mode numbers space- and line-feed-terminated tokens by frequency: it gains on a small vocabulary, and the
// distance model of mixed mode gains more where long passages repeat. On a sample of real files (prose, manual
// pages, logs, licences, source code, dictionaries, word lists, tables), mixed mode was the smaller wherever more
// than 30% of the tokens were distinct or more than 10% of the lines of 16 bytes or more were seen before.
bool reads_as_text(const uint8_t* in, size_t n) {
  if (n == 0) return false;
  constexpr size_t piece = 65536;
  const int pieces = n > 4 * piece ? 4 : 1;
  const size_t length = pieces == 1 ? n : piece;
  size_t bytes = 0, control = 0, high = 0, delimiters = 0, tokens = 0, lines = 0, repeated_lines = 0;
  std::unordered_set<std::string_view> vocabulary, seen_lines;
  for (int k = 0; k < pieces; k++) {
    const uint8_t* p = in + (pieces == 1 ? 0 : (n - piece) / 3 * static_cast<size_t>(k));
    const auto* chars = reinterpret_cast<const char*>(p);
    size_t token = 0, line = 0;
    for (size_t i = 0; i < length; i++) {
      const uint8_t c = p[i];
      if (c == 0) return false;
      if ((c < 0x20 && c != '\t' && c != '\r' && c != '\f' && c != '\n') || c == 0x7f) control++;
      if (c >= 0x80) high++;
      if (c == ' ' || c == '\n') {
        delimiters++;
        tokens++;
        vocabulary.insert(std::string_view(chars + token, i + 1 - token));
        token = i + 1;
      }
      if (c == '\n') {
        if (i - line >= 16) {
          lines++;
          if (!seen_lines.insert(std::string_view(chars + line, i - line)).second) repeated_lines++;
        }
        line = i + 1;
      }
    }
    bytes += length;
  }
  return control * 200 <= bytes && high * 10 <= bytes * 3 && delimiters * 20 >= bytes && tokens > 0 &&
         vocabulary.size() * 10 <= tokens * 3 && repeated_lines * 10 <= lines;
}

}  // namespace

uint32_t mode_for_content(const uint8_t* in, size_t n) {
  pnm_geometry geometry;
  if (parse_restorable_pnm(in, n, &geometry)) return mode_image;
  if (is_program(in, n)) return mode_mixed;
  if (reads_as_text(in, n)) return mode_text;
  return mode_mixed;
}

const char* mode_word(uint32_t mode) {
  for (const mode_entry& m : modes)
    if (m.number == mode) return m.word;
  return nullptr;
}

uint32_t compress_to(uint32_t mode, const uint8_t* in, size_t n, byte_sink& sink,
                     const std::function<void()>& done_reading, int workers) {
  switch (mode) {
    case mode_text: {
      text_refusal why;
      if (std::optional<byte_buffer> file = compress_text_buffer(in, n, &why, workers)) {
        write_bytes(sink, *file);
        return mode_text;
      }
      // Past the text format's limits: mixed mode. Merely no gain: stored.
      return why != text_refusal::none ? compress_other(in, n, sink, done_reading, workers)
                                       : put_stored_file(in, n, sink);
    }
    case mode_image: {
      // A PNM that image mode would not restore byte for byte goes to mixed mode; one whose image file would be
      // larger than the stored one is stored.
      pnm_geometry geometry;
      if (!parse_restorable_pnm(in, n, &geometry)) return compress_other(in, n, sink, done_reading, workers);
      byte_buffer file;
      if (!compress_image_buffer(in, n, &file, workers)) return put_stored_file(in, n, sink);
      write_bytes(sink, file);
      return mode_image;
    }
    case mode_mixed:
      return compress_other(in, n, sink, done_reading, workers);
    default:
      return put_stored_file(in, n, sink);
  }
}

byte_buffer compress_buffer(uint32_t mode, const uint8_t* in, size_t n, int workers) {
  buffer_sink sink;
  compress_to(mode, in, n, sink, {}, workers);
  return sink.release();
}

int64_t file_length_limit(uint32_t mode) {
  switch (mode) {
    case mode_stored: return stored_file_limit;
    case mode_image: return image_length_limit;
    case mode_mixed: return mixed_file_limit;
    default: return input_size_limit;
  }
}

void decompress_to(const uint8_t* file, size_t n, byte_sink& sink, int workers) {
  if (n < static_cast<size_t>(container_header_size)) corrupt();
  switch (get_u32(file)) {
    case mode_stored:
      if (n >= static_cast<size_t>(stored_file_limit)) corrupt();
      if (n > static_cast<size_t>(container_header_size))
        sink.write(file + container_header_size, n - container_header_size);
      return;
    case mode_text: return decompress_text_to(file, n, sink, workers);
    case mode_image: return decompress_image_to(file, n, sink, workers);
    case mode_mixed: return decompress_mixed_to(file, n, sink, workers);
    default: corrupt();
  }
}

void decompress_in_place(uint8_t* file, size_t n, byte_sink& sink, int workers) {
  if (n >= static_cast<size_t>(container_header_size) && get_u32(file) == mode_text)
    return decompress_text_in_place(file, n, sink, workers);
  decompress_to(file, n, sink, workers);
}

byte_buffer decompress_buffer(const uint8_t* file, size_t n, int workers) {
  buffer_sink sink;
  decompress_to(file, n, sink, workers);
  return sink.release();
}

uint64_t restored_length(const uint8_t* file, size_t n) {
  if (n < static_cast<size_t>(container_header_size) || n >= static_cast<size_t>(input_size_limit)) corrupt();
  switch (get_u32(file)) {
    case mode_stored: return n - container_header_size;
    case mode_text: return text_restored_length(file, n);
    case mode_image: return image_restored_length(file, n);
    case mode_mixed:
      if (n < mixed_header_size) corrupt();
      return get_u32(file + 4);
    default: corrupt();
  }
}

// ---------------------------------------------------------------------------------------------------------------
// Files. Failures of the system carry the check and line of the program's fixed messages:
// output open "fp!=NULL" 45, output write "length==n" 48, input open "fp!=NULL" 58, input read "length==n" 68.

namespace {

constexpr int check_output_open = 45, check_output_write = 48, check_input_read = 68;

// The path of the file a system failure concerns, for the second line of its message. One run handles one file
// pair, so the program keeps it here rather than in every error.
std::string failed_path;

[[noreturn]] void system_failure(const char* check, int line, const std::string& path, int error_number = errno) {
  failed_path = path;
  throw qarn_error(failure::system, check, line, error_number);
}

// ---- Interruption: a named temporary file is removed before the signal takes its usual course. ----

char interrupted_temp[PATH_MAX + 64];
volatile sig_atomic_t temp_is_named = 0;

extern "C" void on_interrupt(int sig) {
  if (temp_is_named) unlink(interrupted_temp);
  signal(sig, SIG_DFL);
  raise(sig);
}

void name_temp(const std::string& path) {
  temp_is_named = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  std::snprintf(interrupted_temp, sizeof interrupted_temp, "%s", path.c_str());
  std::atomic_signal_fence(std::memory_order_seq_cst);
  temp_is_named = 1;
}

void forget_temp() { temp_is_named = 0; }

void on_interrupts_remove_temp() {
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old {};
    // A signal the caller ignores stays ignored (as under nohup).
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    sigaction(sig, &action, nullptr);
  }
}

// ---- Input. ----

// The input file: a regular file of known size, or a stream (pipe, terminal, device) read to its end. Opening it
// refuses a directory and a file past the size limit.
class input_file {
 public:
  explicit input_file(const char* path) : path_(path) {
    fd_ = open(path, O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
      failed_path = path;
      throw qarn_error(failure::not_found, "", 0, errno);
    }
    if (fstat(fd_, &st_) != 0) system_failure("length==n", check_input_read, path_);
    if (S_ISDIR(st_.st_mode)) throw qarn_error(failure::is_directory);
    if (sized() && size() >= input_size_limit) throw qarn_error(failure::too_large);
  }
  ~input_file() { close(fd_); }
  input_file(const input_file&) = delete;
  input_file& operator=(const input_file&) = delete;

  // A regular file that says how long it is. Files that say 0 (those of /proc, and empty ones) are read as
  // streams, to their end.
  bool sized() const { return S_ISREG(st_.st_mode) && st_.st_size > 0; }
  int64_t size() const { return st_.st_size; }  // of a sized file, as it was when opened
  int fd() const { return fd_; }
  // What the output's permission bits become: the input's, or for a stream what a new file would get.
  mode_t permissions() const {
    if (S_ISREG(st_.st_mode)) return st_.st_mode & 0777;
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
  }

  // Reads until n bytes are in or the input ends; returns the count.
  size_t read_full(uint8_t* p, size_t n) {
    size_t got = 0;
    while (got < n) {
      const ssize_t k = read(fd_, p + got, n - got);
      if (k < 0 && errno == EINTR) continue;
      if (k < 0) system_failure("length==n", check_input_read, path_);
      if (k == 0) break;
      got += static_cast<size_t>(k);
    }
    return got;
  }

  // For a sized file, after its last byte was read: refuses it if it grew or shrank meanwhile.
  void check_unchanged(uint64_t total) {
    if (!sized()) return;
    uint8_t extra;
    struct stat now;
    if (total != static_cast<uint64_t>(st_.st_size) || pread(fd_, &extra, 1, st_.st_size) != 0 ||
        fstat(fd_, &now) != 0 || now.st_size != st_.st_size)
      throw qarn_error(failure::changed);
  }

  // A stream past a mode's limit, `total` bytes in: it is read on (and dropped) to tell an input past the size
  // limit, which is refused as too large, from one that is merely too long for its mode (`kind`).
  [[noreturn]] void refuse_past_limit(uint64_t total, failure kind) {
    uint8_t buf[1 << 16];
    while (total < static_cast<uint64_t>(input_size_limit)) {
      const size_t k = read_full(buf, sizeof buf);
      if (k == 0) break;
      total += k;
    }
    throw qarn_error(total >= static_cast<uint64_t>(input_size_limit) ? failure::too_large : kind);
  }

 private:
  const char* path_;
  int fd_ = -1;
  struct stat st_ {};
};

// The rest of the input after the `head_n` bytes already read (which it starts with), whole, in memory. At most
// `limit` bytes in all: past that, `kind`.
byte_buffer read_whole(input_file& in, const uint8_t* head, size_t head_n, uint64_t limit, failure kind) {
  if (in.sized()) {
    const uint64_t size = static_cast<uint64_t>(in.size());
    if (size > limit) throw qarn_error(kind);
    if (head_n > size) throw qarn_error(failure::changed);
    byte_buffer data = populated<uint8_t>(size);
    if (head_n) std::memcpy(data.data(), head, head_n);
    in.check_unchanged(head_n + in.read_full(data.data() + head_n, size - head_n));
    return data;
  }
  // A stream: a buffer that doubles as it fills.
  byte_buffer data(std::max<size_t>(size_t{1} << 20, head_n));
  if (head_n) std::memcpy(data.data(), head, head_n);
  uint64_t total = head_n;
  for (;;) {
    if (total == data.size()) {
      if (total > limit) in.refuse_past_limit(total, kind);
      byte_buffer grown(static_cast<size_t>(std::min<uint64_t>(2 * total, limit + 1)));
      std::memcpy(grown.data(), data.data(), total);
      data = std::move(grown);
    }
    const size_t k = in.read_full(data.data() + total, data.size() - total);
    total += k;
    if (total > limit) in.refuse_past_limit(total, kind);
    if (total < data.size()) break;  // the stream ended
  }
  data.shrink(total);
  return data;
}

// ---- Inputs mapped into memory. ----

// A sized input is compressed from a read-only mapping of it: no copy, no fresh pages (reading 256 MB of text into
// new memory made text mode's compression take a third longer here, most of it clearing pages). Should the file shrink meanwhile, a
// read past its new end raises SIGBUS: the handler puts zero pages in place of the whole mapping and notes it, the
// work goes on over zeros, and the run refuses the input as changed. A SIGBUS anywhere else is a real fault and
// ends the program as one.
std::atomic<uintptr_t> mapped_from{0}, mapped_to{0};
std::atomic<bool> mapping_replaced{false};
static_assert(std::atomic<uintptr_t>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "the bus error handler reads them");

extern "C" void on_bus_error(int sig, siginfo_t* info, void*) {
  const auto at = reinterpret_cast<uintptr_t>(info->si_addr);
  const uintptr_t from = mapped_from.load(), to = mapped_to.load();
  if (from && at >= from && at < to &&
      mmap(reinterpret_cast<void*>(from), to - from, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) !=
          MAP_FAILED) {
    mapping_replaced.store(true);
    return;  // the read is made again, from a zero page
  }
  signal(sig, SIG_DFL);  // the faulting instruction runs again and ends the program
}

class mapped_input {
 public:
  // Maps the whole of a sized input, or nothing (data() null) where it cannot be mapped.
  explicit mapped_input(input_file& in) : in_(in), size_(static_cast<size_t>(in.size())) {
    void* m = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE | MAP_POPULATE, in.fd(), 0);
    if (m == MAP_FAILED) return;
    data_ = static_cast<const uint8_t*>(m);
    mapping_replaced.store(false);
    mapped_to.store(reinterpret_cast<uintptr_t>(m) + size_);
    mapped_from.store(reinterpret_cast<uintptr_t>(m));
  }
  ~mapped_input() {
    if (!data_) return;
    mapped_from.store(0);
    munmap(const_cast<uint8_t*>(data_), size_);
  }
  mapped_input(const mapped_input&) = delete;
  mapped_input& operator=(const mapped_input&) = delete;

  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  // Lets the pages go while the work does not read them: they are read again from the file when needed.
  void drop_pages() { madvise(const_cast<uint8_t*>(data_), size_, MADV_DONTNEED); }
  // After the work (or its failure): refuses the input if it changed size meanwhile.
  void check_unchanged() {
    if (mapping_replaced.load()) throw qarn_error(failure::changed);
    in_.check_unchanged(size_);
  }

 private:
  input_file& in_;
  size_t size_;
  const uint8_t* data_ = nullptr;
};

void on_bus_error_replace_mapping() {
  struct sigaction action {};
  action.sa_sigaction = on_bus_error;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  sigaction(SIGBUS, &action, nullptr);
}

// ---- Output. ----

// Follows symbolic links at path to the file they lead to (which may not exist yet).
std::string resolve_links(const char* path) {
  std::string p = path;
  for (int hops = 0; hops < 40; hops++) {
    struct stat st;
    if (lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return p;
    char buf[PATH_MAX];
    const ssize_t k = readlink(p.c_str(), buf, sizeof buf);
    if (k <= 0 || k == static_cast<ssize_t>(sizeof buf)) return p;
    const std::string link(buf, static_cast<size_t>(k));
    const size_t slash = p.rfind('/');
    p = link[0] == '/' || slash == std::string::npos ? link : p.substr(0, slash + 1) + link;
  }
  return p;  // a loop: opening it reports it
}

std::string directory_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A hidden name beside target that no file has yet (".<name>.<random>").
std::string hidden_name_beside(const std::string& target, uint64_t salt) {
  const size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  const std::string base = target.substr(slash == std::string::npos ? 0 : slash + 1).substr(0, 200);
  char suffix[24];
  std::snprintf(suffix, sizeof suffix, ".%012llx", static_cast<unsigned long long>(salt & 0xffffffffffffULL));
  return dir + "." + base + suffix;
}

bool proc_fd_available() {
  static const bool yes = access("/proc/self/fd", X_OK) == 0;
  return yes;
}

// The output file. A regular file (or one yet to be made) is written to a temporary file in the directory of the
// file it replaces, opened before any work, and renamed over that file only by commit(): on a failure, an
// exception or an interruption the old file stays as it was and no temporary file is left. Where the file system
// allows, the temporary file has no name until commit(), so that even a kill leaves nothing behind. An output that
// is not a regular file (/dev/null, a pipe, a terminal) is written directly.
class output_file final : public byte_sink {
 public:
  output_file(const char* path, mode_t permissions) : path_(path), permissions_(permissions) {
    target_ = resolve_links(path);
    if (target_.empty()) system_failure("fp!=NULL", check_output_open, path_, ENOENT);
    struct stat st;
    if (stat(target_.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      if (S_ISDIR(st.st_mode)) system_failure("fp!=NULL", check_output_open, path_, EISDIR);
      fd_ = open(target_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
      if (fd_ < 0) system_failure("fp!=NULL", check_output_open, path_);
      direct_ = true;
      return;
    }
    const std::string dir = directory_of(target_);
    if (proc_fd_available()) fd_ = open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd_ >= 0) return;
    // No unnamed files here: a hidden name, removed again on failure and on interruption.
    if (const int e = take_hidden_name([&](const char* name) {
          fd_ = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
          return fd_ >= 0;
        }))
      system_failure("fp!=NULL", check_output_open, path_, e);
  }

  ~output_file() {
    if (fd_ >= 0) close(fd_);
    if (!temp_.empty()) {
      unlink(temp_.c_str());
      forget_temp();
    }
  }
  output_file(const output_file&) = delete;
  output_file& operator=(const output_file&) = delete;

  void write(const uint8_t* p, size_t n) override {
    while (n > 0) {
      const ssize_t w = ::write(fd_, p, n);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) system_failure("length==n", check_output_write, path_, w < 0 ? errno : ENOSPC);
      p += w;
      n -= static_cast<size_t>(w);
    }
  }

  // Puts the finished file in place.
  void commit() {
    if (direct_) {
      const int r = close(fd_);
      fd_ = -1;
      if (r != 0) system_failure("length==n", check_output_write, path_);
      return;
    }
    // The permission bits are set exactly, whatever the umask; a file system without them keeps its own.
    (void)fchmod(fd_, permissions_);
    if (temp_.empty()) {
      // The unnamed file gets a hidden name first: a name cannot be linked over an existing file.
      char self[64];
      std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd_);
      if (const int e = take_hidden_name([&](const char* name) {
            return linkat(AT_FDCWD, self, AT_FDCWD, name, AT_SYMLINK_FOLLOW) == 0;
          }))
        system_failure("length==n", check_output_write, path_, e);
    }
    const int r = close(fd_);
    fd_ = -1;
    if (r != 0) system_failure("length==n", check_output_write, path_);
    if (rename(temp_.c_str(), target_.c_str()) != 0) system_failure("length==n", check_output_write, path_);
    forget_temp();
    temp_.clear();
  }

 private:
  // Gives the temporary file a hidden name beside the target through make(name) (an exclusive open, or a link),
  // trying another name while one is taken; the name is removed on interruption from then on. Returns 0, or the
  // errno of the failure.
  template <class Make>
  int take_hidden_name(Make&& make) {
    std::random_device seed;
    for (int attempt = 0; attempt < 100; attempt++) {
      temp_ = hidden_name_beside(target_, (uint64_t{seed()} << 32) ^ seed());
      name_temp(temp_);
      if (make(temp_.c_str())) return 0;
      const int e = errno;
      forget_temp();
      temp_.clear();
      if (e != EEXIST) return e;
    }
    return EEXIST;
  }

  const char* path_;
  mode_t permissions_;
  std::string target_;  // the file that is replaced: the output path with its symbolic links followed
  std::string temp_;    // the temporary file's name, while it has one
  int fd_ = -1;
  bool direct_ = false;
};

// Copies the rest of the input to out, at most `limit` bytes: past that, `kind`. Returns the bytes copied.
uint64_t copy_rest(input_file& in, output_file& out, uint64_t done, uint64_t limit, failure kind) {
  if (in.sized() && static_cast<uint64_t>(in.size()) > limit) throw qarn_error(kind);
  // 4 MiB at a time, or for a shorter file its length and one byte (to see its end in the same read): a small
  // file needs no large buffer, whose fresh pages would cost more than its copy.
  size_t chunk = size_t{4} << 20;
  if (in.sized() && static_cast<uint64_t>(in.size()) - done < chunk)
    chunk = static_cast<size_t>(static_cast<uint64_t>(in.size()) - done) + 1;
  byte_buffer buf(chunk);
  uint64_t total = done;
  for (;;) {
    const size_t k = in.read_full(buf.data(), chunk);
    total += k;
    if (total > limit) {
      if (in.sized()) throw qarn_error(failure::changed);
      in.refuse_past_limit(total, kind);
    }
    if (k) out.write(buf.data(), k);
    if (k < chunk) break;
  }
  in.check_unchanged(total);
  return total;
}

// ---- The two directions. ----

void announce(const char* direction, uint32_t mode) {
  std::printf("%s %s\n", direction, mode_word(mode));
  std::fflush(stdout);
}

// Stored mode streams: the input goes through a buffer of at most 4 MiB behind the header, in constant memory and at the
// speed of a copy.
void compress_default(input_file& in, output_file& out) {
  uint8_t head[container_header_size];
  put_u32(head, mode_stored);
  out.write(head, sizeof head);
  copy_rest(in, out, 0, stored_input_limit, failure::too_large);
}

void decompress_default(input_file& in, output_file& out) {
  copy_rest(in, out, container_header_size, stored_file_limit - 1, failure::corrupt);
}

// The modelling modes take the whole input at once: mapped when it is a sized file, else read into memory.
void compress_whole(input_file& in, uint32_t mode, output_file& out) {
  if (in.sized()) {
    mapped_input map(in);
    if (map.data()) {
      try {
        compress_to(mode, map.data(), map.size(), out, [&map] { map.drop_pages(); });
      } catch (...) {
        map.check_unchanged();  // a failure over a changed input is that change
        throw;
      }
      map.check_unchanged();
      return;
    }
  }
  const byte_buffer data = read_whole(in, nullptr, 0, input_size_limit - 1, failure::too_large);
  compress_to(mode, data.data(), data.size(), out);
}

void compress_file(const char* in_path, const char* out_path) {
  input_file in(in_path);
  const uint32_t mode = mode_for_name(in_path);
  announce("Compressing", mode);
  output_file out(out_path, in.permissions());
  if (mode == mode_stored) {
    compress_default(in, out);
  } else {
    compress_whole(in, mode, out);
  }
  out.commit();
}

void decompress_file(const char* in_path, const char* out_path) {
  input_file in(in_path);
  uint8_t head[container_header_size];
  if (in.read_full(head, sizeof head) < sizeof head) corrupt();
  const uint32_t mode = get_u32(head);
  if (!mode_word(mode)) corrupt();
  announce("Decompressing", mode);
  const int64_t limit = file_length_limit(mode);
  if (in.sized() && in.size() >= limit) corrupt();
  output_file out(out_path, in.permissions());
  if (mode == mode_stored) {
    decompress_default(in, out);
  } else {
    byte_buffer file = read_whole(in, head, sizeof head, static_cast<uint64_t>(limit - 1), failure::corrupt);
    decompress_in_place(file.data(), file.size(), out);
  }
  out.commit();
}

void usage() {
  std::puts("Qarnwise version 3");
  std::puts("Compress:");
  std::puts("    ./qarn -c input output");
  std::puts("Decompress:");
  std::puts("    ./qarn -d input output");
}

// Prints the message of a failure (on standard output, with a reason on standard error where the system gave one).
void report(const qarn_error& e, const char* in) {
  switch (e.kind()) {
    case failure::corrupt: std::printf("File %s is corrupt\n", in); break;
    case failure::too_large: std::printf("File %s must be less than 1.001GB\n", in); break;
    case failure::not_found: std::printf("%s not found\n", in); break;
    case failure::is_directory: std::printf("%s is a directory\n", in); break;
    case failure::changed: std::printf("File %s changed while it was read\n", in); break;
    case failure::system: std::printf("assertion \"%s\" failed: ./util.c:%d\n", e.check(), e.line()); break;
  }
  std::fflush(stdout);
  const bool reason = e.kind() == failure::system || (e.kind() == failure::not_found && e.error_number() != ENOENT);
  if (reason && e.error_number() != 0)
    std::fprintf(stderr, "qarn: %s: %s\n", failed_path.c_str(), std::strerror(e.error_number()));
}

}  // namespace

int qarn_main(int argc, char** argv) {
  if (argc != 4 || std::strlen(argv[1]) != 2 || argv[1][0] != '-' || (argv[1][1] != 'c' && argv[1][1] != 'd')) {
    usage();
    return 1;
  }
  // A closed standard output must not end a run that can still write its file.
  signal(SIGPIPE, SIG_IGN);
  on_interrupts_remove_temp();
  on_bus_error_replace_mapping();
  heap_on_huge_pages();
  const char* in = argv[2];
  const char* out = argv[3];
  try {
    if (argv[1][1] == 'c') compress_file(in, out);
    else decompress_file(in, out);
  } catch (const qarn_error& e) {
    report(e, in);
    return 1;
  } catch (const std::bad_alloc&) {
    std::printf("Not enough memory for %s\n", in);
    std::fflush(stdout);
    return 1;
  }
  return 0;
}

}  // namespace qarn
