// qz.cpp — the qz program: the .qz stream with the conventions of the usual command-line compressors (suffixes,
// pipes, -d/-c/-o/-f/--rm, -t, -l, a mode chosen from the content of each block).
//
// qz writes the .qz stream (docs/format.md, section 8) through the library's streaming calls: frames whose blocks
// are each one qarn file with the checksum of what it restores, of any size, written and read a block at a time in
// memory bounded by the block size, and that concatenate (`qz -c a b > ab.qz`, `qz -c b >> a.qz`). With
// --format=qarn it writes instead the plain files of the qarn program, through the buffer layer that `qarn -c`
// uses, so that `qarn -d` reads them; those cannot be joined. It reads both, telling a plain file by its first four
// bytes. The files are the file layer's, shared with qarn; what qz does differently is said in its output rule.
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
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "fileio.h"
#include "libqarn.h"
#include "qarn.h"
#include "stream.h"

namespace {

// ---- Options. ----

enum class action { compress, decompress, test, list };

// What compression writes: the .qz stream, or the plain file of the qarn program.
enum class format { stream, plain };

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
  format writes = format::stream;  // --format
  uint32_t block_size = 0;         // --block-size; 0: the library's default
};

options opt;

// Bytes after a whole plain file.
struct trailing_data {};

// A streaming call that failed, with its status.
struct stream_failure {
  qarn_status status;
};

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
               "Compress each FILE into FILE.qz, or restore it with -d. qz writes the .qz stream:\n"
               "blocks with checksums, any size, and streams that may be joined (qz -c a b > ab.qz).\n"
               "With no FILE, or when FILE is -, read standard input and write standard output.\n"
               "\n"
               "  -d, --decompress   restore (the default when run as unqz); streams and the plain\n"
               "                     files of qarn (%s) alike\n"
               "  -c, --stdout       write to standard output and keep the inputs\n"
               "  -o, --output=FILE  write the one output to FILE\n"
               "  -f, --force        replace existing outputs; write compressed data to a terminal\n"
               "  -k, --keep         keep the inputs (the default)\n"
               "      --rm           remove each input once its output is written\n"
               "      --mode=MODE    compress in MODE: text, image, mixed or stored\n"
               "                     (by default each block's mode suits its content)\n"
               "      --block-size=SIZE  cut the input into blocks of SIZE bytes (K, M, G: KiB, MiB,\n"
               "                     GiB; 1 to 256M; default 32M): larger blocks compress better and\n"
               "                     take more memory\n"
               "      --format=FORMAT  write FORMAT: qz, the stream (the default), or qarn, the plain\n"
               "                     file that qarn -d reads (one input under 1.001 GB; no checksum,\n"
               "                     and such files cannot be joined)\n"
               "  -t, --test         decode each file, verify its checksums and discard the result\n"
               "  -l, --list         list each file's modes, sizes, ratio and checksum; with -v,\n"
               "                     each frame and block as well\n"
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
  std::printf("stream: .qz version %d\n", int(qarn::stream_version));
  std::printf("format: %s\n", qarn_format_version());
}

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

// ---- Files. ----

using fileio::failure;
using fileio::file_error;

