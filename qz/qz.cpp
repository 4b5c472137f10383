// qz.cpp — the qz program: qarn's files with the conventions of the usual command-line compressors.
//
// Every byte of compression, decompression and mode choice goes through the C interface of libqarn.h, so that a
// file qz writes is the one `qarn -c` writes for the same input and mode, and each program reads the other's files.
// The library works on whole buffers: each input is read whole, coded in one call, and its output written whole.
#include "libqarn.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

// ---- Options. ----

enum class action { compress, decompress, test, list };

struct options {
  action what = action::compress;
  bool to_stdout = false;  // -c
  std::string output;      // -o: the one output's name
  bool force = false;
  bool remove_input = false;  // --rm
  bool quiet = false;
  bool verbose = false;
  bool mode_given = false;
  qarn_mode mode = QARN_MODE_STORED;
};

options opt;
const char* const stdin_name = "(stdin)";

// ---- Messages. ----

// The progress line, when one is on the screen, is erased before any message so that the two never mix.
void erase_progress_line();

// One line on standard error: "qz: " and the message.
void message(const char* format, va_list args) {
  erase_progress_line();
  std::fputs("qz: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
}

void error(const char* format, ...) __attribute__((format(printf, 1, 2)));
void error(const char* format, ...) {
  va_list args;
  va_start(args, format);
  message(format, args);
  va_end(args);
}

// Warnings say that something was done less than fully (times not kept, an option ignored); -q silences them.
void warning(const char* format, ...) __attribute__((format(printf, 1, 2)));
void warning(const char* format, ...) {
  if (opt.quiet) return;
  va_list args;
  va_start(args, format);
  message(format, args);
  va_end(args);
}

void usage(FILE* to) {
  std::fprintf(to,
               "Usage: qz [OPTION]... [FILE]...\n"
               "       unqz [OPTION]... [FILE.qz]...\n"
               "Compress each FILE into FILE.qz, or restore it with -d, in the files of qarn (%s).\n"
               "With no FILE, or when FILE is -, read standard input and write standard output.\n"
               "\n"
               "  -d, --decompress   restore (the default when run as unqz)\n"
               "  -c, --stdout       write to standard output and keep the inputs\n"
               "  -o, --output=FILE  write the one output to FILE\n"
               "  -f, --force        replace existing outputs; write compressed data to a terminal\n"
               "  -k, --keep         keep the inputs (the default)\n"
               "      --rm           remove each input once its output is written\n"
               "      --mode=MODE    compress in MODE: text, image, mixed or stored\n"
               "                     (by default the mode suits the input's content)\n"
               "  -t, --test         decode each file and discard the result; the format carries no\n"
               "                     checksum, so only damage that breaks a file's structure is found\n"
               "  -l, --list         list each file's mode, sizes and ratio\n"
               "  -v, --verbose      print a summary of each file\n"
               "  -q, --quiet        print no warnings\n"
               "  -h, --help         print this help and exit\n"
               "  -V, --version      print the versions and exit\n"
               "\n"
               "Short options may be combined (-dc); -- ends the options.\n"
               "Exit status: 0 on success, 1 on any error.\n",
               qarn_format_version());
}

void version() {
  std::printf("qz %s\n", qarn_version_string());
  std::printf("libqarn %s\n", qarn_version_string());
  std::printf("format: %s\n", qarn_format_version());
}

// ---- The temporary file, removed on interruption. ----

// The name of the temporary output while one exists, for the signal handler: a fixed array, since the handler may
// touch nothing else.
char temp_name[4096];
volatile sig_atomic_t temp_named = 0;

void remove_temp_and_die(int sig) {
  if (temp_named) unlink(temp_name);
  signal(sig, SIG_DFL);
  raise(sig);
}

void name_temp(const std::string& path) {
  temp_named = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  std::snprintf(temp_name, sizeof temp_name, "%s", path.c_str());
  std::atomic_signal_fence(std::memory_order_seq_cst);
  temp_named = 1;
}

void forget_temp() { temp_named = 0; }

void on_interrupts_remove_temp() {
  struct sigaction action {};
  action.sa_handler = remove_temp_and_die;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old {};
    // A signal the caller ignores stays ignored (as under nohup).
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    sigaction(sig, &action, nullptr);
  }
}

// ---- Buffers. ----

