// fileio.cpp — the file layer under the programs: inputs, atomic outputs, and the process policy.
#include "fileio.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

namespace fileio {

using qarn::byte_buffer;
using qarn::input_size_limit;

const char* file_error::what() const noexcept {
  switch (what_) {
    case failure::open_input: return "input cannot be opened";
    case failure::read_input: return "input cannot be read";
    case failure::input_is_directory: return "input is a directory";
    case failure::input_not_regular: return "input is not a regular file";
    case failure::input_too_large: return "input past the size limit";
    case failure::input_past_limit: return "input past the limit of its kind";
    case failure::input_changed: return "input changed while it was read";
    case failure::open_output: return "output cannot be made";
    case failure::output_exists: return "output exists";
    case failure::write_output: return "output cannot be written";
  }
  return "file failure";
}

namespace {

// ---- Interruption: a named temporary file is removed before the signal takes its usual course. ----

// The handler may touch nothing but these: a fixed array and a flag.
char interrupted_temp[PATH_MAX + 64];
volatile sig_atomic_t temp_is_named = 0;

void on_interrupt(int sig) {
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

// ---- Mapped inputs that shrink. ----

// Should a mapped file shrink, a read past its new end raises SIGBUS: the handler puts zero pages in place of the
// whole mapping and notes it, the work goes on over zeros, and the run refuses the input as changed. A SIGBUS
// anywhere else is a real fault and ends the program as one. One mapping at a time.
std::atomic<uintptr_t> mapped_from{0}, mapped_to{0};
std::atomic<bool> mapping_replaced{false};
static_assert(std::atomic<uintptr_t>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "the bus error handler reads them");

void on_bus_error(int sig, siginfo_t* info, void*) {
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

// ---- The heap. ----

constexpr size_t huge_page = size_t{2} << 20;

// Fresh pages are dear on these machines, huge ones far less per byte: the heap grows to take a block just below
// the map threshold and keeps it as free space (trimming is off); the whole of that space is then marked for huge
// pages. Nothing is touched, so nothing is faulted in yet.
void heap_on_huge_pages() {
  constexpr size_t reach = size_t{30} << 20;
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  // A second worker allocates from this heap too (it allocates seldom, so the lock costs nothing): a heap of its
  // own would take small pages, and 64 MB of address space, which a run under `ulimit -v` cannot spare.
  mallopt(M_ARENA_MAX, 1);
  // The heap's bytes below its first 2 MiB boundary can never be a huge page, and where the heap starts is random:
  // a block that is never used (nor touched past its header) takes them, so that the blocks of the run lie in huge
  // pages instead of in up to 2 MiB of small ones.
  if (void* probe = std::malloc(64)) {
    const auto at = reinterpret_cast<uintptr_t>(probe) + 64;
    const size_t head = ((at + huge_page - 1) & ~uintptr_t{huge_page - 1}) - at;
    constexpr size_t headers = 64;
    [[maybe_unused]] static void* volatile kept_head = nullptr;  // kept for the life of the process
    if (head > headers) kept_head = std::malloc(head - headers);
    std::free(probe);
  }
  void* block = std::malloc(reach);
  if (!block) return;
  auto from = (reinterpret_cast<uintptr_t>(block) + huge_page - 1) & ~uintptr_t{huge_page - 1};
  auto to = reinterpret_cast<uintptr_t>(sbrk(0)) & ~uintptr_t{huge_page - 1};
  std::free(block);
  if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
}

// ---- Paths. ----

// Follows the symbolic links at path to the file they lead to (which may not exist yet). `through_proc` is set when
// a link of the chain leads into /proc (/dev/stdout, /dev/fd/N).
std::string resolve_links(const std::string& path, bool* through_proc = nullptr) {
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
    if (through_proc && p.compare(0, 6, "/proc/") == 0) *through_proc = true;
  }
  return p;  // a loop: opening it reports it
}

std::string directory_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A name beside target that no file has yet, "<name>.<12 hex digits>.tmp".
std::string temp_name_beside(const std::string& target, uint64_t salt) {
  const size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  const std::string base = target.substr(slash == std::string::npos ? 0 : slash + 1).substr(0, 200);
  char suffix[24];
  std::snprintf(suffix, sizeof suffix, ".%012llx.tmp", static_cast<unsigned long long>(salt & 0xffffffffffffULL));
  return dir + base + suffix;
}

bool proc_fd_available() {
  static const bool yes = access("/proc/self/fd", X_OK) == 0;
  return yes;
}

mode_t new_file_permissions() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

bool same_time(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

void prepare_process(const process_policy& policy) {
  for (int fd = 0; fd <= 2; fd++)
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      const int null = open("/dev/null", (fd == 0 ? O_WRONLY : O_RDONLY) | O_CLOEXEC);
      if (null >= 0 && null != fd) {
        dup2(null, fd);
        close(null);
      }
    }

  struct sigaction interrupt {};
  interrupt.sa_handler = on_interrupt;
  sigemptyset(&interrupt.sa_mask);
  if (policy.ignore_broken_pipe) signal(SIGPIPE, SIG_IGN);
  for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGXCPU, SIGXFSZ}) {
    struct sigaction old {};
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    sigaction(sig, &interrupt, nullptr);
  }