// qz's outputs, as the usual compressors treat them: an existing file (or a symbolic link) is replaced only with
// -f, and a link is replaced by a regular file with its target left alone; the output keeps the input's owner and
// times, and its directory is synced before an input is removed.
fileio::output_policy output_rule() {
  fileio::output_policy p;
  p.follow_links = false;
  p.replace_existing = opt.force;
  p.keep_owner_and_times = true;
  p.always_sync_directory = true;
  return p;
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Checks a named output before any work: it must not be the input, and must not exist unless -f.
bool output_allowed(const fileio::input_file& in, const std::string& out) {
  struct stat st {};
  if (lstat(out.c_str(), &st) != 0) return true;
  struct stat target {};
  if (in.named() && stat(out.c_str(), &target) == 0 && same_file(target, in.status())) {
    error("%s: input and output are the same file", in.name().c_str());
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

// The message of a file operation that failed. `decoding`: an input too long for any compressed file is damaged.
void report(const file_error& e, bool decoding) {
  const char* name = e.path().c_str();
  switch (e.what_failed()) {
    case failure::input_is_directory: error("%s: is a directory -- skipped", name); break;
    case failure::input_not_regular: error("%s: not a regular file -- skipped", name); break;
    case failure::input_too_large:
    case failure::input_past_limit:
      error("%s: %s", name, qarn_status_string(decoding ? QARN_ERROR_CORRUPT : QARN_ERROR_INPUT_TOO_LARGE));
      break;
    case failure::input_changed: error("File %s changed while it was read", name); break;
    case failure::output_exists: error("%s: already exists; not overwritten (use -f to replace it)", name); break;
    case failure::open_input:
    case failure::read_input:
    case failure::open_output:
    case failure::write_output: error("%s: %s", name, std::strerror(e.error_number())); break;
  }
}

// Passes the output on and counts it.
class counting_sink final : public qarn::byte_sink {
 public:
  explicit counting_sink(qarn::byte_sink& to) : to_(to) {}
  void write(const uint8_t* p, size_t n) override {
    to_.write(p, n);
    count_ += n;
  }
  uint64_t count() const { return count_; }

 private:
  qarn::byte_sink& to_;
  uint64_t count_ = 0;
};

// ---- What a stream holds, from its headers. ----

// Follows a stream's frames and blocks through their headers alone. Told the stream's bytes in order, in pieces of
// any size, it reads each frame and block header (checked as the decoder checks them) and the first four bytes of
// each block's qarn file (its mode), and passes over everything else: a reader of a file seeks over to_skip()
// bytes instead of reading them. Damage in a header or its lengths throws qarn_error (corrupt), as does a stream
// cut short (finish); bytes after a frame that start no frame throw trailing_data. It does not restore anything,
// so block checksums are not its business.
class stream_walk {
 public:
  // `details`: keep a line per frame and per block (for -lv).
  explicit stream_walk(bool details) : details_(details) {}

  // The next bytes passed over without being looked at (a block's body and checksum, a skippable frame's
  // contents, a frame checksum).
  uint64_t to_skip() const { return skip_; }
  // The next n <= to_skip() bytes were passed over.
  void skip(uint64_t n) {
    skip_ -= n;
    offset_ += n;
  }
  // The bytes the next header still needs (for a reader that reads just those): at least 1 when nothing is to be
  // skipped.
  size_t wanted() const { return want_ - have_; }

  void take(const uint8_t* p, size_t n) {
    while (n > 0) {
      if (skip_ > 0) {
        const size_t k = static_cast<size_t>(std::min<uint64_t>(skip_, n));
        skip(k);
        p += k;
        n -= k;
        continue;
      }
      if (have_ == 0) start_ = offset_;
      const size_t k = std::min(want_ - have_, n);
      std::memcpy(head_ + have_, p, k);
      have_ += k;
      offset_ += k;
      p += k;
      n -= k;
      if (have_ == want_) step();
    }
  }

  // The stream ended: it must end between frames, after one frame at least; a few bytes there are trailing data.
  void finish() {
    if (at_ != part::magic || skip_ > 0 || !seen_frame_end_) qarn::corrupt();
    if (have_ == 0) return;
    // The start of a magic is a frame cut short; other bytes start none.
    if (qarn::starts_magic(head_, have_)) qarn::corrupt();
    throw qarn::qarn_error(qarn::failure::trailing_data);
  }

  uint64_t compressed() const { return offset_; }
  uint64_t original() const { return original_; }
  // The modes of the blocks in order of first use, joined by '+' ("mixed+text"); "-" when there are none.
  std::string modes() const { return joined(modes_); }
  // The checksums of the frames: "xxh3", "none", or both in order of first use ("xxh3+none").
  std::string checks() const { return joined(checks_); }
  bool all_checked() const { return checks_.size() == 1 && checks_[0] == "xxh3"; }
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  enum class part { magic, frame_header, skippable, block_header, block_mode };

  static std::string joined(const std::vector<std::string>& words) {
    if (words.empty()) return "-";
    std::string s;
    for (const std::string& w : words) s += (s.empty() ? "" : "+") + w;
    return s;
  }
  static void note(std::vector<std::string>& words, const std::string& w) {
    if (std::find(words.begin(), words.end(), w) == words.end()) words.push_back(w);
  }
  void line(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    if (!details_) return;
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    lines_.push_back(text);
  }
  void expect(part next, size_t bytes) {
    at_ = next;
    want_ = bytes;
    have_ = 0;
  }

  // A header is whole in head_.
  void step() {
    using ull = unsigned long long;
    switch (at_) {
      case part::magic: {
        const uint32_t magic = qarn::get_u32(head_);
        if (magic == qarn::frame_magic) {
          at_ = part::frame_header;
          want_ = qarn::frame_header_min;
        } else if (magic == qarn::skippable_magic) {
          at_ = part::skippable;
          want_ = 8;
        } else if (start_ == 0) {
          qarn::corrupt();
        } else {
          throw qarn::qarn_error(qarn::failure::trailing_data);
        }
        return;
      }
      case part::skippable: {
        skip_ = qarn::get_u32(head_ + 4);
        line("  skippable frame at %llu: %llu bytes", ull(start_), ull(skip_) + 8);
        seen_frame_end_ = true;
        expect(part::magic, 4);
        return;
      }
      case part::frame_header: {
        if (qarn::read_frame_header(head_, have_, &frame_) == 0) {
          want_ = qarn::frame_header_max;
          return;
        }
        frame_original_ = frame_blocks_ = 0;
        frame_start_ = start_;
        const bool summed = frame_.flags & qarn::frame_has_block_checksums;
        note(checks_, summed ? "xxh3" : "none");
        if (details_) {
          char content[40] = "not recorded";
          if (frame_.flags & qarn::frame_has_content_size)
            std::snprintf(content, sizeof content, "%llu", ull(frame_.content_size));
          line("  frame at %llu: version %d, block size %u, content size %s, checksums %s", ull(start_),
               int(head_[4]), frame_.block_size, content, summed ? "xxh3" : "none");
        }
        expect(part::block_header, qarn::block_header_size);
        return;
      }
      case part::block_header: {
        block_ = qarn::read_block_header(head_, frame_);
        if (block_.end()) {
          if ((frame_.flags & qarn::frame_has_content_size) && frame_original_ != frame_.content_size)
            qarn::corrupt();
          line("    end at %llu: %llu block%s, %llu -> %llu bytes", ull(start_), ull(frame_blocks_),
               frame_blocks_ == 1 ? "" : "s",
               ull(start_ + qarn::block_header_size - frame_start_ +
                   (frame_.flags & qarn::frame_has_frame_checksum ? qarn::checksum_size : 0)),
               ull(frame_original_));
          skip_ = frame_.flags & qarn::frame_has_frame_checksum ? qarn::checksum_size : 0;
          seen_frame_end_ = true;
          expect(part::magic, 4);
          return;
        }
        block_start_ = start_;
        expect(part::block_mode, qarn::container_header_size);
        return;
      }
      case part::block_mode: {
        const uint32_t mode = qarn::get_u32(head_);
        const char* word = qarn::mode_word(mode);
        if (!word) qarn::corrupt();
        note(modes_, word);
        frame_blocks_++;
        original_ += block_.original;
        frame_original_ += block_.original;
        line("    block at %llu: %s, %u -> %u bytes", ull(block_start_), word, block_.stored, block_.original);
        skip_ = block_.stored - qarn::container_header_size +
                (frame_.flags & qarn::frame_has_block_checksums ? qarn::checksum_size : 0);
        expect(part::block_header, qarn::block_header_size);
        return;
      }
    }
  }

  bool details_;
  part at_ = part::magic;
  uint8_t head_[qarn::frame_header_max];
  size_t want_ = 4, have_ = 0;
  uint64_t skip_ = 0;
  uint64_t offset_ = 0, start_ = 0, frame_start_ = 0, block_start_ = 0;
  qarn::frame_header frame_;
  qarn::block_header block_;
  uint64_t original_ = 0, frame_original_ = 0, frame_blocks_ = 0;
  bool seen_frame_end_ = false;
  std::vector<std::string> modes_, checks_, lines_;
};

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

void list_line(const std::string& modes, const std::string& compressed, const std::string& original,
               const std::string& ratio, const std::string& check, const std::string& name) {
  std::printf("%-10s %14s %14s %7s  %-5s  %s\n", modes.c_str(), compressed.c_str(), original.c_str(), ratio.c_str(),
              check.c_str(), name.c_str());
}

void list_sizes(const std::string& name, const std::string& modes, uint64_t size, uint64_t original,
                const std::string& check, list_totals& totals) {
  list_line(modes, std::to_string(size), std::to_string(original), ratio_text(size, original), check, name);
  totals.compressed += size;
  totals.original += original;
  totals.files++;
}

// A plain qarn file's line, from its header (`head`, its first bytes, up to 64) and its length.
bool list_plain(const std::string& name, const uint8_t* head, size_t head_n, uint64_t size, list_totals& totals) {
  qarn_mode mode;
  uint64_t original = 0;
  qarn_status s = qarn_file_mode(head, head_n, &mode);
  if (s == QARN_OK && mode == QARN_MODE_STORED)
    original = size - qarn::container_header_size;  // the file's own length less the four bytes of the mode
  else if (s == QARN_OK)
    s = qarn_decompressed_size(head, head_n, &original);
  if (s != QARN_OK) {
    error("%s: %s", name.c_str(), qarn_status_string(s));
    return false;
  }
  list_sizes(name, qarn_mode_name(mode), size, original, "none", totals);
  return true;
}

// A stream's line (and with -v its frames and blocks), from its headers: a file's are read where they stand and
// its block bodies are passed over; a pipe is read through. The first four bytes are in head.
bool list_stream(fileio::input_file& in, const std::string& name, const uint8_t* head, list_totals& totals) {
  stream_walk walk(opt.verbose);
  walk.take(head, 4);
  if (in.sized()) {
    const uint64_t size = static_cast<uint64_t>(in.size());
    uint64_t at = 4;
    uint8_t buf[qarn::frame_header_max];
    while (at < size) {
      if (const uint64_t k = std::min(walk.to_skip(), size - at)) {
        walk.skip(k);
        at += k;
        continue;
      }
      const size_t want = static_cast<size_t>(std::min<uint64_t>(walk.wanted(), size - at));
      const ssize_t got = pread(in.fd(), buf, want, static_cast<off_t>(at));
      if (got < 0) throw file_error(failure::read_input, in.name(), errno);
      if (got == 0) break;  // cut short since it was opened
      walk.take(buf, static_cast<size_t>(got));
      at += static_cast<uint64_t>(got);
    }
  } else {
    qarn::byte_buffer buf(size_t{1} << 16);
    while (const size_t k = in.read_full(buf.data(), buf.size())) walk.take(buf.data(), k);
  }
  walk.finish();
  list_sizes(name, walk.modes(), walk.compressed(), walk.original(), walk.checks(), totals);
  for (const std::string& l : walk.lines()) std::printf("%s\n", l.c_str());
  return true;
}

// Lists one input: a plain qarn file from its header, a stream from its frame and block headers.
bool list(fileio::input_file& in, const std::string& name, list_totals& totals) {
  uint8_t head[64];
  if (in.sized()) {
    // Only the headers are read: a mapping of the whole file would fault if the file were cut short meanwhile.
    const size_t n = static_cast<size_t>(std::min<int64_t>(in.size(), sizeof head));
    const ssize_t got = pread(in.fd(), head, n, 0);
    if (got < 0) throw file_error(failure::read_input, in.name(), errno);
    if (got < 4) qarn::corrupt();
    if (qarn::starts_plain_file(head)) return list_plain(name, head, static_cast<size_t>(got), uint64_t(in.size()), totals);
    return list_stream(in, name, head, totals);
  }
  if (in.read_full(head, 4) < 4) qarn::corrupt();
  if (!qarn::starts_plain_file(head)) return list_stream(in, name, head, totals);
  fileio::whole_input file(in, QARN_INPUT_LIMIT - 1, false, head, 4);
  return list_plain(name, file.data(), std::min<size_t>(file.size(), 64), file.size(), totals);
}

// What one input became.
struct outcome {
  std::string modes;  // the mode of a plain file; a stream's, joined by '+', when they were followed (-v)
  uint64_t original = 0, compressed = 0;
  bool stream = false;
  bool checked = false;  // a stream whose every frame carries checksums (all of them verified)
};

// The settings of qz's streams: the mode given or each block's own, the block size given or the default,
// checksums, and every processor.
struct stream_params {
  qarn_params* p = qarn_params_create();
  stream_params() {
    if (!p) throw std::bad_alloc();
    qarn_params_set(p, QARN_PARAM_THREADS, 0);
    qarn_params_set(p, QARN_PARAM_MODE, opt.mode_given ? static_cast<int64_t>(opt.mode) : -1);
    qarn_params_set(p, QARN_PARAM_CHECKSUM, 1);
    if (opt.block_size) qarn_params_set(p, QARN_PARAM_BLOCK_SIZE, opt.block_size);
  }
  ~stream_params() { qarn_params_free(p); }
  stream_params(const stream_params&) = delete;
  stream_params& operator=(const stream_params&) = delete;
  uint32_t block_size() const {
    int64_t v = QARN_DEFAULT_BLOCK_SIZE;
    qarn_params_get(p, QARN_PARAM_BLOCK_SIZE, &v);
    return static_cast<uint32_t>(v);
  }
};

// Compresses the input into out as a stream of one frame, a block at a time: a file from its mapping (each block
// coded where it lies, its pages let go once coded), a pipe a block at a time; each block is coded straight into
// an output window that is written out whole.
outcome compress_stream(fileio::input_file& in, qarn::byte_sink& out, progress& shown) {
  outcome o;
  o.stream = true;
  counting_sink counted(out);
  shown.stage("compressing");
  const stream_params params;
  std::unique_ptr<qarn_cstream, void (*)(qarn_cstream*)> stream(qarn_cstream_create(params.p), qarn_cstream_free);
  if (!stream) throw std::bad_alloc();
  if (in.sized()) qarn_cstream_set_content_size(stream.get(), static_cast<uint64_t>(in.size()));
  qarn::byte_buffer window(qarn_cstream_out_size(params.p));
  std::unique_ptr<stream_walk> walk = opt.verbose ? std::make_unique<stream_walk>(false) : nullptr;
  fileio::windowed_input src(in, params.block_size(), true);
  for (;;) {
    src.fill();
    qarn_in_buffer from{src.data(), src.size(), 0};
    qarn_out_buffer to{window.data(), window.size(), 0};
    const qarn_end_directive end = src.complete() ? QARN_END : QARN_CONTINUE;
    size_t pending = 0;
    const qarn_status s = qarn_compress_stream(stream.get(), &to, &from, end, &pending);
    src.take(from.pos);
    if (s != QARN_OK) {
      src.check_unchanged();  // a failure over a changed input is that change
      throw stream_failure{s};
    }
    if (to.pos) {
      if (walk) walk->take(window.data(), to.pos);
      counted.write(window.data(), to.pos);
    }
    if (end == QARN_END && pending == 0) break;
  }
  src.check_unchanged();
  o.original = src.taken();
  o.compressed = counted.count();
  if (walk) o.modes = walk->modes();
  return o;
}

// Compresses the input into out as one plain qarn file: stored mode is a streamed copy; the other modes take the
// whole input at once (mapped when it is a regular file), in the mode given or the one its content suggests.
outcome compress_plain(fileio::input_file& in, qarn::byte_sink& out, progress& shown) {
  outcome o;
  counting_sink counted(out);
  shown.stage("compressing");
  qarn_mode mode = QARN_MODE_STORED;
  if (opt.mode_given && opt.mode == QARN_MODE_STORED) {
    shown.mode(QARN_MODE_STORED);
    uint8_t head[qarn::container_header_size];
    qarn::put_u32(head, qarn::mode_stored);
    counted.write(head, sizeof head);
    try {
      o.original = fileio::copy_rest(in, counted, 0, qarn::stored_input_limit);
    } catch (const file_error& e) {
      if (e.what_failed() == failure::input_past_limit) throw qarn::qarn_error(qarn::failure::too_large);
      throw;
    }
  } else {
    fileio::whole_input data(in, qarn::input_size_limit - 1, false);
    const uint32_t chosen = opt.mode_given ? static_cast<uint32_t>(opt.mode) : qarn::mode_for_content(data.data(), data.size());
    shown.mode(static_cast<qarn_mode>(chosen));
    uint32_t written;
    try {
      written = qarn::compress_to(chosen, data.data(), data.size(), counted, [&data] { data.let_pages_go(); });
    } catch (...) {
      data.check_unchanged();  // a failure over a changed input is that change
      throw;
    }
    data.check_unchanged();
    o.original = data.size();
    mode = static_cast<qarn_mode>(written);  // after the library's fallbacks
  }
  o.modes = qarn_mode_name(mode);
  o.compressed = counted.count();
  return o;
}

// Restores a plain qarn file, whose first four bytes are in head, into out: a stored file is a streamed copy, the
// others are read whole and decoded into out as they are restored.
outcome decompress_plain(fileio::input_file& in, const uint8_t* head, qarn::byte_sink& out, progress& shown) {
  outcome o;
  counting_sink counted(out);
  const uint32_t mode = qarn::get_u32(head);
  o.modes = qarn_mode_name(static_cast<qarn_mode>(mode));
  shown.mode(static_cast<qarn_mode>(mode));
  const int64_t limit = qarn::file_length_limit(mode);
  if (in.sized() && in.size() >= limit) qarn::corrupt();
  try {
    if (mode == qarn::mode_stored) {
      o.compressed = fileio::copy_rest(in, counted, qarn::container_header_size, static_cast<uint64_t>(limit - 1));
    } else {
      fileio::whole_input file(in, static_cast<uint64_t>(limit - 1), true, head, qarn::container_header_size);
      o.compressed = file.size();
      // Another file (or anything else) after this one would be dropped, or taken for damage: refused as such.
      if (qarn::file_extent(file.data(), file.size()) < file.size()) throw trailing_data();
      qarn::decompress_in_place(file.writable_data(), file.size(), counted);
      file.check_unchanged();
    }
  } catch (const file_error& e) {
    if (e.what_failed() == failure::input_past_limit) qarn::corrupt();
    throw;
  }
  o.original = counted.count();
  return o;
}

// Restores a stream, whose first four bytes are in head, into out: a file a default block size at a time, a pipe a
// megabyte at a time. Into a named file (a temporary one until the end, dropped on any failure) or nowhere (-t),
// `through`, each block's bytes are written as they are decoded and its checksum verified at its end, as qarn -d
// writes a plain file. Otherwise (standard output) each block is restored into an output window of the default
// block size and written once its checksum is verified: after damage, what was written is the verified blocks
// before it.
outcome decompress_stream(fileio::input_file& in, const uint8_t* head, qarn::byte_sink& out, bool through) {
  outcome o;
  o.stream = true;
  counting_sink counted(out);
  stream_walk walk(false);
  auto finish = [&](fileio::windowed_input& src) {
    src.check_unchanged();
    o.compressed = src.taken();
    o.original = counted.count();
    o.modes = walk.modes();
    o.checked = walk.all_checked();
    return o;
  };
  if (through) {
    qarn::stream_decoder decoder(0);
    fileio::windowed_input src(in, size_t{1} << 20, false, head, qarn::container_header_size);
    try {
      for (bool finished = false; !finished;) {
        src.fill();
        qarn::in_window from{src.data(), src.size(), 0};
        finished = decoder.decompress_through(counted, from, src.complete());
        walk.take(src.data(), from.pos);
        src.take(from.pos);
      }
    } catch (const qarn::qarn_error&) {
      src.check_unchanged();  // damage in a changed input is that change
      throw;
    }
    return finish(src);
  }
  const stream_params params;
  std::unique_ptr<qarn_dstream, void (*)(qarn_dstream*)> stream(qarn_dstream_create(params.p), qarn_dstream_free);
  if (!stream) throw std::bad_alloc();
  qarn::byte_buffer window(QARN_DEFAULT_BLOCK_SIZE);
  fileio::windowed_input src(in, in.sized() ? QARN_DEFAULT_BLOCK_SIZE : size_t{1} << 20, false, head,
                             qarn::container_header_size);
  for (int finished = 0; !finished;) {
    src.fill();
    qarn_in_buffer from{src.data(), src.size(), 0};
    qarn_out_buffer to{window.data(), window.size(), 0};
    const qarn_status s = qarn_decompress_stream(stream.get(), &to, &from, src.complete(), &finished);
    if (s == QARN_OK) walk.take(src.data(), from.pos);
    src.take(from.pos);
    if (to.pos) counted.write(window.data(), to.pos);
    if (s != QARN_OK) {
      src.check_unchanged();  // damage in a changed input is that change
      throw stream_failure{s};
    }
  }
  return finish(src);
}

// Restores (or tests) the compressed input into out: a stream, or a plain qarn file, told by the first four bytes.
// `through`: out may take bytes that a later failure disowns (see decompress_stream).
outcome decompress(fileio::input_file& in, qarn::byte_sink& out, progress& shown, bool through) {
  uint8_t head[qarn::container_header_size];
  if (in.read_full(head, sizeof head) < sizeof head) qarn::corrupt();
  shown.stage(opt.what == action::test ? "testing" : "decompressing");
  if (qarn::starts_plain_file(head)) return decompress_plain(in, head, out, shown);
  return decompress_stream(in, head, out, through);
}

// Compresses, restores, tests or lists one input ("-" for standard input). Returns false after a failure, whose
// message has been printed.
bool process(const std::string& arg, list_totals& totals) {
  const bool from_stdin = arg == "-";
  const bool decoding = opt.what != action::compress;
  std::string name = from_stdin ? "(stdin)" : arg;
  try {
    if (from_stdin && decoding && !opt.force && isatty(STDIN_FILENO)) {
      error("compressed data not read from a terminal (use -f to force)");
      return false;
    }
    // Streams have no size limit; the readers of plain files have theirs.
    const fileio::input_policy policy{.streams_by_name = false, .size_limited = false};
    std::unique_ptr<fileio::input_file> in = from_stdin
                                                 ? std::make_unique<fileio::input_file>(fileio::standard_input, policy)
                                                 : std::make_unique<fileio::input_file>(arg, policy);

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
        if (S_ISREG(in->status().st_mode) && fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode) &&
            same_file(st, in->status())) {
          error("%s: input and output are the same file", name.c_str());
          return false;
        }
      } else if (out == arg) {
        error("%s: input and output are the same file", name.c_str());
        return false;
      } else if (!output_allowed(*in, out)) {
        return false;
      }
    }

    if (opt.what == action::list) return list(*in, name, totals);

    const auto started = std::chrono::steady_clock::now();
    progress shown(name, uint64_t(in->size()), in->sized());
    in->on_read = [&shown](uint64_t n) { shown.read_so_far(n); };
    std::unique_ptr<fileio::output_file> output;
    fileio::null_sink nothing;
    if (to_stdout)
      output = std::make_unique<fileio::output_file>(fileio::standard_output);
    else if (!out.empty())
      output = std::make_unique<fileio::output_file>(out, output_rule(), *in);
    qarn::byte_sink& sink = output ? static_cast<qarn::byte_sink&>(*output) : nothing;

    const outcome o = opt.what != action::compress    ? decompress(*in, sink, shown, !to_stdout)
                      : opt.writes == format::stream ? compress_stream(*in, sink, shown)
                                                     : compress_plain(*in, sink, shown);

    if (opt.what == action::test) {
      shown.stop();
      if (!opt.verbose)
        std::printf("%s: OK\n", name.c_str());
      else if (!o.stream)
        std::printf("%s: OK (%s mode; no checksum: only damage that breaks the structure is found)\n", name.c_str(),
                    o.modes.c_str());
      else if (o.checked)
        std::printf("%s: OK (%s; checksums verified)\n", name.c_str(), o.modes.c_str());
      else
        std::printf("%s: OK (%s; not every frame carries checksums: there, only damage that breaks the structure "
                    "is found)\n",
                    name.c_str(), o.modes.c_str());
      std::fflush(stdout);
      return true;
    }

    const fileio::commit_notes notes = output->commit();
    shown.stop();
    if (notes.permissions_error)
      warning("%s: permissions not kept: %s", out.c_str(), std::strerror(notes.permissions_error));
    if (notes.times_error) warning("%s: times not kept: %s", out.c_str(), std::strerror(notes.times_error));

    if (opt.verbose) {
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      const uint64_t from = opt.what == action::compress ? o.original : o.compressed;
      const uint64_t to = opt.what == action::compress ? o.compressed : o.original;
      std::fprintf(stderr, "%s: %llu -> %llu bytes, %s, %.1f MB/s, %s mode%s%s\n", name.c_str(),
                   static_cast<unsigned long long>(from), static_cast<unsigned long long>(to),
                   ratio_text(o.compressed, o.original).c_str(),
                   seconds > 0 ? double(o.original) / 1e6 / seconds : 0.0, o.modes.c_str(),
                   to_stdout ? "" : " -> ", to_stdout ? "" : out.c_str());
    }

    // An input goes only with --rm, only once its output is in place, and never when the output went to standard
    // output (-c keeps inputs).
    if (opt.remove_input && in->named() && !to_stdout) {
      if (unlink(arg.c_str()) != 0) {
        error("%s: not removed: %s", arg.c_str(), std::strerror(errno));
        return false;
      }
    }
    return true;
  } catch (const file_error& e) {
    report(e, decoding);
  } catch (const trailing_data&) {
    error("%s: %s", name.c_str(), qarn_status_string(QARN_ERROR_TRAILING_DATA));
  } catch (const stream_failure& e) {
    error("%s: %s", name.c_str(), qarn_status_string(e.status));
  } catch (const qarn::qarn_error& e) {
    const qarn_status s = e.kind() == qarn::failure::too_large           ? QARN_ERROR_INPUT_TOO_LARGE
                          : e.kind() == qarn::failure::checksum_mismatch ? QARN_ERROR_CHECKSUM
                          : e.kind() == qarn::failure::trailing_data     ? QARN_ERROR_TRAILING_DATA
                                                                         : QARN_ERROR_CORRUPT;
    error("%s: %s", name.c_str(), qarn_status_string(s));
  } catch (const std::bad_alloc&) {
    error("%s: %s", name.c_str(), qarn_status_string(QARN_ERROR_OUT_OF_MEMORY));
  }
  return false;
}
// ---- The command line. ----