struct free_deleter {
  void operator()(uint8_t* p) const { std::free(p); }
};

// Bytes from malloc: a gigabyte must not be zeroed before it is filled.
struct buffer {
  std::unique_ptr<uint8_t, free_deleter> data;
  size_t size = 0;
};

// A failure of one file: its message is printed, and the next file goes on.
struct file_failure {};

// ---- Progress. ----

// A line on a terminal's standard error while the work is long: the bytes read, the share of the input when its
// size is known, the stage and the mode. The library codes a buffer in one call, so while it works the line
// shows the stage alone.
class progress {
 public:
  static constexpr uint64_t large_input = uint64_t{16} << 20;

  progress(const std::string& name, uint64_t total, bool total_known) : name_(name), total_(total), known_(total_known) {
    if (!isatty(STDERR_FILENO) || opt.quiet) return;
    start_ = std::chrono::steady_clock::now();
    if (known_ && total_ >= large_input) show();  // a long read is announced at once
    thread_ = std::thread([this] { run(); });
  }
  ~progress() { stop(); }
  progress(const progress&) = delete;
  progress& operator=(const progress&) = delete;

  void read_so_far(uint64_t n) { read_.store(n, std::memory_order_relaxed); }
  void stage(const char* what) { stage_.store(what, std::memory_order_relaxed); }
  void mode(qarn_mode m) { mode_.store(qarn_mode_name(m), std::memory_order_relaxed); }

  void stop() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
    erase_progress_line();
  }

  static std::atomic<bool> on_screen;

 private:
  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, std::chrono::milliseconds(250), [this] { return stopping_; })) {
      const auto elapsed = std::chrono::steady_clock::now() - start_;
      if (elapsed < std::chrono::seconds(1) && !(known_ && total_ >= large_input)) continue;
      show();
    }
  }

  void show() {
    char line[512];
    const uint64_t n = read_.load(std::memory_order_relaxed);
    int k = std::snprintf(line, sizeof line, "\r\033[Kqz: %.200s: %.1f MB read", name_.c_str(), n / 1e6);
    if (known_ && total_ > 0 && k > 0 && size_t(k) < sizeof line)
      k += std::snprintf(line + k, sizeof line - size_t(k), " (%d%%)", int(n * 100 / total_));
    if (k > 0 && size_t(k) < sizeof line)
      k += std::snprintf(line + k, sizeof line - size_t(k), ", %s", stage_.load(std::memory_order_relaxed));
    if (const char* m = mode_.load(std::memory_order_relaxed); m && k > 0 && size_t(k) < sizeof line)
      std::snprintf(line + k, sizeof line - size_t(k), ", %s mode", m);
    if (on_screen && last_ == line) return;  // an unchanged line is not redrawn
    last_ = line;
    std::fputs(line, stderr);
    std::fflush(stderr);
    on_screen = true;
  }

  std::string name_;
  std::string last_;
  uint64_t total_;
  bool known_;
  std::atomic<uint64_t> read_{0};
  std::atomic<const char*> stage_{"reading"};
  std::atomic<const char*> mode_{nullptr};
  std::chrono::steady_clock::time_point start_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
};

std::atomic<bool> progress::on_screen{false};

void erase_progress_line() {
  if (progress::on_screen.exchange(false)) {
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
  }
}

// ---- Input. ----

// An opened input: a named regular file or standard input.
struct input {
  std::string name;  // as messages print it
  int fd = -1;
  bool named = false;
  struct stat st {};
  ~input() {
    if (named && fd >= 0) close(fd);
  }
};

// Opens a named input. Directories, devices, FIFOs and sockets are skipped: they are checked before the open
// (opening a device or a FIFO may block or act) and again after it, on the file actually opened.
bool open_input(const std::string& path, input& in) {
  in.name = path;
  in.named = true;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    error("%s: %s", path.c_str(), std::strerror(errno));
    return false;
  }
  auto refuse_kind = [&](const struct stat& s) {
    if (S_ISDIR(s.st_mode)) {
      error("%s: is a directory -- skipped", path.c_str());
      return true;
    }
    if (!S_ISREG(s.st_mode)) {
      error("%s: not a regular file -- skipped", path.c_str());
      return true;
    }
    return false;
  };
  if (refuse_kind(st)) return false;
  in.fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (in.fd < 0) {
    error("%s: %s", path.c_str(), std::strerror(errno));
    return false;
  }
  if (fstat(in.fd, &in.st) != 0) {
    error("%s: %s", path.c_str(), std::strerror(errno));
    return false;
  }
  if (refuse_kind(in.st)) return false;
  fcntl(in.fd, F_SETFL, fcntl(in.fd, F_GETFL) & ~O_NONBLOCK);
  return true;
}