  struct sigaction bus {};
  bus.sa_sigaction = on_bus_error;
  bus.sa_flags = SA_SIGINFO;
  sigemptyset(&bus.sa_mask);
  sigaction(SIGBUS, &bus, nullptr);

  heap_on_huge_pages();
}

// ---- Inputs. ----

input_file::input_file(const std::string& path, const input_policy& policy) : name_(path) {
  if (!policy.streams_by_name) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) throw file_error(failure::open_input, path, errno);
    if (S_ISDIR(st.st_mode)) throw file_error(failure::input_is_directory, path);
    if (!S_ISREG(st.st_mode)) throw file_error(failure::input_not_regular, path);
  }
  fd_ = open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC | (policy.streams_by_name ? 0 : O_NONBLOCK));
  if (fd_ < 0) throw file_error(failure::open_input, path, errno);
  auto refuse = [&](failure what, int error_number = 0) {
    close(fd_);
    throw file_error(what, path, error_number);
  };
  if (fstat(fd_, &st_) != 0) refuse(failure::read_input, errno);
  if (S_ISDIR(st_.st_mode)) refuse(failure::input_is_directory);
  if (!policy.streams_by_name) {
    // The file actually opened must be regular too (the name may have changed since it was looked at).
    if (!S_ISREG(st_.st_mode)) refuse(failure::input_not_regular);
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
  }
  if (policy.size_limited && sized() && size() >= input_size_limit) refuse(failure::input_too_large);
}

input_file::input_file(standard_input_t, const input_policy& policy)
    : name_("(stdin)"), named_(false), fd_(STDIN_FILENO) {
  if (fstat(fd_, &st_) != 0) st_ = {};
  // A regular file read from elsewhere than its start (a shell read part of it first) is read from there, as a
  // stream: its size and a mapping would take it whole.
  if (S_ISREG(st_.st_mode) && lseek(fd_, 0, SEEK_CUR) != 0) st_.st_mode = (st_.st_mode & ~S_IFMT) | S_IFIFO;
  if (policy.size_limited && sized() && size() >= input_size_limit)
    throw file_error(failure::input_too_large, name_);
}

input_file::~input_file() {
  if (named_ && fd_ >= 0) close(fd_);
}

size_t input_file::read_full(uint8_t* p, size_t n) {
  size_t got = 0;
  while (got < n) {
    const ssize_t k = read(fd_, p + got, std::min(n - got, size_t{1} << 30));
    if (k < 0 && errno == EINTR) continue;
    if (k < 0) throw file_error(failure::read_input, name_, errno);
    if (k == 0) break;
    got += static_cast<size_t>(k);
    read_ += static_cast<uint64_t>(k);
    if (on_read) on_read(read_);
  }
  return got;
}

void input_file::check_unchanged(uint64_t total) {
  if (!sized()) return;
  uint8_t extra;
  struct stat now;
  if (total != static_cast<uint64_t>(st_.st_size) || pread(fd_, &extra, 1, st_.st_size) != 0 ||
      fstat(fd_, &now) != 0 || now.st_size != st_.st_size || !same_time(now.st_mtim, st_.st_mtim) ||
      !same_time(now.st_ctim, st_.st_ctim))
    throw file_error(failure::input_changed, name_);
}

