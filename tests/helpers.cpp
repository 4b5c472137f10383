// helpers.cpp — shared test helpers.
#include "helpers.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <openssl/evp.h>
#include <sys/resource.h>
#include <csignal>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>

namespace {

[[noreturn]] void exec_qarn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  std::string exe = qarn_exe();
  argv.push_back(exe.data());
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(exe.c_str(), argv.data());
  _exit(127);
}

// In the child: a mount namespace of its own with an empty /proc.
void hide_proc() {
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("none", "/proc", "tmpfs", 0, nullptr) != 0)
    _exit(125);
}

int status_of(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

}  // namespace

std::string qarn_exe() {
  const char* other = std::getenv("QARN_TEST_QARN");
  return other && *other ? other : QARN_EXE;
}

std::string qz_exe() {
  const char* other = std::getenv("QARN_TEST_QZ");
  return other && *other ? other : QZ_EXE;
}

run_result run_qarn(const std::vector<std::string>& args, long file_size_limit) {
  run_options options;
  options.file_size_limit = file_size_limit;
  return run_qarn_with(options, args);
}

run_result run_qarn_with(const run_options& options, const std::vector<std::string>& args) {
  int out[2], err[2], closed[2];
  if (pipe(out) != 0 || pipe(err) != 0 || pipe(closed) != 0) std::abort();
  close(closed[0]);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(options.closed_output ? closed[1] : out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    for (int fd : {out[0], out[1], err[0], err[1], closed[1]}) close(fd);
    if (!options.input_file.empty()) {
      int in = open(options.input_file.c_str(), O_RDONLY);
      if (in < 0) _exit(126);
      dup2(in, STDIN_FILENO);
      close(in);
    }
    if (options.file_size_limit > 0) {
      rlimit limit{rlim_t(options.file_size_limit), rlim_t(options.file_size_limit)};
      setrlimit(RLIMIT_FSIZE, &limit);
      signal(SIGXFSZ, SIG_IGN);
    }
    if (options.hide_proc) hide_proc();
    if (options.address_space_kib > 0) {
      rlimit limit{rlim_t(options.address_space_kib) * 1024, rlim_t(options.address_space_kib) * 1024};
      setrlimit(RLIMIT_AS, &limit);
    }
    exec_qarn(args);
  }
  close(out[1]);
  close(err[1]);
  close(closed[1]);
  run_result r{0, "", ""};
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* into[2] = {&r.output, &r.errors};
  for (int open_fds = 2; open_fds > 0;) {
    if (poll(fds, 2, -1) < 0) continue;
    for (int i = 0; i < 2; i++) {
      if (fds[i].fd < 0 || !fds[i].revents) continue;
      char buf[4096];
      ssize_t k = read(fds[i].fd, buf, sizeof buf);
      if (k > 0) {
        into[i]->append(buf, static_cast<size_t>(k));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        open_fds--;
      }
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = status_of(status);
  return r;
}

running_qarn start_qarn(const std::vector<std::string>& args, bool hide) {
  int out[2];
  if (pipe(out) != 0) std::abort();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    close(out[1]);
    if (hide) hide_proc();
    exec_qarn(args);
  }
  close(out[1]);
  return {pid, out[0]};
}

std::string running_qarn::read_line() {
  std::string line;
  char c;
  while (read(output_fd, &c, 1) == 1) {
    line += c;
    if (c == '\n') break;
  }
  return line;
}

int running_qarn::wait() {
  close(output_fd);
  int status = 0;
  waitpid(pid, &status, 0);
  return status_of(status);
}

bytes read_bytes(const std::filesystem::path& p) {
  std::ifstream f(p, std::ios::binary);
  return bytes(std::istreambuf_iterator<char>(f), {});
}

void write_bytes(const std::filesystem::path& p, const bytes& b) {
  std::ofstream f(p, std::ios::binary);
  f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

bytes to_bytes(const std::string& s) { return bytes(s.begin(), s.end()); }

bytes random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

std::string first_difference(const bytes& expected, const bytes& actual) {
  size_t n = std::min(expected.size(), actual.size());
  for (size_t i = 0; i < n; i++)
    if (expected[i] != actual[i])
      return "byte " + std::to_string(i) + " is " + std::to_string(actual[i]) + ", expected " +
             std::to_string(expected[i]);
  if (expected.size() != actual.size())
    return "length is " + std::to_string(actual.size()) + ", expected " + std::to_string(expected.size());
  return "";
}

void scratch_test::SetUp() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "qarn-test-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) std::abort();
  dir = tmpl;
}

void scratch_test::TearDown() { std::filesystem::remove_all(dir); }

std::string sha256_hex(const bytes& b) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!EVP_Digest(b.data(), b.size(), digest, &length, EVP_sha256(), nullptr)) std::abort();
  static const char hex[] = "0123456789abcdef";
  std::string s;
  for (unsigned int i = 0; i < length; i++) {
    s += hex[digest[i] >> 4];
    s += hex[digest[i] & 15];
  }
  return s;
}

// ---- Deterministic inputs: integer arithmetic on std::mt19937 only, which the standard fixes bit for bit. ----