void use_stdin(input& in) {
  in.name = stdin_name;
  in.fd = STDIN_FILENO;
  in.named = false;
  if (fstat(STDIN_FILENO, &in.st) != 0) in.st = {};
}

// Reads the whole input; one that reaches QARN_INPUT_LIMIT bytes is refused with `too_large`'s message (no file of
// either direction may be that long). A regular file's size only sizes the buffer: it may grow or shrink while
// it is read.
bool read_input(input& in, buffer& b, qarn_status too_large, progress& shown) {
  const uint64_t limit = QARN_INPUT_LIMIT - 1;  // the longest acceptable input
  size_t capacity = size_t{1} << 16;
  if (S_ISREG(in.st.st_mode) && in.st.st_size >= 0) {
    if (uint64_t(in.st.st_size) > limit) {
      error("%s: %s", in.name.c_str(), qarn_status_string(too_large));
      return false;
    }
    capacity = size_t(in.st.st_size) + 1;  // one more byte sees the end in the same read
  }
  b.data.reset(static_cast<uint8_t*>(std::malloc(capacity)));
  if (!b.data) {
    error("%s: %s", in.name.c_str(), qarn_status_string(QARN_ERROR_OUT_OF_MEMORY));
    return false;
  }
  size_t n = 0;
  for (;;) {
    if (n == capacity) {
      if (n > limit) break;
      size_t grown = capacity * 2;
      if (grown > limit + 1) grown = size_t(limit + 1);
      auto* p = static_cast<uint8_t*>(std::realloc(b.data.get(), grown));
      if (!p) {
        error("%s: %s", in.name.c_str(), qarn_status_string(QARN_ERROR_OUT_OF_MEMORY));
        return false;
      }
      (void)b.data.release();
      b.data.reset(p);
      capacity = grown;
    }
    const size_t want = std::min(capacity - n, size_t{16} << 20);
    const ssize_t k = read(in.fd, b.data.get() + n, want);
    if (k < 0) {
      if (errno == EINTR) continue;
      error("%s: %s", in.name.c_str(), std::strerror(errno));
      return false;
    }
    if (k == 0) break;
    n += size_t(k);
    shown.read_so_far(n);
  }
  if (n > limit) {
    error("%s: %s", in.name.c_str(), qarn_status_string(too_large));
    return false;
  }
  b.size = n;
  return true;
}

// ---- Output. ----