void input_file::refuse_past_limit(uint64_t total) {
  uint8_t buf[1 << 16];
  while (total < static_cast<uint64_t>(input_size_limit)) {
    const size_t k = read_full(buf, sizeof buf);
    if (k == 0) break;
    total += k;
  }
  throw file_error(total >= static_cast<uint64_t>(input_size_limit) ? failure::input_too_large
                                                                    : failure::input_past_limit,
                   name_);
}

whole_input::whole_input(input_file& in, uint64_t limit, bool writable, const uint8_t* head, size_t head_n)
    : in_(in) {
  if (in.sized()) {
    const uint64_t size = static_cast<uint64_t>(in.size());
    if (size > limit) throw file_error(failure::input_past_limit, in.name());
    if (head_n > size) throw file_error(failure::input_changed, in.name());
    size_ = static_cast<size_t>(size);
    if (!writable && head_n == 0) {
      void* m = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE | MAP_POPULATE, in.fd(), 0);
      if (m != MAP_FAILED) {
        data_ = static_cast<const uint8_t*>(m);
        mapped_ = true;
        mapping_replaced.store(false);
        mapped_to.store(reinterpret_cast<uintptr_t>(m) + size_);
        mapped_from.store(reinterpret_cast<uintptr_t>(m));
        if (in.on_read) in.on_read(size);
        return;
      }
    }
    buffer_ = qarn::populated<uint8_t>(size_);
    if (head_n) std::memcpy(buffer_.data(), head, head_n);
    in.check_unchanged(head_n + in.read_full(buffer_.data() + head_n, size_ - head_n));
    data_ = buffer_.data();
    return;
  }
  // A stream: a buffer that doubles as it fills.
  buffer_ = byte_buffer(std::max<size_t>(size_t{1} << 20, head_n));
  if (head_n) std::memcpy(buffer_.data(), head, head_n);
  uint64_t total = head_n;
  for (;;) {
    if (total == buffer_.size()) {
      if (total > limit) in.refuse_past_limit(total);
      byte_buffer grown(static_cast<size_t>(std::min<uint64_t>(2 * total, limit + 1)));
      std::memcpy(grown.data(), buffer_.data(), total);
      buffer_ = std::move(grown);
    }
    const size_t k = in.read_full(buffer_.data() + total, buffer_.size() - total);
    total += k;
    if (total > limit) in.refuse_past_limit(total);
    if (total < buffer_.size()) break;  // the stream ended
  }
  buffer_.shrink(total);
  data_ = buffer_.data();
  size_ = total;
}

whole_input::~whole_input() {
  if (!mapped_) return;
  mapped_from.store(0);
  munmap(const_cast<uint8_t*>(data_), size_);
}

void whole_input::let_pages_go() {
  if (mapped_) madvise(const_cast<uint8_t*>(data_), size_, MADV_DONTNEED);
}

void whole_input::check_unchanged() {
  if (mapped_ && mapping_replaced.load()) throw file_error(failure::input_changed, in_.name());
  in_.check_unchanged(size_);
}

windowed_input::windowed_input(input_file& in, size_t window, bool map, const uint8_t* head, size_t head_n)
    : in_(in), window_(std::max<size_t>(window, 1)) {
  const uint64_t size = in.sized() ? static_cast<uint64_t>(in.size()) : 0;
  if (head_n > size && in.sized()) throw file_error(failure::input_changed, in.name());
  if (in.sized() && map) {
    // The head is the mapping's first bytes: it was read from the file's start.
    void* m = mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_PRIVATE | MAP_NORESERVE, in.fd(), 0);
    if (m != MAP_FAILED) {
      data_ = static_cast<const uint8_t*>(m);
      end_ = static_cast<size_t>(size);
      mapped_ = complete_ = true;
      mapping_replaced.store(false);
      mapped_to.store(reinterpret_cast<uintptr_t>(m) + end_);
      mapped_from.store(reinterpret_cast<uintptr_t>(m));
      return;
    }
  }
  // A file shorter than the window takes a buffer of its length and a byte, to see its end in the same read.
  const size_t room = in.sized() ? static_cast<size_t>(std::min<uint64_t>(window_, size + 1)) : window_;
  // A file's buffer is about to be filled: its pages are mapped in at once rather than a fault at a time.
  buffer_ = in.sized() ? qarn::populated<uint8_t>(std::max(room, head_n)) : byte_buffer(std::max(room, head_n));
  if (head_n) std::memcpy(buffer_.data(), head, head_n);
  data_ = buffer_.data();
  end_ = read_ = head_n;
}