namespace {

// A word of 1 to 9 lower-case letters, fixed by its number.
std::string word(uint32_t k) {
  uint32_t h = k * 2654435761u + 12345u;
  std::string w;
  for (uint32_t i = 0, len = 1 + h % 9; i < len; i++) {
    w += static_cast<char>('a' + (h >> 5) % 26);
    h = h * 1103515245u + 12345u;
  }
  return w;
}

}  // namespace

// Prose: words drawn with a strong bias to small numbers out of a vocabulary of `vocabulary` words, lines of about
// a dozen words, an occasional number. Ends with `last` (a delimiter or not).
bytes prose(size_t n, uint32_t vocabulary, uint32_t seed, const std::string& last) {
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n) {
    for (int i = 0, words = 6 + static_cast<int>(rng() % 12); i < words; i++) {
      uint32_t r = rng() % vocabulary;
      r = rng() % (r + 1);
      r = rng() % (r + 1);
      s += word(r);
      if (rng() % 23 == 0) s += std::to_string(rng() % 100000);
      s += i + 1 < words ? ' ' : '\n';
    }
  }
  s.resize(n - last.size());
  return to_bytes(s + last);
}

// A P6 image whose channels follow smooth ramps and one another, with a little noise; `grey` makes the channels
// equal, `noise` sets its amplitude.
bytes picture(int w, int h, uint32_t seed, bool grey, uint32_t noise) {
  std::mt19937 rng(seed);
  bytes p = to_bytes("P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n");
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      const int base = (x * 3 + y * 2 + (x * y) / 97) & 255;
      const int r = (base + static_cast<int>(rng() % noise)) & 255;
      const int g = grey ? r : (r + (x / 7) + static_cast<int>(rng() % noise)) & 255;
      const int b = grey ? r : (g * 3 / 4 + y / 5 + static_cast<int>(rng() % noise)) & 255;
      p.insert(p.end(), {uint8_t(r), uint8_t(g), uint8_t(b)});
    }
  return p;
}

// Something like a program: x86-64 instruction shapes with varying operands, a table of fixed-size records,
// strings, zero padding and a little noise, in runs of varying length.
bytes binary(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  static const std::vector<std::vector<uint8_t>> shapes = {
      {0x48, 0x89, 0xe5}, {0x48, 0x8b, 0x45}, {0x48, 0x83, 0xec}, {0xe8}, {0xc3}, {0x55}, {0x41, 0x57},
      {0x0f, 0x84},       {0x74},             {0x48, 0x8d, 0x3d}, {0x89, 0xc7}, {0x31, 0xc0}, {0x5d}, {0xff, 0x15}};
  bytes b;
  uint32_t record = 0;
  while (b.size() < n) {
    const uint32_t kind = rng() % 10, run = 200 + rng() % 3000;
    const size_t end = b.size() + run;
    if (kind < 5) {  // code
      while (b.size() < end) {
        const auto& s = shapes[rng() % shapes.size()];
        b.insert(b.end(), s.begin(), s.end());
        for (uint32_t k = 0, operands = rng() % 5; k < operands; k++)
          b.push_back(uint8_t(rng() % 3 ? rng() % 16 : rng()));
      }
    } else if (kind < 7) {  // records of 24 bytes: a counter, a pointer-like field, flags
      while (b.size() < end) {
        record++;
        for (int k = 0; k < 4; k++) b.push_back(uint8_t(record >> (8 * k)));
        const uint64_t ptr = 0x401000 + uint64_t{record} * 48 + rng() % 4;
        for (int k = 0; k < 8; k++) b.push_back(uint8_t(ptr >> (8 * k)));
        for (int k = 0; k < 12; k++) b.push_back(k == 0 ? uint8_t(rng() % 3) : 0);
      }
    } else if (kind < 9) {  // strings
      bytes t = prose(run, 400, rng());
      for (uint8_t& c : t)
        if (c == '\n') c = 0;
      b.insert(b.end(), t.begin(), t.end());
    } else {  // padding or noise
      const bool pad = rng() % 2;
      for (uint32_t k = 0; k < run; k++) b.push_back(pad ? 0 : uint8_t(rng()));
    }
  }
  b.resize(n);
  return b;
}

// A table of 28-byte records with slowly changing fields: the periodic class's stride transform.
bytes records(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  bytes b;
  for (uint32_t i = 0; b.size() < n; i++) {
    const uint32_t fields[7] = {i, 1000 + 3 * i, uint32_t(rng() % 4), 0, i / 16, 0x10000 + 64 * i, rng() % 2 ? 7u : 9u};
    for (uint32_t f : fields)
      for (int k = 0; k < 4; k++) b.push_back(uint8_t(f >> (8 * k)));
  }
  b.resize(n);
  return b;
}

bytes library_file(qarn_mode mode, const bytes& in) {
  bytes out(qarn_compress_bound(in.size()));
  size_t n = 0;
  EXPECT_EQ(QARN_OK, qarn_compress(mode, in.data(), in.size(), out.data(), out.size(), &n));
  out.resize(n);
  return out;
}