bool write_all(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t k = write(fd, p, std::min(n, size_t{1} << 30));
    if (k < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += k;
    n -= size_t(k);
  }
  return true;
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

std::string directory_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Checks a named output before any work: it must not be the input, and must not exist unless -f.
bool output_allowed(const input& in, const std::string& out) {
  struct stat st {};
  if (lstat(out.c_str(), &st) != 0) return true;
  struct stat target {};
  if (in.named && stat(out.c_str(), &target) == 0 && same_file(target, in.st)) {
    error("%s: input and output are the same file", in.name.c_str());
    return false;
  }
  if (!opt.force) {
    error("%s: already exists; not overwritten (use -f to replace it)", out.c_str());
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    error("%s: is a directory", out.c_str());
    return false;
  }
  return true;
}

// Writes a named output: a temporary file beside it takes the bytes, the input's permission bits and times, and
// is synced to the disk before it is renamed into place, so that the output is either whole or absent. Without -f
// the rename refuses to replace a file that appeared meanwhile.
bool write_output(const input& in, const std::string& out, const uint8_t* data, size_t size) {
  const std::string dir = directory_of(out);
  std::random_device seed;
  int fd = -1;
  std::string temp;
  for (int attempt = 0; attempt < 100 && fd < 0; attempt++) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "/.qz-%08x%08x.tmp", unsigned(seed()), unsigned(seed()));
    temp = dir + suffix;
    name_temp(temp);
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      const int e = errno;
      forget_temp();
      if (e != EEXIST) {
        error("%s: %s", out.c_str(), std::strerror(e));
        return false;
      }
    }
  }
  if (fd < 0) {
    error("%s: %s", out.c_str(), std::strerror(EEXIST));
    return false;
  }
  auto fail = [&](int e) {
    close(fd);
    unlink(temp.c_str());
    forget_temp();
    error("%s: %s", out.c_str(), std::strerror(e));
    return false;
  };
  if (!write_all(fd, data, size)) return fail(errno);
  // The permission bits are those of the input (the usual 0666 less the umask for standard input). The owner is
  // copied where the system allows it, before the bits, so that group permissions never go to another group.
  mode_t mode = 0;
  if (in.named) {
    if ((in.st.st_uid != geteuid() || in.st.st_gid != getegid()) && fchown(fd, in.st.st_uid, in.st.st_gid) != 0)
      (void)!fchown(fd, uint32_t(-1), in.st.st_gid);
    mode = in.st.st_mode & 0777;
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  if (fchmod(fd, mode) != 0) warning("%s: permissions not kept: %s", out.c_str(), std::strerror(errno));
  if (in.named) {
    const struct timespec times[2] = {in.st.st_atim, in.st.st_mtim};
    if (futimens(fd, times) != 0) warning("%s: times not kept: %s", out.c_str(), std::strerror(errno));
  }
  if (fsync(fd) != 0 && errno != EINVAL && errno != EROFS) return fail(errno);
  if (close(fd) != 0) {
    const int e = errno;
    fd = -1;
    unlink(temp.c_str());
    forget_temp();
    error("%s: %s", out.c_str(), std::strerror(e));
    return false;
  }
  int r;
  if (opt.force) {
    r = rename(temp.c_str(), out.c_str());
  } else {
    r = renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, out.c_str(), RENAME_NOREPLACE);
    if (r != 0 && (errno == EINVAL || errno == ENOSYS)) {
      // A file system without the exclusive rename: a hard link cannot replace a file either.
      r = link(temp.c_str(), out.c_str());
      if (r == 0) unlink(temp.c_str());
    }
  }
  if (r != 0) {
    const int e = errno;
    unlink(temp.c_str());
    forget_temp();
    if (e == EEXIST)
      error("%s: already exists; not overwritten (use -f to replace it)", out.c_str());
    else
      error("%s: %s", out.c_str(), std::strerror(e));
    return false;
  }
  forget_temp();
  // The rename itself lasts once the directory is synced.
  const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    (void)fsync(dfd);
    close(dfd);
  }
  return true;
}

bool write_stdout(const uint8_t* data, size_t size) {
  if (!write_all(STDOUT_FILENO, data, size)) {
    error("(stdout): %s", std::strerror(errno));
    return false;
  }
  return true;
}

// ---- One file. ----

bool ends_with_suffix(const std::string& s) { return s.size() >= 3 && s.compare(s.size() - 3, 3, ".qz") == 0; }