bool parse_mode(const std::string& word) {
  static const struct {
    const char* word;
    qarn_mode mode;
  } modes[] = {{"text", QARN_MODE_TEXT},     {"image", QARN_MODE_IMAGE},  {"mixed", QARN_MODE_MIXED},
               {"stored", QARN_MODE_STORED}, {"default", QARN_MODE_STORED}};  // -l calls stored mode "default"
  for (const auto& m : modes)
    if (word == m.word) {
      opt.mode = m.mode;
      opt.mode_given = true;
      return true;
    }
  error("unknown mode '%s' (text, image, mixed or stored)", word.c_str());
  return false;
}

bool parse_format(const std::string& word) {
  if (word == "qz")
    opt.writes = format::stream;
  else if (word == "qarn")
    opt.writes = format::plain;
  else
    return false;
  return true;
}

// A block size: a whole number of bytes, or of KiB, MiB or GiB with the suffix K, M or G (KiB, MiB, GiB also
// taken), within the format's range.
bool parse_block_size(const std::string& word) {
  size_t digits = 0;
  while (digits < word.size() && word[digits] >= '0' && word[digits] <= '9') digits++;
  if (digits == 0 || digits > 12) return false;
  uint64_t n = std::stoull(word.substr(0, digits));
  const std::string suffix = word.substr(digits);
  static const struct {
    const char* word;
    int shift;
  } suffixes[] = {{"", 0}, {"K", 10}, {"KiB", 10}, {"M", 20}, {"MiB", 20}, {"G", 30}, {"GiB", 30}};
  for (const auto& x : suffixes)
    if (suffix == x.word) {
      n <<= x.shift;
      if (n < 1 || n > qarn::stream_block_limit) return false;
      opt.block_size = static_cast<uint32_t>(n);
      return true;
    }
  return false;
}