windowed_input::~windowed_input() {
  if (!mapped_) return;
  mapped_from.store(0);
  munmap(const_cast<uint8_t*>(data_), end_);
}

void windowed_input::fill() {
  if (mapped_) {
    // The pages of the next window (and of the one after, so that a read-in never waits for the work) are read in
    // at once rather than a fault at a time.
    const size_t want = std::min(end_, pos_ + window_);
    if (want > populated_) {
      const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
      const size_t from = std::max(populated_, pos_) / page * page;
      const size_t to = std::min(end_, want + window_);
      uint8_t* p = const_cast<uint8_t*>(data_) + from;
      if (madvise(p, to - from, MADV_POPULATE_READ) != 0) madvise(p, to - from, MADV_WILLNEED);
      populated_ = to;
    }
    return;
  }
  // The first read goes after the head; the next ones, once every byte is taken, over the whole buffer.
  if (complete_ || (started_ && pos_ < end_)) return;
  if (pos_ == end_) {
    base_ += pos_;
    pos_ = end_ = 0;
  }
  started_ = true;
  const size_t k = in_.read_full(buffer_.data() + end_, buffer_.size() - end_);
  end_ += k;
  read_ += k;
  if (end_ < buffer_.size()) complete_ = true;
}

void windowed_input::take(size_t n) {
  pos_ += std::min(n, end_ - pos_);
  if (!mapped_) return;
  if (in_.on_read) in_.on_read(pos_);
  // The pages passed are let go a few megabytes at a time.
  constexpr size_t release_step = size_t{4} << 20;
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t upto = pos_ / page * page;
  if (upto >= released_ + release_step || (pos_ == end_ && upto > released_)) {
    madvise(const_cast<uint8_t*>(data_) + released_, upto - released_, MADV_DONTNEED);
    released_ = upto;
  }
}

void windowed_input::check_unchanged() {
  if (mapped_) {
    if (mapping_replaced.load()) throw file_error(failure::input_changed, in_.name());
    in_.check_unchanged(end_);
  } else {
    // A file not read to its end (the work failed first) is compared with what it was, not with what was read.
    in_.check_unchanged(complete_ ? read_ : static_cast<uint64_t>(std::max<int64_t>(in_.size(), 0)));
  }
}

uint64_t copy_rest(input_file& in, qarn::byte_sink& out, uint64_t done, uint64_t limit) {
  if (in.sized() && static_cast<uint64_t>(in.size()) > limit) throw file_error(failure::input_past_limit, in.name());
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
      if (in.sized()) throw file_error(failure::input_changed, in.name());
      in.refuse_past_limit(total);
    }
    if (k) out.write(buf.data(), k);
    if (k < chunk) break;
  }
  in.check_unchanged(total);
  return total;
}

// ---- Outputs. ----

bool is_standard_output(const std::string& path) {
  struct stat a, b;
  return stat(path.c_str(), &a) == 0 && fstat(STDOUT_FILENO, &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino && !S_ISCHR(a.st_mode);
}

output_file::output_file(const std::string& path, const output_policy& policy, const input_file& from)
    : path_(path), policy_(policy), from_(from.status()) {
  from_named_regular_ = from.named() && S_ISREG(from_.st_mode);
  permissions_ = S_ISREG(from_.st_mode) ? (from_.st_mode & 0777) : new_file_permissions();
  if (path.empty()) throw file_error(failure::open_output, path_, ENOENT);
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    // Not a file to replace: a device, a pipe, a terminal, a socket.
    if (S_ISDIR(st.st_mode)) throw file_error(failure::open_output, path_, EISDIR);
    fd_ = open(path.c_str(), O_WRONLY | O_TRUNC | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) throw file_error(failure::open_output, path_, errno);
    direct_ = true;
    return;
  }
  bool through_proc = false;
  const std::string resolved = resolve_links(path, &through_proc);
  target_ = policy.follow_links || through_proc ? resolved : path;
  if (target_.empty()) throw file_error(failure::open_output, path_, ENOENT);
  struct stat existing;
  existed_ = lstat(target_.c_str(), &existing) == 0;
  if (existed_ && S_ISDIR(existing.st_mode)) throw file_error(failure::open_output, path_, EISDIR);
  const std::string dir = directory_of(target_);
  if (proc_fd_available()) fd_ = open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd_ >= 0) return;
  // No unnamed files here: a named one, removed again on failure and on interruption.
  if (const int e = take_temp_name([&](const char* name) {
        fd_ = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        return fd_ >= 0;
      }))
    throw file_error(failure::open_output, path_, e);
}