std::string base_name(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ratio_text(uint64_t compressed, uint64_t original) {
  if (original == 0) return "-";
  char s[32];
  std::snprintf(s, sizeof s, "%.1f%%", 100.0 * double(compressed) / double(original));
  return s;
}

struct list_totals {
  uint64_t compressed = 0, original = 0;
  int files = 0;
};

void list_line(const char* mode, const std::string& compressed, const std::string& original,
               const std::string& ratio, const std::string& name) {
  std::printf("%-8s %14s %14s %7s  %s\n", mode, compressed.c_str(), original.c_str(), ratio.c_str(), name.c_str());
}

// One line of the listing, from the file's header.
// One line of the listing, from what the header said (s, mode, original) and the file's length.
bool list_sizes(const std::string& name, qarn_status s, qarn_mode mode, uint64_t size, uint64_t original,
                list_totals& totals) {
  if (s != QARN_OK) {
    error("%s: %s", name.c_str(), qarn_status_string(s));
    return false;
  }
  list_line(qarn_mode_name(mode), std::to_string(size), std::to_string(original), ratio_text(size, original), name);
  totals.compressed += size;
  totals.original += original;
  totals.files++;
  return true;
}

bool list_file(const std::string& name, const uint8_t* file, size_t size, list_totals& totals) {
  qarn_mode mode = QARN_MODE_STORED;
  uint64_t original = 0;
  qarn_status s = qarn_file_mode(file, size, &mode);
  if (s == QARN_OK) s = qarn_decompressed_size(file, size, &original);
  return list_sizes(name, s, mode, size, original, totals);
}

// Compresses, restores, tests or lists one input ("-" for standard input). Returns false after a failure, whose
// message has been printed.
bool process(const std::string& arg, list_totals& totals) {
  input in;
  const bool from_stdin = arg == "-";
  const bool decoding = opt.what != action::compress;
  if (from_stdin) {
    use_stdin(in);
    if (decoding && !opt.force && isatty(STDIN_FILENO)) {
      error("compressed data not read from a terminal (use -f to force)");
      return false;
    }
  } else if (!open_input(arg, in)) {
    return false;
  }

  // Where the result goes: standard output, or a named file.
  bool to_stdout = false;
  std::string out;
  if (opt.what == action::compress || opt.what == action::decompress) {
    if (opt.to_stdout || opt.output == "-" || (from_stdin && opt.output.empty())) {
      to_stdout = true;
    } else if (!opt.output.empty()) {
      out = opt.output;
    } else if (opt.what == action::compress) {
      if (ends_with_suffix(arg) && !opt.force) {
        error("%s: already has the .qz suffix -- unchanged (use -f to compress it again)", arg.c_str());
        return false;
      }
      out = arg + ".qz";
    } else {
      if (!ends_with_suffix(arg) || base_name(arg).size() <= 3) {
        error("%s: name does not end in .qz -- skipped (use -c or -o to restore it)", arg.c_str());
        return false;
      }
      out = arg.substr(0, arg.size() - 3);
    }
    if (to_stdout) {
      if (opt.what == action::compress && !opt.force && isatty(STDOUT_FILENO)) {
        error("compressed data not written to a terminal (use -f to force)");
        return false;
      }
      struct stat st {};
      if (S_ISREG(in.st.st_mode) && fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode) && same_file(st, in.st)) {
        error("%s: input and output are the same file", in.name.c_str());
        return false;
      }
    } else if (out == arg) {
      error("%s: input and output are the same file", in.name.c_str());
      return false;
    } else if (!output_allowed(in, out)) {
      return false;
    }
  }

  if (opt.what == action::list && in.named && S_ISREG(in.st.st_mode) && in.st.st_size > 64 &&
      uint64_t(in.st.st_size) < QARN_INPUT_LIMIT - 1) {
    // A listing needs only the header (at most 32 bytes in every mode; a stored file's length is its own length
    // less the four bytes of the mode), so only that much is read: a mapping of the whole file would fault, and
    // end the program, if the file were cut short meanwhile.
    uint8_t head[64];
    if (pread(in.fd, head, sizeof head, 0) == ssize_t(sizeof head)) {
      const uint64_t size = uint64_t(in.st.st_size);
      qarn_mode mode;
      uint64_t original = 0;
      qarn_status s = qarn_file_mode(head, sizeof head, &mode);
      if (s == QARN_OK && mode == QARN_MODE_STORED)
        original = size - 4;
      else if (s == QARN_OK)
        s = qarn_decompressed_size(head, sizeof head, &original);
      return list_sizes(in.name, s, mode, size, original, totals);
    }
  }

  const auto started = std::chrono::steady_clock::now();
  progress shown(in.name, uint64_t(in.st.st_size), S_ISREG(in.st.st_mode));
  buffer data;
  if (!read_input(in, data, decoding ? QARN_ERROR_CORRUPT : QARN_ERROR_INPUT_TOO_LARGE, shown)) return false;

  if (opt.what == action::list) {
    shown.stop();
    return list_file(in.name, data.data.get(), data.size, totals);
  }

  buffer result;
  qarn_mode mode = QARN_MODE_STORED;
  uint64_t original = 0, compressed = 0;
  if (opt.what == action::compress) {
    mode = opt.mode_given ? opt.mode : qarn_mode_for_content(data.data.get(), data.size);
    shown.mode(mode);
    shown.stage("compressing");
    const size_t bound = qarn_compress_bound(data.size);
    result.data.reset(static_cast<uint8_t*>(std::malloc(bound ? bound : 1)));
    if (!result.data) {
      error("%s: %s", in.name.c_str(), qarn_status_string(QARN_ERROR_OUT_OF_MEMORY));
      return false;
    }
    const qarn_status s = qarn_compress(mode, data.data.get(), data.size, result.data.get(), bound, &result.size);
    if (s != QARN_OK) {
      error("%s: %s", in.name.c_str(), qarn_status_string(s));
      return false;
    }
    // The mode the file says (after the library's fallbacks) is the one reported.
    (void)qarn_file_mode(result.data.get(), result.size, &mode);
    original = data.size;
    compressed = result.size;
  } else {
    qarn_mode file_mode;
    uint64_t claimed = 0;
    qarn_status s = qarn_file_mode(data.data.get(), data.size, &file_mode);
    if (s == QARN_OK) s = qarn_decompressed_size(data.data.get(), data.size, &claimed);
    if (s == QARN_OK && claimed >= QARN_INPUT_LIMIT) s = QARN_ERROR_CORRUPT;
    if (s != QARN_OK) {
      shown.stop();
      error("%s: %s", in.name.c_str(), qarn_status_string(s));
      return false;
    }
    mode = file_mode;
    compressed = data.size;
    original = claimed;
    shown.mode(mode);
    shown.stage(opt.what == action::test ? "testing" : "decompressing");
    // The header's length only sizes the buffer; the library checks it against the data.
    const size_t capacity = size_t(claimed);
    result.data.reset(static_cast<uint8_t*>(std::malloc(capacity ? capacity : 1)));
    if (!result.data) {
      error("%s: %s", in.name.c_str(), qarn_status_string(QARN_ERROR_OUT_OF_MEMORY));
      return false;
    }
    s = qarn_decompress(data.data.get(), data.size, result.data.get(), capacity, &result.size);
    if (s == QARN_ERROR_OUTPUT_TOO_SMALL) s = QARN_ERROR_CORRUPT;  // the header claimed a wrong length
    if (s != QARN_OK) {
      shown.stop();
      error("%s: %s", in.name.c_str(), qarn_status_string(s));
      return false;
    }
    original = result.size;
  }
  data.data.reset();  // the input's memory goes back before the output is written

  if (opt.what == action::test) {
    shown.stop();
    if (opt.verbose)
      std::printf("%s: OK (%s mode; no checksum: only damage that breaks the structure is found)\n",
                  in.name.c_str(), qarn_mode_name(mode));
    else
      std::printf("%s: OK\n", in.name.c_str());
    std::fflush(stdout);
    return true;
  }

  shown.stage("writing");
  const bool written = to_stdout ? write_stdout(result.data.get(), result.size)
                                 : write_output(in, out, result.data.get(), result.size);
  shown.stop();
  if (!written) return false;

  if (opt.verbose) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const uint64_t from = opt.what == action::compress ? original : compressed;
    const uint64_t to = opt.what == action::compress ? compressed : original;
    std::fprintf(stderr, "%s: %llu -> %llu bytes, %s, %.1f MB/s, %s mode%s%s\n", in.name.c_str(),
                 static_cast<unsigned long long>(from), static_cast<unsigned long long>(to),
                 ratio_text(compressed, original).c_str(), seconds > 0 ? double(original) / 1e6 / seconds : 0.0,
                 qarn_mode_name(mode), to_stdout ? "" : " -> ", to_stdout ? "" : out.c_str());
  }

  // An input goes only with --rm, only once its output is in place, and never when the output went to standard
  // output (-c keeps inputs).
  if (opt.remove_input && in.named && !to_stdout) {
    if (unlink(arg.c_str()) != 0) {
      error("%s: not removed: %s", arg.c_str(), std::strerror(errno));
      return false;
    }
  }
  return true;
}