// A command line qz cannot take: one line saying why, one saying where to look, and status 1.
[[noreturn]] void bad_usage(const char* format, const char* what) {
  error(format, what);
  std::fputs("Try 'qz --help' for more information.\n", stderr);
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  fileio::prepare_process({.ignore_broken_pipe = false});
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
          std::fputs("Try 'qz --help' for more information.\n", stderr);
          return 1;
        }
      } else if (name == "--format") {
        take_value();
        if (!parse_format(value)) bad_usage("unknown format '%s' (qz or qarn)", value.c_str());
      } else if (name == "--block-size") {
        take_value();
        if (!parse_block_size(value))
          bad_usage("invalid block size '%s' (1 to 256M; K, M and G stand for KiB, MiB and GiB)", value.c_str());
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
    if (files.size() > 1 && opt.output != "-") {
      if (opt.what == action::compress && opt.writes == format::plain)
        error("cannot write several files to one stream");
      else
        error("-o names one output, but %zu files were given (use -c to join them)", files.size());
      return 1;
    }
  }
  // Plain files cannot be joined: one after another in one stream, only the first would be restored. Streams can:
  // each file is a frame of its own.
  if (opt.what == action::compress && opt.writes == format::plain && files.size() > 1 &&
      (opt.to_stdout || opt.output == "-")) {
    error("cannot write several files to one stream");
    return 1;
  }
  if (opt.what == action::compress && opt.writes == format::plain && opt.block_size)
    warning("--block-size is ignored with --format=qarn: a plain file is one block");
  if (opt.remove_input && opt.to_stdout) warning("--rm is ignored with -c: the inputs are kept");

  list_totals totals;
  if (opt.what == action::list) list_line("mode", "compressed", "uncompressed", "ratio", "check", "name");
  bool ok = true;
  for (const std::string& f : files) {
    if (!process(f, totals)) ok = false;
    std::fflush(stdout);
  }
  if (opt.what == action::list && totals.files > 1)
    list_line("", std::to_string(totals.compressed), std::to_string(totals.original),
              ratio_text(totals.compressed, totals.original), "", "(total)");
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    error("(stdout): %s", std::strerror(errno));
    ok = false;
  }
  return ok ? 0 : 1;
}
