// qz.cpp — the qz program: qarn's files with the conventions of the usual command-line compressors (suffixes,
// pipes, -d/-c/-o/-f/--rm, -t, -l, a mode chosen from the content).
//
// The work is the library's buffer layer, the same calls the qarn program makes, so that a file qz writes is the
// one `qarn -c` writes for the same input and mode, and each program reads the other's files. The files are the
// file layer's, shared with qarn; what qz does differently is said in its output rule.
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

// Bytes after a whole compressed file.
struct trailing_data {};

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
// What one input became.
struct outcome {
  qarn_mode mode = QARN_MODE_STORED;
  uint64_t original = 0, compressed = 0;
};

// Compresses the input into out: stored mode is a streamed copy; the other modes take the whole input at once
// (mapped when it is a regular file), in the mode given or the one its content suggests.
outcome compress(fileio::input_file& in, qarn::byte_sink& out, progress& shown) {
  outcome o;
  counting_sink counted(out);
  shown.stage("compressing");
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
    const uint32_t mode = opt.mode_given ? static_cast<uint32_t>(opt.mode) : qarn::mode_for_content(data.data(), data.size());
    shown.mode(static_cast<qarn_mode>(mode));
    uint32_t written;
    try {
      written = qarn::compress_to(mode, data.data(), data.size(), counted, [&data] { data.let_pages_go(); });
    } catch (...) {
      data.check_unchanged();  // a failure over a changed input is that change
      throw;
    }
    data.check_unchanged();
    o.original = data.size();
    o.mode = static_cast<qarn_mode>(written);  // after the library's fallbacks
  }
  o.compressed = counted.count();
  return o;
}

// Restores the compressed input into out (a test restores into nothing): a stored file is a streamed copy, the
// others are read whole and decoded into out as they are restored.
outcome decompress(fileio::input_file& in, qarn::byte_sink& out, progress& shown) {
  outcome o;
  counting_sink counted(out);
  uint8_t head[qarn::container_header_size];
  if (in.read_full(head, sizeof head) < sizeof head) qarn::corrupt();
  const uint32_t mode = qarn::get_u32(head);
  if (!qarn::mode_word(mode)) qarn::corrupt();
  o.mode = static_cast<qarn_mode>(mode);
  shown.mode(o.mode);
  shown.stage(opt.what == action::test ? "testing" : "decompressing");
  const int64_t limit = qarn::file_length_limit(mode);
  if (in.sized() && in.size() >= limit) qarn::corrupt();
  try {
    if (mode == qarn::mode_stored) {
      o.compressed = fileio::copy_rest(in, counted, sizeof head, static_cast<uint64_t>(limit - 1));
    } else {
      fileio::whole_input file(in, static_cast<uint64_t>(limit - 1), true, head, sizeof head);
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
    std::unique_ptr<fileio::input_file> in =
        from_stdin ? std::make_unique<fileio::input_file>(fileio::standard_input)
                   : std::make_unique<fileio::input_file>(arg, fileio::input_policy{.streams_by_name = false});

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

    if (opt.what == action::list) {
      if (in->named() && in->sized() && in->size() > 64) {
        // A listing needs only the header (at most 32 bytes in every mode; a stored file's length is its own
        // length less the four bytes of the mode), so only that much is read: a mapping of the whole file would
        // fault if the file were cut short meanwhile.
        uint8_t head[64];
        if (pread(in->fd(), head, sizeof head, 0) == ssize_t(sizeof head)) {
          const uint64_t size = uint64_t(in->size());
          qarn_mode mode;
          uint64_t original = 0;
          qarn_status s = qarn_file_mode(head, sizeof head, &mode);
          if (s == QARN_OK && mode == QARN_MODE_STORED)
            original = size - 4;
          else if (s == QARN_OK)
            s = qarn_decompressed_size(head, sizeof head, &original);
          return list_sizes(name, s, mode, size, original, totals);
        }
      }
      fileio::whole_input file(*in, QARN_INPUT_LIMIT - 1, false);
      return list_file(name, file.data(), file.size(), totals);
    }

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

    const outcome o = opt.what == action::compress ? compress(*in, sink, shown) : decompress(*in, sink, shown);

    if (opt.what == action::test) {
      shown.stop();
      if (opt.verbose)
        std::printf("%s: OK (%s mode; no checksum: only damage that breaks the structure is found)\n", name.c_str(),
                    qarn_mode_name(o.mode));
      else
        std::printf("%s: OK\n", name.c_str());
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
                   seconds > 0 ? double(o.original) / 1e6 / seconds : 0.0, qarn_mode_name(o.mode),
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
    error("%s: trailing data after the compressed file", name.c_str());
  } catch (const qarn::qarn_error& e) {
    error("%s: %s", name.c_str(),
          qarn_status_string(e.kind() == qarn::failure::corrupt ? QARN_ERROR_CORRUPT : QARN_ERROR_INPUT_TOO_LARGE));
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
      if (opt.what == action::compress)
        error("cannot write several files to one stream");
      else
        error("-o names one output, but %zu files were given", files.size());
      return 1;
    }
  }
  // Files of this format cannot be joined: one after another in one stream, only the first would be restored.
  if (opt.what == action::compress && files.size() > 1 && (opt.to_stdout || opt.output == "-")) {
    error("cannot write several files to one stream");
    return 1;
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