// ---- The command line. ----

bool parse_mode(const std::string& word) {
  static const struct {
    const char* word;
    qarn_mode mode;
  } modes[] = {{"text", QARN_MODE_TEXT}, {"image", QARN_MODE_IMAGE}, {"mixed", QARN_MODE_MIXED},
               {"stored", QARN_MODE_STORED}};
  for (const auto& m : modes)
    if (word == m.word) {
      opt.mode = m.mode;
      opt.mode_given = true;
      return true;
    }
  error("unknown mode '%s' (text, image, mixed or stored)", word.c_str());
  return false;
}

[[noreturn]] void bad_usage(const char* format, const char* what) {
  error(format, what);
  usage(stderr);
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  // A standard stream that was closed is opened on /dev/null, so that no file qz opens takes its number and
  // receives what was meant for the stream.
  for (int fd = 0; fd <= 2; fd++)
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      const int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
      if (null < 0) return 1;
      if (null != fd) {
        dup2(null, fd);
        close(null);
      }
    }
  on_interrupts_remove_temp();
  if (argc > 0 && base_name(argv[0]) == "unqz") opt.what = action::decompress;

  std::vector<std::string> files;
  bool options_end = false;
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    if (options_end || a == "-" || a.empty() || a[0] != '-') {
      files.push_back(a);
      continue;
    }
    if (a == "--") {
      options_end = true;
      continue;
    }
    if (a.compare(0, 2, "--") == 0) {
      const size_t eq = a.find('=');
      const std::string name = a.substr(0, eq);
      const bool has_value = eq != std::string::npos;
      std::string value = has_value ? a.substr(eq + 1) : "";
      auto take_value = [&]() {
        if (has_value) return;
        if (i + 1 >= argc) bad_usage("option '%s' needs a value", name.c_str());
        value = argv[++i];
      };
      auto no_value = [&]() {
        if (has_value) bad_usage("option '%s' takes no value", name.c_str());
      };
      if (name == "--decompress" || name == "--uncompress") no_value(), opt.what = action::decompress;
      else if (name == "--stdout" || name == "--to-stdout") no_value(), opt.to_stdout = true;
      else if (name == "--force") no_value(), opt.force = true;
      else if (name == "--keep") no_value();
      else if (name == "--rm") no_value(), opt.remove_input = true;
      else if (name == "--test") no_value(), opt.what = action::test;
      else if (name == "--list") no_value(), opt.what = action::list;
      else if (name == "--verbose") no_value(), opt.verbose = true;
      else if (name == "--quiet") no_value(), opt.quiet = true;
      else if (name == "--help") {
        no_value();
        usage(stdout);
        return 0;
      } else if (name == "--version") {
        no_value();
        version();
        return 0;
      } else if (name == "--output") {
        take_value();
        opt.output = value;
      } else if (name == "--mode") {
        take_value();
        if (!parse_mode(value)) {
          usage(stderr);
          return 1;
        }
      } else {
        bad_usage("unknown option '%s'", a.c_str());
      }
      continue;
    }
    // Combined short options: -dc, -kvf, -oFILE, -o FILE.
    for (size_t j = 1; j < a.size(); j++) {
      switch (a[j]) {
        case 'd': opt.what = action::decompress; break;
        case 'c': opt.to_stdout = true; break;
        case 'f': opt.force = true; break;
        case 'k': break;
        case 't': opt.what = action::test; break;
        case 'l': opt.what = action::list; break;
        case 'v': opt.verbose = true; break;
        case 'q': opt.quiet = true; break;
        case 'h': usage(stdout); return 0;
        case 'V': version(); return 0;
        case 'o':
          if (j + 1 < a.size()) {
            opt.output = a.substr(j + 1);
          } else {
            if (i + 1 >= argc) bad_usage("option '%s' needs a value", "-o");
            opt.output = argv[++i];
          }
          j = a.size();
          break;
        default: {
          const char bad[2] = {a[j], 0};
          bad_usage("unknown option '-%s'", bad);
        }
      }
    }
  }
  if (files.empty()) files.push_back("-");

  if (!opt.output.empty()) {
    if (opt.what == action::test || opt.what == action::list) {
      error("-o names an output, which -t and -l do not write");
      return 1;
    }
    if (opt.to_stdout) {
      error("-c and -o cannot be used together");
      return 1;
    }
    if (files.size() > 1) {
      error("-o names one output, but %zu files were given", files.size());
      return 1;
    }
  }
  if (opt.remove_input && opt.to_stdout) warning("--rm is ignored with -c: the inputs are kept");

  list_totals totals;
  if (opt.what == action::list) list_line("mode", "compressed", "uncompressed", "ratio", "name");
  bool ok = true;
  for (const std::string& f : files) {
    if (!process(f, totals)) ok = false;
    std::fflush(stdout);
  }
  if (opt.what == action::list && totals.files > 1)
    list_line("", std::to_string(totals.compressed), std::to_string(totals.original),
              ratio_text(totals.compressed, totals.original), "(total)");
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    error("(stdout): %s", std::strerror(errno));
    ok = false;
  }
  return ok ? 0 : 1;
}