output_file::output_file(standard_output_t) : path_("(stdout)"), fd_(STDOUT_FILENO), direct_(true), owned_fd_(false) {}

output_file::~output_file() {
  if (fd_ >= 0 && owned_fd_) close(fd_);
  if (!temp_.empty()) {
    unlink(temp_.c_str());
    forget_temp();
  }
}

void output_file::write(const uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd_, p, std::min(n, size_t{1} << 30));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) throw file_error(failure::write_output, path_, w < 0 ? errno : ENOSPC);
    p += w;
    n -= static_cast<size_t>(w);
  }
}

template <class Make>
int output_file::take_temp_name(Make&& make) {
  std::random_device seed;
  for (int attempt = 0; attempt < 100; attempt++) {
    temp_ = temp_name_beside(target_, (uint64_t{seed()} << 32) ^ seed());
    name_temp(temp_);
    if (make(temp_.c_str())) return 0;
    const int e = errno;
    forget_temp();
    temp_.clear();
    if (e != EEXIST) return e;
  }
  return EEXIST;
}

commit_notes output_file::commit() {
  commit_notes notes;
  if (direct_) {
    if (owned_fd_) {
      const int r = close(fd_);
      fd_ = -1;
      if (r != 0) throw file_error(failure::write_output, path_, errno);
    }
    return notes;
  }
  if (policy_.keep_owner_and_times && from_named_regular_) {
    // The owner first, so that the group's permission bits never go to another group.
    if ((from_.st_uid != geteuid() || from_.st_gid != getegid()) && fchown(fd_, from_.st_uid, from_.st_gid) != 0)
      (void)!fchown(fd_, static_cast<uid_t>(-1), from_.st_gid);
  }
  // The permission bits are set exactly, whatever the umask.
  if (fchmod(fd_, permissions_) != 0) notes.permissions_error = errno;
  if (policy_.keep_owner_and_times && from_named_regular_) {
    const struct timespec times[2] = {from_.st_atim, from_.st_mtim};
    if (futimens(fd_, times) != 0) notes.times_error = errno;
  }
  // The data lasts before the name does. File systems that cannot sync say so, and are left as they are.
  if (fsync(fd_) != 0 && errno != EINVAL && errno != EROFS) throw file_error(failure::write_output, path_, errno);
  bool placed = false;
  if (temp_.empty()) {
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd_);
    if (!policy_.replace_existing) {
      // A link refuses an existing name: the unnamed file takes the output's name at once.
      if (linkat(AT_FDCWD, self, AT_FDCWD, target_.c_str(), AT_SYMLINK_FOLLOW) != 0)
        throw file_error(errno == EEXIST ? failure::output_exists : failure::write_output, path_, errno);
      placed = true;
    } else if (const int e = take_temp_name([&](const char* name) {
                 return linkat(AT_FDCWD, self, AT_FDCWD, name, AT_SYMLINK_FOLLOW) == 0;
               })) {
      // The unnamed file gets a name first: a name cannot be linked over an existing file.
      throw file_error(failure::write_output, path_, e);
    }
  }
  const int r = close(fd_);
  fd_ = -1;
  if (r != 0) throw file_error(failure::write_output, path_, errno);
  if (!placed) {
    int moved;
    if (policy_.replace_existing) {
      moved = rename(temp_.c_str(), target_.c_str());
    } else {
      moved = renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, target_.c_str(), RENAME_NOREPLACE);
      if (moved != 0 && (errno == EINVAL || errno == ENOSYS)) {
        // A file system without the exclusive rename: a hard link refuses an existing name as well.
        moved = link(temp_.c_str(), target_.c_str());
        if (moved == 0) unlink(temp_.c_str());
      }
    }
    if (moved != 0) throw file_error(errno == EEXIST ? failure::output_exists : failure::write_output, path_, errno);
    forget_temp();
    temp_.clear();
  }
  if (policy_.always_sync_directory || existed_) {
    // The new name lasts once the directory is synced.
    const int dir = open(directory_of(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      (void)fsync(dir);
      close(dir);
    }
  }
  return notes;
}

}  // namespace fileio
