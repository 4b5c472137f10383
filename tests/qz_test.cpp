// qz_test.cpp — the qz program end to end: pipes, tar, names, safety, messages, its streams against the library's,
// and its plain files (--format=qarn) against qarn's.
#include "helpers.h"
#include "libqarn.h"

#include <fcntl.h>
#include <stdlib.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/resource.h>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>
#include <tuple>

namespace fs = std::filesystem;

namespace {

// Runs `exe` (looked up in PATH when it has no slash) in `cwd`, with `input` fed to its standard input through a
// pipe; collects both outputs. A `terminal` descriptor replaces its standard input or output when given.
run_result run_program(const std::string& exe, const std::vector<std::string>& args, const bytes& input = {},
                       const fs::path& cwd = {}, int terminal_in = -1, int terminal_out = -1,
                       int terminal_err = -1) {
  int in[2], out[2], err[2];
  if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) std::abort();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    if (terminal_in >= 0) dup2(terminal_in, STDIN_FILENO);
    if (terminal_out >= 0) dup2(terminal_out, STDOUT_FILENO);
    if (terminal_err >= 0) dup2(terminal_err, STDERR_FILENO);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1], terminal_in, terminal_out, terminal_err})
      if (fd > STDERR_FILENO) close(fd);
    signal(SIGPIPE, SIG_DFL);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(exe.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(exe.c_str(), argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  fcntl(in[1], F_SETFL, O_NONBLOCK);
  // The program may stop reading early: a write to its closed input must not end the test.
  struct sigaction ignore {}, old {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old);
  run_result r{0, "", ""};
  size_t sent = 0;
  if (input.empty()) {
    close(in[1]);
    in[1] = -1;
  }
  pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
  std::string* into[2] = {&r.output, &r.errors};
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    if (poll(fds, 3, -1) < 0) continue;
    for (int i = 0; i < 2; i++) {
      if (fds[i].fd < 0 || !fds[i].revents) continue;
      char buf[65536];
      const ssize_t k = read(fds[i].fd, buf, sizeof buf);
      if (k > 0) {
        into[i]->append(buf, static_cast<size_t>(k));
      } else if (k == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
      }
    }
    if (fds[2].fd >= 0 && fds[2].revents) {
      const ssize_t k = write(fds[2].fd, input.data() + sent, std::min<size_t>(input.size() - sent, 65536));
      if (k > 0) sent += static_cast<size_t>(k);
      if ((k < 0 && errno != EAGAIN && errno != EINTR) || sent == input.size()) {
        close(fds[2].fd);
        fds[2].fd = -1;
      }
    }
  }
  if (fds[2].fd >= 0) close(fds[2].fd);
  sigaction(SIGPIPE, &old, nullptr);
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

run_result run_qz(const std::vector<std::string>& args, const fs::path& cwd = {}, const bytes& input = {}) {
  return run_program(qz_exe(), args, input, cwd);
}

// unqz: the symbolic link to qz beside it.
std::string unqz_exe() { return (fs::path(qz_exe()).parent_path() / "unqz").string(); }

uint32_t u32_at(const bytes& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}

uint32_t file_mode_of(const bytes& file) { return file.size() < 4 ? 99u : u32_at(file, 0); }

// The stream the library writes for `in`: one frame, with the content size when qz knows it (a file, not a pipe),
// in `mode` (-1: each block's own) and blocks of `block_size` (0: the default).
bytes library_stream(const bytes& in, bool content_size, int mode = -1, uint32_t block_size = 0) {
  qarn_params* p = qarn_params_create();
  qarn_params_set(p, QARN_PARAM_MODE, mode);
  if (block_size) qarn_params_set(p, QARN_PARAM_BLOCK_SIZE, block_size);
  qarn_cstream* c = qarn_cstream_create(p);
  if (content_size) qarn_cstream_set_content_size(c, in.size());
  bytes out(qarn_stream_compress_bound(in.size(), p));
  qarn_in_buffer from{in.data(), in.size(), 0};
  size_t pending = 1, written = 0;
  while (pending > 0) {
    qarn_out_buffer to{out.data() + written, out.size() - written, 0};
    EXPECT_EQ(QARN_OK, qarn_compress_stream(c, &to, &from, QARN_END, &pending));
    written += to.pos;
  }
  out.resize(written);
  qarn_cstream_free(c);
  qarn_params_free(p);
  return out;
}

// Where each block of a stream of frames starts (its block header) and the mode of its qarn file, read from the
// headers as docs/format.md lays them out.
struct block_at {
  size_t offset;
  uint32_t stored, original, mode;
};
// A block's header: its two lengths, the check of its body and its own check.
constexpr size_t block_header_bytes = 16;

std::vector<block_at> blocks_of(const bytes& stream) {
  std::vector<block_at> blocks;
  size_t at = 0;
  while (at + 16 <= stream.size() && u32_at(stream, at) == 0x0a5a51b7) {
    const uint8_t flags = stream[at + 5];
    at += flags & 1 ? 24 : 16;
    for (;;) {
      const uint32_t stored = u32_at(stream, at), original = u32_at(stream, at + 4);
      if (stored == 0 && original == 0) {
        at += block_header_bytes + (flags & 4 ? 8 : 0);
        break;
      }
      blocks.push_back({at, stored, original, u32_at(stream, at + block_header_bytes)});
      at += block_header_bytes + stored + (flags & 2 ? 8 : 0);
    }
  }
  return blocks;
}

bool is_stream(const bytes& file) { return file.size() >= 16 && u32_at(file, 0) == 0x0a5a51b7; }

bytes joined(bytes a, const bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A program's shape with an ELF header in front.
bytes elf_binary(size_t n, uint32_t seed) {
  bytes b = binary(n, seed);
  const uint8_t head[] = {0x7f, 'E', 'L', 'F', 2, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0x3e, 0};
  std::copy(std::begin(head), std::end(head), b.begin());
  return b;
}

// The names in a directory, sorted: to see that nothing (no temporary file) was left behind.
std::vector<std::string> names_in(const fs::path& d) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(d)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

bool contains(const std::string& haystack, const std::string& needle) {
  return haystack.find(needle) != std::string::npos;
}

using QzPipes = scratch_test;
using QzNames = scratch_test;
using QzSafety = scratch_test;
using QzChecks = scratch_test;
using QzFormat = scratch_test;
using QzCommandLine = scratch_test;

}  // namespace

// Standard input to standard output in both directions, byte for byte, for every kind of input; the compressed
// stream is the library's stream (without a content size: a pipe's length is not known ahead). qz -d,
// --decompress, -dc and unqz all restore.
TEST_F(QzPipes, StdinToStdoutBothWays) {
  const std::vector<bytes> inputs = {{}, prose(200000, 3000, 1), picture(160, 120, 2), elf_binary(150000, 3),
                                     random_bytes(50000, 4)};
  for (const bytes& in : inputs) {
    SCOPED_TRACE("input of " + std::to_string(in.size()) + " bytes");
    const run_result c = run_qz({}, dir, in);
    ASSERT_EQ(0, c.status) << c.errors;
    EXPECT_EQ("", c.errors);
    const bytes file = to_bytes(c.output);
    EXPECT_BYTES_EQ(library_stream(in, false), file);
    for (const auto& [exe, args] : std::vector<std::pair<std::string, std::vector<std::string>>>{
             {qz_exe(), {"-d"}}, {qz_exe(), {"--decompress", "-"}}, {qz_exe(), {"-dc"}}, {unqz_exe(), {}}}) {
      const run_result d = run_program(exe, args, file, dir);
      ASSERT_EQ(0, d.status) << d.errors;
      EXPECT_BYTES_EQ(in, to_bytes(d.output));
    }
  }
  EXPECT_TRUE(names_in(dir).empty());
}

// Standard input that is a regular file is read from where it stands, as it is for every filter: what a shell read
// of it before is not compressed.
TEST_F(QzPipes, StandardInputFromWhereItStands) {
  const bytes text = prose(100000, 1000, 39);
  write_bytes(path("in"), text);
  const std::string command = "cd '" + dir.string() + "' && { dd bs=1000 count=1 of=/dev/null 2>/dev/null; '" +
                              qz_exe() + "' --mode=text; } < in > out.qz";
  ASSERT_EQ(0, std::system(command.c_str()));
  const bytes rest(text.begin() + 1000, text.end());
  EXPECT_BYTES_EQ(library_stream(rest, false, QARN_MODE_TEXT), read_bytes(path("out.qz")));
}

// tar runs qz on its pipes: qz to compress, qz -d to extract. A tree of a few megabytes with every kind of file
// (text, a photo, a program, noise, an empty file, a link, a directory) comes back whole; the archive is a stream.
TEST_F(QzPipes, TarRoundTrip) {
  if (run_program("tar", {"--version"}).status != 0) GTEST_SKIP() << "tar is not installed";
  fs::create_directories(path("tree/sub/deeper"));
  fs::create_directories(path("tree/nothing"));
  const std::vector<std::pair<std::string, bytes>> files = {
      {"tree/notes.txt", prose(1500000, 3000, 5)},        {"tree/sub/photo.ppm", picture(640, 480, 6)},
      {"tree/sub/deeper/prog", elf_binary(1200000, 7)}, {"tree/noise", random_bytes(400000, 8)},
      {"tree/records", records(300000, 9)},             {"tree/empty", {}}};
  for (const auto& [name, data] : files) write_bytes(path(name), data);
  fs::create_symlink("notes.txt", path("tree/link"));
  const run_result c = run_program("tar", {"-I", qz_exe(), "-cf", "x.tar.qz", "tree"}, {}, dir);
  ASSERT_EQ(0, c.status) << c.errors;
  EXPECT_TRUE(is_stream(read_bytes(path("x.tar.qz"))));
  fs::create_directory(path("out"));
  const run_result x = run_program("tar", {"-I", qz_exe(), "-xf", "../x.tar.qz"}, {}, path("out"));
  ASSERT_EQ(0, x.status) << x.errors;
  for (const auto& [name, data] : files) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(fs::exists(path("out") / name));
    EXPECT_BYTES_EQ(data, read_bytes(path("out") / name));
  }
  EXPECT_EQ("notes.txt", fs::read_symlink(path("out/tree/link")).string());
  EXPECT_TRUE(fs::is_directory(path("out/tree/nothing")));
}

// file → file.qz (the input kept); -d and unqz strip the suffix; a name without it is refused unless -c or -o
// names the output; a name that has it already is not compressed again.
TEST_F(QzNames, Suffixes) {
  const bytes text = prose(20000, 400, 8);
  write_bytes(path("a.txt"), text);
  run_result r = run_qz({"a.txt"}, dir);
  ASSERT_EQ(0, r.status) << r.errors;
  EXPECT_EQ((std::vector<std::string>{"a.txt", "a.txt.qz"}), names_in(dir));
  const bytes file = read_bytes(path("a.txt.qz"));

  fs::remove(path("a.txt"));
  r = run_qz({"-d", "a.txt.qz"}, dir);
  ASSERT_EQ(0, r.status) << r.errors;
  EXPECT_BYTES_EQ(text, read_bytes(path("a.txt")));
  fs::remove(path("a.txt"));
  r = run_program(unqz_exe(), {"a.txt.qz"}, {}, dir);
  ASSERT_EQ(0, r.status) << r.errors;
  EXPECT_BYTES_EQ(text, read_bytes(path("a.txt")));

  r = run_qz({"a.txt.qz"}, dir);
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(contains(r.errors, "qz: a.txt.qz: already has the .qz suffix")) << r.errors;

  write_bytes(path("packed"), file);
  r = run_qz({"-d", "packed"}, dir);
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(contains(r.errors, "qz: packed: name does not end in .qz")) << r.errors;
  r = run_qz({"-dc", "packed"}, dir);
  ASSERT_EQ(0, r.status) << r.errors;
  EXPECT_BYTES_EQ(text, to_bytes(r.output));
  r = run_qz({"-d", "-o", "restored", "packed"}, dir);
  ASSERT_EQ(0, r.status) << r.errors;
  EXPECT_BYTES_EQ(text, read_bytes(path("restored")));
  r = run_qz({"--output=again.qz", "--", "restored"}, dir);
  ASSERT_EQ(0, r.status) << r.errors;
  EXPECT_BYTES_EQ(file, read_bytes(path("again.qz")));
  r = run_qz({"-o", "two.qz", "a.txt", "restored"}, dir);
  EXPECT_EQ(1, r.status);
  EXPECT_FALSE(fs::exists(path("two.qz")));
}

// An existing output stays without -f and is replaced with it; input and output may never be the same file.
TEST_F(QzSafety, OverwriteOnlyWithForce) {
  const bytes text = prose(10000, 300, 9);
  write_bytes(path("a"), text);
  write_bytes(path("a.qz"), to_bytes("precious"));
  run_result r = run_qz({"a"}, dir);
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(contains(r.errors, "qz: a.qz: already exists")) << r.errors;
  EXPECT_BYTES_EQ(to_bytes("precious"), read_bytes(path("a.qz")));
  r = run_qz({"-kvf", "a"}, dir);
  ASSERT_EQ(0, r.status) << r.errors;
  EXPECT_BYTES_EQ(library_stream(text, true), read_bytes(path("a.qz")));
  EXPECT_TRUE(contains(r.errors, "a: 10000 -> ")) << r.errors;  // the -v summary

  for (const auto& args : std::vector<std::vector<std::string>>{{"-f", "-o", "a", "a"}, {"-f", "-o", "./a", "a"}}) {
    r = run_qz(args, dir);
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(contains(r.errors, "same file")) << r.errors;
    EXPECT_BYTES_EQ(text, read_bytes(path("a")));
  }
  EXPECT_EQ((std::vector<std::string>{"a", "a.qz"}), names_in(dir));
}

// --rm removes an input only once its output is written: an output that exists (without -f) or cannot be made
// keeps the input, and -c keeps it too.
TEST_F(QzSafety, RemoveOnlyAfterSuccess) {
  const bytes text = prose(10000, 300, 10);
  write_bytes(path("a"), text);
  write_bytes(path("a.qz"), to_bytes("precious"));
  struct attempt {
    std::vector<std::string> args;
    int status;
  };
  std::vector<attempt> attempts = {{{"--rm", "a"}, 1},
                                   {{"--rm", "-o", "missing/dir/a.qz", "a"}, 1},
                                   {{"--rm", "-c", "a"}, 0},
                                   {{"--rm", "-c", "-q", "a"}, 0}};
  // A directory without write permission stops only a process without the right to ignore it.
  fs::create_directory(path("locked"));
  fs::permissions(path("locked"), fs::perms::owner_read | fs::perms::owner_exec);
  if (geteuid() != 0) attempts.push_back({{"--rm", "-o", "locked/a.qz", "a"}, 1});
  for (const attempt& t : attempts) {
    const run_result r = run_qz(t.args, dir);
    EXPECT_EQ(t.status, r.status) << t.args[1] << ": " << r.errors;
    EXPECT_BYTES_EQ(text, read_bytes(path("a")));
    // -c keeps the inputs whatever --rm says, with a warning that -q silences.
    if (t.status == 0) {
      EXPECT_EQ(t.args[2] != "-q", contains(r.errors, "--rm is ignored")) << r.errors;
    }
  }
  EXPECT_TRUE(fs::is_empty(path("locked")));
  fs::remove(path("locked"));
  EXPECT_BYTES_EQ(to_bytes("precious"), read_bytes(path("a.qz")));
  const run_result r = run_qz({"--rm", "-f", "a"}, dir);
  ASSERT_EQ(0, r.status) << r.errors;
  EXPECT_EQ((std::vector<std::string>{"a.qz"}), names_in(dir));
  const run_result d = run_qz({"-d", "--rm", "a.qz"}, dir);
  ASSERT_EQ(0, d.status) << d.errors;
  EXPECT_EQ((std::vector<std::string>{"a"}), names_in(dir));
  EXPECT_BYTES_EQ(text, read_bytes(path("a")));
}

// The output takes the input's permission bits and modification time, in both directions.
TEST_F(QzSafety, PermissionsAndTimesKept) {
  write_bytes(path("a"), prose(5000, 200, 11));
  ASSERT_EQ(0, chmod(path("a").c_str(), 0640));
  const timespec times[2] = {{1000000000, 0}, {1234567890, 123456789}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, path("a").c_str(), times, 0));
  // Each output is checked before it is read again (a read may move its access time).
  for (const auto& [args, name] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"a"}, "a.qz"}, {{"-d", "--rm", "-f", "a.qz"}, "a"}}) {
    SCOPED_TRACE(name);
    ASSERT_EQ(0, run_qz(args, dir).status);
    struct stat st {};
    ASSERT_EQ(0, stat(path(name).c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);
    EXPECT_EQ(1234567890, st.st_mtim.tv_sec);
    EXPECT_EQ(123456789, st.st_mtim.tv_nsec);
    EXPECT_EQ(1000000000, st.st_atim.tv_sec);
  }
}

// With several files, one that fails (a directory, a missing file, a damaged file) gets a message and the others
// are done; the status is 1 at the end, and nothing is left of the failed ones.
TEST_F(QzSafety, SeveralFilesOneFailing) {
  const bytes one = prose(8000, 200, 12), two = picture(40, 30, 13);
  write_bytes(path("one"), one);
  write_bytes(path("two"), two);
  fs::create_directory(path("folder"));
  run_result r = run_qz({"one", "folder", "missing", "two"}, dir);
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(contains(r.errors, "qz: folder: is a directory -- skipped")) << r.errors;
  EXPECT_TRUE(contains(r.errors, "qz: missing: ")) << r.errors;
  EXPECT_EQ((std::vector<std::string>{"folder", "one", "one.qz", "two", "two.qz"}), names_in(dir));

  fs::remove(path("one"));
  fs::remove(path("two"));
  bytes damaged = read_bytes(path("one.qz"));
  damaged[0] = 9;  // a mode no file has
  write_bytes(path("bad.qz"), damaged);
  r = run_qz({"-d", "one.qz", "bad.qz", "two.qz"}, dir);
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("qz: bad.qz: damaged compressed data\n", r.errors);
  EXPECT_BYTES_EQ(one, read_bytes(path("one")));
  EXPECT_BYTES_EQ(two, read_bytes(path("two")));
  EXPECT_EQ((std::vector<std::string>{"bad.qz", "folder", "one", "one.qz", "two", "two.qz"}), names_in(dir));
}

// -t decodes and discards: OK for a whole file, the library's message for a damaged one, and -v says that the
// format has no checksum. -l lists mode, sizes and ratio from the headers.
TEST_F(QzChecks, TestAndList) {
  const bytes text = prose(30000, 500, 14);
  write_bytes(path("good.qz"), library_file(QARN_MODE_TEXT, text));
  bytes damaged = library_file(QARN_MODE_TEXT, text);
  damaged.resize(damaged.size() - 40);
  write_bytes(path("bad.qz"), damaged);
  bytes other_mode = damaged;
  other_mode[0] = 9;
  write_bytes(path("nomode.qz"), other_mode);

  run_result r = run_qz({"-t", "good.qz"}, dir);
  EXPECT_EQ(0, r.status) << r.errors;
  EXPECT_EQ("good.qz: OK\n", r.output);
  r = run_qz({"-tv", "good.qz"}, dir);
  EXPECT_EQ(0, r.status);
  EXPECT_TRUE(contains(r.output, "checksum")) << r.output;
  for (const char* bad : {"bad.qz", "nomode.qz"}) {
    r = run_qz({"--test", bad}, dir);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(std::string("qz: ") + bad + ": " + qarn_status_string(QARN_ERROR_CORRUPT) + "\n", r.errors);
  }
  r = run_qz({"-d", "bad.qz"}, dir);
  EXPECT_EQ(1, r.status);
  EXPECT_EQ((std::vector<std::string>{"bad.qz", "good.qz", "nomode.qz"}), names_in(dir));

  write_bytes(path("photo.qz"), library_file(QARN_MODE_IMAGE, picture(50, 40, 15)));
  r = run_qz({"-l", "good.qz", "photo.qz"}, dir);
  EXPECT_EQ(0, r.status) << r.errors;
  EXPECT_TRUE(contains(r.output, "mode")) << r.output;
  const std::string good_size = std::to_string(fs::file_size(path("good.qz")));
  const std::string photo_size = std::to_string(fs::file_size(path("photo.qz")));
  EXPECT_TRUE(contains(r.output, "text")) << r.output;
  EXPECT_TRUE(contains(r.output, " " + good_size + " ")) << r.output;
  EXPECT_TRUE(contains(r.output, " 30000 ")) << r.output;
  EXPECT_TRUE(contains(r.output, "good.qz\n")) << r.output;
  EXPECT_TRUE(contains(r.output, "image")) << r.output;
  EXPECT_TRUE(contains(r.output, " " + photo_size + " ")) << r.output;
  EXPECT_TRUE(contains(r.output, " " + std::to_string(picture(50, 40, 15).size()) + " ")) << r.output;
  EXPECT_TRUE(contains(r.output, "%")) << r.output;
}

// qz --format=qarn writes qarn's files: for each mode, qz --format=qarn --mode=M writes what `qarn -c` writes for a
// name of that mode, qarn -d restores those files and qz -d restores qarn's.
TEST_F(QzFormat, FormatQarnWritesQarnsFiles) {
  struct sample {
    const char* mode;
    const char* qarn_name;  // a name from which qarn picks that mode
    bytes data;
  };
  const std::vector<sample> samples = {{"text", "in.txt", prose(60000, 800, 16)},
                                       {"image", "in.pnm", picture(90, 70, 17)},
                                       {"mixed", "in.dat", elf_binary(150000, 18)},
                                       {"stored", "in.bin", random_bytes(20000, 19)}};
  for (const sample& s : samples) {
    SCOPED_TRACE(s.mode);
    write_bytes(path(s.qarn_name), s.data);
    write_bytes(path("plain"), s.data);
    ASSERT_EQ(0, run_qarn({"-c", path(s.qarn_name).string(), path("by-qarn.qz").string()}).status);
    const run_result r = run_qz({"--format=qarn", std::string("--mode=") + s.mode, "-f", "plain"}, dir);
    ASSERT_EQ(0, r.status) << r.errors;
    EXPECT_BYTES_EQ(read_bytes(path("by-qarn.qz")), read_bytes(path("plain.qz")));

    ASSERT_EQ(0, run_qarn({"-d", path("plain.qz").string(), path("back").string()}).status);
    EXPECT_BYTES_EQ(s.data, read_bytes(path("back")));
    fs::remove(path("by-qarn"));
    ASSERT_EQ(0, run_qz({"-d", "by-qarn.qz"}, dir).status);
    EXPECT_BYTES_EQ(s.data, read_bytes(path("by-qarn")));
    for (const char* f : {"by-qarn.qz", "by-qarn", "back", "plain.qz"}) fs::remove(path(f));
  }
}

// Without --mode, the content chooses (not the name): a PNM photo is image mode, prose text mode, an executable
// mixed mode, and random bytes fall back to the stored file. --mode overrides the choice. So it goes for the block
// of a stream and for a plain file (--format=qarn).
TEST_F(QzFormat, ModeFromContent) {
  struct sample {
    std::string name;
    bytes data;
    std::vector<std::string> extra;
    uint32_t mode;
  };
  const std::vector<sample> samples = {{"photo.txt", picture(80, 60, 20), {}, QARN_MODE_IMAGE},
                                       {"notes.pnm", prose(50000, 600, 21), {}, QARN_MODE_TEXT},
                                       {"program.txt", elf_binary(150000, 22), {}, QARN_MODE_MIXED},
                                       {"noise.dat", random_bytes(30000, 23), {}, QARN_MODE_STORED},
                                       {"notes.stored", prose(50000, 600, 21), {"--mode=stored"}, QARN_MODE_STORED},
                                       {"notes.mixed", prose(50000, 600, 21), {"--mode", "mixed"}, QARN_MODE_MIXED},
                                       // -l calls stored mode "default": the word is taken as well.
                                       {"notes.default", prose(50000, 600, 21), {"--mode=default"}, QARN_MODE_STORED}};
  for (const sample& s : samples) {
    SCOPED_TRACE(s.name);
    write_bytes(path(s.name), s.data);
    std::vector<std::string> args = s.extra;
    args.push_back(s.name);
    run_result r = run_qz(args, dir);
    ASSERT_EQ(0, r.status) << r.errors;
    const std::vector<block_at> blocks = blocks_of(read_bytes(path(s.name + ".qz")));
    ASSERT_EQ(1u, blocks.size());
    EXPECT_EQ(s.mode, blocks[0].mode);
    args.insert(args.begin(), {"-f", "--format=qarn"});
    r = run_qz(args, dir);
    ASSERT_EQ(0, r.status) << r.errors;
    EXPECT_EQ(s.mode, file_mode_of(read_bytes(path(s.name + ".qz"))));
  }
  const run_result r = run_qz({"--mode=fancy", "x"}, dir);
  EXPECT_EQ(1, r.status);
}

// -h and -V print to standard output and exit 0; an unknown option prints the usage on standard error and exits 1.
TEST_F(QzCommandLine, HelpVersionAndUsage) {
  run_result r = run_qz({"-h"});
  EXPECT_EQ(0, r.status);
  EXPECT_TRUE(contains(r.output, "Usage: qz")) << r.output;
  EXPECT_TRUE(contains(r.output, "checksum")) << r.output;
  r = run_qz({"--version"});
  EXPECT_EQ(0, r.status);
  EXPECT_TRUE(contains(r.output, std::string("qz ") + qarn_version_string())) << r.output;
  EXPECT_TRUE(contains(r.output, qarn_format_version())) << r.output;
  // What the command line cannot take: one line that says why, one that says where to look.
  const std::string try_help = "Try 'qz --help' for more information.\n";
  for (const auto& [args, why] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"-x"}, "unknown option '-x'"},
           {{"--frobnicate"}, "unknown option '--frobnicate'"},
           {{"-dZ"}, "unknown option '-Z'"},
           {{"--stdout=yes"}, "option '--stdout' takes no value"},
           {{"-o"}, "option '-o' needs a value"},
           {{"--mode=fancy", "x"}, "unknown mode 'fancy' (text, image, mixed or stored)"},
           {{"--format=zip"}, "unknown format 'zip' (qz or qarn)"},
           {{"--format"}, "option '--format' needs a value"},
           {{"--block-size=0"}, "invalid block size '0' (1 to 256M; K, M and G stand for KiB, MiB and GiB)"},
           {{"--block-size=257M"}, "invalid block size '257M' (1 to 256M; K, M and G stand for KiB, MiB and GiB)"},
           {{"--block-size", "1G"}, "invalid block size '1G' (1 to 256M; K, M and G stand for KiB, MiB and GiB)"},
           {{"--block-size=12X"}, "invalid block size '12X' (1 to 256M; K, M and G stand for KiB, MiB and GiB)"},
           {{"--block-size=K"}, "invalid block size 'K' (1 to 256M; K, M and G stand for KiB, MiB and GiB)"}}) {
    r = run_qz(args);
    EXPECT_EQ(1, r.status) << args[0];
    EXPECT_EQ("", r.output);
    EXPECT_EQ("qz: " + why + "\n" + try_help, r.errors);
  }
}

// Compressed data is neither written to nor read from a terminal unless -f says so.
TEST_F(QzCommandLine, TerminalsRefusedWithoutForce) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) GTEST_SKIP() << "no pseudo-terminal";
  const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  const bytes text = to_bytes("a few words\n");
  run_result r = run_program(qz_exe(), {}, text, dir, -1, terminal);
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(contains(r.errors, "qz: compressed data not written to a terminal")) << r.errors;
  r = run_program(qz_exe(), {"-d"}, {}, dir, terminal, -1);
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(contains(r.errors, "qz: compressed data not read from a terminal")) << r.errors;
  r = run_program(qz_exe(), {"-f"}, text, dir, -1, terminal);
  EXPECT_EQ(0, r.status) << r.errors;

  // On a terminal's standard error, a large input shows a progress line, erased at the end.
  write_bytes(path("large"), bytes(size_t{17} << 20, 'x'));
  r = run_program(qz_exe(), {"--mode=stored", "large"}, {}, dir, -1, -1, terminal);
  EXPECT_EQ(0, r.status);
  // What the terminal received: its buffer is handed on asynchronously, so it is read until it stays empty.
  std::string screen;
  for (pollfd p{master, POLLIN, 0}; poll(&p, 1, 500) > 0;) {
    char buf[4096];
    const ssize_t k = read(master, buf, sizeof buf);
    if (k <= 0) break;
    screen.append(buf, size_t(k));
  }
  const size_t line = screen.find("qz: large: ");
  ASSERT_NE(std::string::npos, line) << screen;
  screen = screen.substr(line);
  EXPECT_TRUE(contains(screen, "MB read")) << screen;
  EXPECT_EQ(screen.size(), screen.rfind("\r\033[K") + 4) << screen;  // erased at the end
  close(terminal);
  close(master);
}

namespace {

// qz started without waiting, in `cwd`: its standard input and output on /dev/null, its standard error a pipe.
struct started_qz {
  pid_t pid;
  int errors_fd;
  // Waits for it to end; returns its exit status (or 128 + signal) and what it wrote on standard error.
  std::pair<int, std::string> finish() {
    std::string errors;
    char buf[4096];
    for (ssize_t k; (k = read(errors_fd, buf, sizeof buf)) > 0;) errors.append(buf, size_t(k));
    close(errors_fd);
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), errors};
  }
};

// Standard input is /dev/null, or `input_file` when given; standard output /dev/null, or closed.
started_qz start_qz(const std::vector<std::string>& args, const fs::path& cwd, const fs::path& input_file = {},
                    bool close_stdout = false) {
  int err[2];
  if (pipe(err) != 0) std::abort();
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_RDWR);
    const int in = input_file.empty() ? null : open(input_file.c_str(), O_RDONLY);
    dup2(in, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    for (int fd : {in, null, err[0], err[1]})
      if (fd > STDERR_FILENO) close(fd);
    if (close_stdout) close(STDOUT_FILENO);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    std::vector<char*> argv;
    std::string exe = qz_exe();
    argv.push_back(exe.data());
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  close(err[1]);
  return {pid, err[0]};
}

// Whether the process has a file open in `dir` other than `except`, or still runs at all; waits until one of the
// two is false. Returns true when such a file was seen.
bool wait_for_open_file(pid_t pid, const fs::path& dir, const fs::path& except = {}) {
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  const std::string prefix = fs::canonical(dir).string() + "/";
  for (;;) {
    std::error_code e;
    for (const auto& entry : fs::directory_iterator(fds, e)) {
      std::error_code le;
      const std::string target = fs::read_symlink(entry.path(), le).string();
      if (!le && target.rfind(prefix, 0) == 0 && (except.empty() || target != fs::canonical(except).string()))
        return true;
    }
    siginfo_t ended{};  // looked at, not reaped: the caller waits for it
    if (e || (waitid(P_PID, pid, &ended, WEXITED | WNOHANG | WNOWAIT) == 0 && ended.si_pid == pid)) return false;
  }
}

// The same input, repeated up to n bytes: large inputs without the cost of generating them.
bytes repeated(const bytes& part, size_t n) {
  bytes b;
  b.reserve(n);
  while (b.size() < n) b.insert(b.end(), part.begin(), part.begin() + std::min(part.size(), n - b.size()));
  return b;
}

// qz with its standard output closed; standard input from `input_file` when given.
run_result run_qz_stdout_closed(const std::vector<std::string>& args, const fs::path& cwd,
                                const fs::path& input_file = {}) {
  auto [status, errors] = start_qz(args, cwd, input_file, true).finish();
  return {status, "", errors};
}

}  // namespace

// Data for a standard output that was closed is an error, in every direction, as it is for the usual compressors:
// nothing may be lost with status 0.
TEST_F(QzPipes, ClosedStandardOutputIsAnError) {
  const bytes text = prose(20000, 400, 40);
  write_bytes(path("a"), text);
  write_bytes(path("a.qz"), library_file(QARN_MODE_TEXT, text));
  struct row {
    std::vector<std::string> args;
    const char* input;  // standard input, when not empty
  };
  for (const row& r : {row{{"-c", "a"}, ""}, row{{"-dc", "a.qz"}, ""}, row{{}, "a"}, row{{"-d"}, "a.qz"}}) {
    SCOPED_TRACE((r.args.empty() ? std::string("filter") : r.args[0]) + " " + r.input);
    const run_result q = run_qz_stdout_closed(r.args, dir, *r.input ? path(r.input) : fs::path());
    EXPECT_EQ(1, q.status);
    EXPECT_EQ("qz: (stdout): Bad file descriptor\n", q.errors);
  }
  EXPECT_EQ((std::vector<std::string>{"a", "a.qz"}), names_in(dir));
}

// Streams join: `qz -c a b` (and -o -, and standard input among the files) writes a frame per file, restored as the
// files one after another. Plain files (--format=qarn) cannot be joined (the first would swallow or drop the
// others): several inputs are never compressed into one such stream. -o names one output in every format.
TEST_F(QzPipes, SeveralFilesToOneStream) {
  const bytes a = prose(8000, 300, 41), b = picture(40, 30, 42);
  write_bytes(path("a"), a);
  write_bytes(path("b"), b);
  // A file's frame records its length; standard input's does not.
  for (const auto& [args, a_from_file] : std::vector<std::pair<std::vector<std::string>, bool>>{
           {{"-c", "a", "b"}, true}, {{"-c", "-", "b"}, false}, {{"-o", "-", "a", "b"}, true}}) {
    SCOPED_TRACE(args[0] + " " + args[1]);
    const run_result r = run_qz(args, dir, a);
    ASSERT_EQ(0, r.status) << r.errors;
    EXPECT_BYTES_EQ(joined(library_stream(a, a_from_file), library_stream(b, true)), to_bytes(r.output));
    const run_result d = run_qz({"-d"}, dir, to_bytes(r.output));
    ASSERT_EQ(0, d.status) << d.errors;
    EXPECT_BYTES_EQ(joined(a, b), to_bytes(d.output));
  }
  for (const auto& args : std::vector<std::vector<std::string>>{{"--format=qarn", "-c", "a", "b"},
                                                                {"--format=qarn", "-o", "ab.qz", "a", "b"},
                                                                {"--format=qarn", "-c", "-", "b"},
                                                                {"--format=qarn", "-o", "-", "a", "b"}}) {
    const run_result r = run_qz(args, dir, a);
    EXPECT_EQ(1, r.status) << args[1];
    EXPECT_EQ("", r.output) << args[1];
    EXPECT_EQ("qz: cannot write several files to one stream\n", r.errors) << args[1];
  }
  run_result r = run_qz({"-o", "ab.qz", "a", "b"}, dir);
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("qz: -o names one output, but 2 files were given (use -c to join them)\n", r.errors);
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), names_in(dir));

  ASSERT_EQ(0, run_qz({"a", "b"}, dir).status);
  r = run_qz({"-dc", "a.qz", "b.qz"}, dir);
  ASSERT_EQ(0, r.status) << r.errors;
  EXPECT_BYTES_EQ(joined(a, b), to_bytes(r.output));
}

// A plain image or mixed file followed by anything (another file, as `qz --format=qarn -c b >> a.qz` makes) is
// refused: it would restore as the first file alone, or be taken for damage. Nothing is written.
TEST_F(QzChecks, TrailingDataAfterAPlainFileIsRefused) {
  const bytes image = library_file(QARN_MODE_IMAGE, picture(60, 40, 43));
  const bytes mixed = library_file(QARN_MODE_MIXED, elf_binary(150000, 44));
  ASSERT_EQ(QARN_MODE_IMAGE, file_mode_of(image));
  ASSERT_EQ(QARN_MODE_MIXED, file_mode_of(mixed));
  const std::vector<std::pair<std::string, bytes>> files = {{"image-image.qz", joined(image, image)},
                                                            {"image-text.qz", joined(image, to_bytes("x"))},
                                                            {"mixed-mixed.qz", joined(mixed, mixed)},
                                                            {"mixed-image.qz", joined(mixed, image)}};
  for (const auto& [name, file] : files) write_bytes(path(name), file);
  for (const auto& [name, file] : files) {
    for (const auto& args : std::vector<std::vector<std::string>>{{"-d", name}, {"-dc", name}, {"-t", name}}) {
      SCOPED_TRACE(args[0] + " " + name);
      const run_result r = run_qz(args, dir);
      EXPECT_EQ(1, r.status);
      EXPECT_EQ("", r.output);
      EXPECT_EQ("qz: " + name + ": trailing data after the compressed file\n", r.errors);
    }
    // Through a pipe as well.
    const run_result r = run_qz({"-d"}, dir, file);
    EXPECT_EQ(1, r.status) << name;
    EXPECT_EQ("qz: (stdin): trailing data after the compressed file\n", r.errors);
  }
  EXPECT_EQ(4u, names_in(dir).size());
}

// An input that grows or shrinks while qz reads it is refused with qarn's words; no output is left, and the input
// stays even with --rm.
TEST_F(QzSafety, InputThatChangesWhileReadIsKept) {
  const bytes text = repeated(prose(1000000, 3000, 45), 30000000);
  // Grows: a writer appends to it until qz ends.
  write_bytes(path("growing"), text);
  started_qz grow = start_qz({"--rm", "growing"}, dir);
  std::atomic<bool> done{false};
  size_t appended = 0;
  std::thread writer([&] {
    const int fd = open(path("growing").c_str(), O_WRONLY | O_APPEND);
    const std::string more = "and a few more words\n";
    while (!done) {
      if (write(fd, more.data(), more.size()) > 0) appended += more.size();
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    close(fd);
  });
  const auto [grow_status, grow_errors] = grow.finish();
  done = true;
  writer.join();
  EXPECT_EQ(1, grow_status);
  EXPECT_EQ("qz: File growing changed while it was read\n", grow_errors);
  ASSERT_TRUE(fs::exists(path("growing")));
  EXPECT_EQ(text.size() + appended, fs::file_size(path("growing")));
  EXPECT_EQ((std::vector<std::string>{"growing"}), names_in(dir));

  // Shrinks: cut once qz has it open.
  write_bytes(path("shrinking"), text);
  started_qz shrink = start_qz({"--rm", "shrinking"}, dir);
  ASSERT_TRUE(wait_for_open_file(shrink.pid, dir));
  fs::resize_file(path("shrinking"), 1000);
  const auto [shrink_status, shrink_errors] = shrink.finish();
  EXPECT_EQ(1, shrink_status);
  EXPECT_EQ("qz: File shrinking changed while it was read\n", shrink_errors);
  EXPECT_EQ((std::vector<std::string>{"growing", "shrinking"}), names_in(dir));
}

// A qz killed while it writes leaves no temporary file behind: it has no name until it is complete.
TEST_F(QzSafety, KilledRunLeavesNothingBehind) {
  write_bytes(path("big"), random_bytes(size_t{80} << 20, 46));
  for (const auto& args : std::vector<std::vector<std::string>>{{"--mode=stored", "big"}, {"-o", "out", "big"}}) {
    SCOPED_TRACE(args[0]);
    started_qz q = start_qz(args, dir);
    // Its output is open (the input aside): kill it there.
    if (wait_for_open_file(q.pid, dir, path("big"))) kill(q.pid, SIGKILL);
    q.finish();
    EXPECT_EQ((std::vector<std::string>{"big"}), names_in(dir));
  }
}

// qz replaces an output that is a symbolic link by a regular file, only with -f, and leaves the link's target alone
// (qarn writes through such a link instead: files_test).
TEST_F(QzSafety, SymbolicLinkOutputIsReplacedOnlyWithForce) {
  const bytes text = prose(6000, 200, 47);
  write_bytes(path("a"), text);
  write_bytes(path("target"), to_bytes("the link's target"));
  fs::create_symlink("target", path("a.qz"));
  run_result r = run_qz({"a"}, dir);
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(fs::is_symlink(path("a.qz")));
  r = run_qz({"-f", "a"}, dir);
  ASSERT_EQ(0, r.status) << r.errors;
  EXPECT_FALSE(fs::is_symlink(path("a.qz")));
  EXPECT_BYTES_EQ(library_stream(text, true), read_bytes(path("a.qz")));
  EXPECT_BYTES_EQ(to_bytes("the link's target"), read_bytes(path("target")));
}

namespace {

using QzStreams = scratch_test;

// The stream of qz --mode=stored --block-size=64K over `n` blocks of noise: every block stored, so that a changed
// byte of a body is found by its checksum alone.
bytes stored_stream(const fs::path& dir, const bytes& input) {
  write_bytes(dir / "in", input);
  const run_result r = run_qz({"--mode=stored", "--block-size=64K", "-c", "in"}, dir);
  EXPECT_EQ(0, r.status) << r.errors;
  fs::remove(dir / "in");
  return to_bytes(r.output);
}

}  // namespace

// qz writes the .qz stream by default, whatever the input: the library's stream (with the file's length), which
// qz -d restores and which qarn -d, whose files have no such header, refuses as corrupt.
TEST_F(QzStreams, DefaultIsAStreamThatQarnRefuses) {
  const std::vector<std::pair<std::string, bytes>> inputs = {{"text", prose(100000, 1000, 50)},
                                                             {"photo", picture(120, 90, 51)},
                                                             {"program", elf_binary(150000, 52)},
                                                             {"noise", random_bytes(30000, 53)},
                                                             {"empty", {}}};
  for (const auto& [name, data] : inputs) {
    SCOPED_TRACE(name);
    write_bytes(path(name), data);
    ASSERT_EQ(0, run_qz({name}, dir).status);
    const bytes file = read_bytes(path(name + ".qz"));
    EXPECT_TRUE(is_stream(file));
    // An empty file is read as a stream (files of /proc say they are empty too): no length is recorded.
    EXPECT_BYTES_EQ(library_stream(data, !data.empty()), file);
    const run_result q = run_qarn({"-d", path(name + ".qz").string(), path("by-qarn").string()});
    EXPECT_EQ(1, q.status);
    EXPECT_EQ("File " + path(name + ".qz").string() + " is corrupt\n", q.output);
    EXPECT_FALSE(fs::exists(path("by-qarn")));
    fs::remove(path(name));
    ASSERT_EQ(0, run_qz({"-d", name + ".qz"}, dir).status);
    EXPECT_BYTES_EQ(data, read_bytes(path(name)));
  }
}

// Streams concatenate: streams of every mode (one of several blocks, one of nothing, a skippable frame among them)
// joined with cat, or written one after another with >>, restore to the inputs joined, from a file and from a pipe.
TEST_F(QzStreams, ConcatenatedStreamsRestoreInOrder) {
  struct part {
    std::string name;
    std::vector<std::string> options;
    bytes data;
  };
  const std::vector<part> parts = {{"text", {"--mode=text"}, prose(60000, 800, 54)},
                                   {"image", {"--mode=image"}, picture(70, 50, 55)},
                                   {"mixed", {"--mode=mixed"}, elf_binary(120000, 56)},
                                   {"stored", {"--mode=stored"}, random_bytes(20000, 57)},
                                   {"chosen", {}, prose(30000, 500, 58)},
                                   {"blocks", {"--block-size=16K"}, prose(70000, 600, 59)},
                                   {"nothing", {}, {}}};
  // A skippable frame: its magic, its length, and that many bytes, which readers pass over.
  const bytes skippable = {0xb6, 0x51, 0x5a, 0x0a, 5, 0, 0, 0, 'l', 'a', 't', 'e', 'r'};
  bytes cat, all;
  std::string appends = "cd '" + dir.string() + "' && : > appended.qz";
  for (const part& p : parts) {
    write_bytes(path(p.name), p.data);
    std::vector<std::string> args = p.options;
    args.insert(args.end(), {"-c", p.name});
    const run_result r = run_qz(args, dir);
    ASSERT_EQ(0, r.status) << p.name << ": " << r.errors;
    ASSERT_TRUE(is_stream(to_bytes(r.output))) << p.name;
    cat = joined(cat, to_bytes(r.output));
    if (p.name == "stored") cat = joined(cat, skippable);
    all = joined(all, p.data);
    appends += " && '" + qz_exe() + "'";
    for (const std::string& o : p.options) appends += " " + o;
    appends += " -c " + p.name + " >> appended.qz";
  }
  EXPECT_EQ(6u, std::count_if(parts.begin(), parts.end(), [](const part& p) { return !p.data.empty(); }));
  write_bytes(path("cat.qz"), cat);
  ASSERT_EQ(0, std::system(appends.c_str()));
  for (const char* name : {"cat.qz", "appended.qz"}) {
    SCOPED_TRACE(name);
    run_result r = run_qz({"-dc", name}, dir);
    ASSERT_EQ(0, r.status) << r.errors;
    EXPECT_BYTES_EQ(all, to_bytes(r.output));
    r = run_qz({"-d"}, dir, read_bytes(path(name)));
    ASSERT_EQ(0, r.status) << r.errors;
    EXPECT_BYTES_EQ(all, to_bytes(r.output));
    r = run_qz({"-t", name}, dir);
    EXPECT_EQ(0, r.status) << r.errors;
  }
}

// Bytes after the last frame that do not form a frame are an error, not a warning (-q does not hide it): status 1
// and no named output, from a file and from a pipe. A frame cut short (even within its magic) is damage.
TEST_F(QzStreams, TrailingDataAfterAStreamIsRefused) {
  const bytes text = prose(20000, 400, 60);
  write_bytes(path("a"), text);
  ASSERT_EQ(0, run_qz({"a"}, dir).status);
  const bytes stream = read_bytes(path("a.qz"));
  fs::remove(path("a"));
  fs::remove(path("a.qz"));
  const std::string trailing = qarn_status_string(QARN_ERROR_TRAILING_DATA);
  const std::string damaged = qarn_status_string(QARN_ERROR_CORRUPT);
  const std::vector<std::tuple<std::string, bytes, std::string>> cases = {
      {"byte", to_bytes("x"), trailing},
      {"line", to_bytes("garbage\n"), trailing},
      {"plain", library_file(QARN_MODE_TEXT, text), trailing},
      {"magic", {0xb7, 0x51, 0x5a}, damaged},  // the start of a frame, cut short
      {"cut", bytes(stream.begin(), stream.begin() + 10), damaged}};
  for (const auto& [name, tail, why] : cases) {
    SCOPED_TRACE(name);
    const std::string file = name + ".qz";
    write_bytes(path(file), joined(stream, tail));
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-d", file}, {"-d", "-q", "-f", file}, {"-t", file}, {"-l", file}, {"-dc", file}}) {
      SCOPED_TRACE(args[0] + " " + args[1]);
      const run_result r = run_qz(args, dir);
      EXPECT_EQ(1, r.status);
      EXPECT_TRUE(contains(r.errors, "qz: " + file + ": " + why + "\n")) << r.errors;
      EXPECT_FALSE(fs::exists(path(name)));
    }
    const run_result r = run_qz({"-d"}, dir, joined(stream, tail));
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("qz: (stdin): " + why + "\n", r.errors);
    fs::remove(path(file));
  }
  EXPECT_TRUE(names_in(dir).empty());
}

// A damaged block: no named output is left, and on standard output only the whole blocks before it, verified,
// have been written. A changed body or checksum is a checksum mismatch; a changed block header or a stream cut
// inside a block is damage.
TEST_F(QzStreams, DamagedBlockWritesOnlyTheVerifiedBlocksBeforeIt) {
  const size_t block = 65536;
  const bytes input = random_bytes(5 * block, 61);
  const bytes stream = stored_stream(dir, input);
  const std::vector<block_at> blocks = blocks_of(stream);
  ASSERT_EQ(5u, blocks.size());
  const block_at third = blocks[2];
  const std::string mismatch = qarn_status_string(QARN_ERROR_CHECKSUM);
  const std::string damaged = qarn_status_string(QARN_ERROR_CORRUPT);
  const std::vector<std::tuple<std::string, size_t, std::string>> cases = {
      {"body", third.offset + block_header_bytes + 4 + 1000, mismatch},
      {"checksum", third.offset + block_header_bytes + third.stored + 3, mismatch},
      {"lengths", third.offset + 1, damaged},
      {"cut", SIZE_MAX, damaged}};
  const bytes before(input.begin(), input.begin() + 2 * block);
  for (const auto& [name, at, why] : cases) {
    SCOPED_TRACE(name);
    bytes bad = stream;
    if (at == SIZE_MAX)
      bad.resize(third.offset + block_header_bytes + third.stored / 2);
    else
      bad[at] ^= 0x10;
    write_bytes(path("bad.qz"), bad);
    run_result r = run_qz({"-d", "bad.qz"}, dir);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("qz: bad.qz: " + why + "\n", r.errors);
    EXPECT_EQ((std::vector<std::string>{"bad.qz"}), names_in(dir));
    r = run_qz({"-dc", "bad.qz"}, dir);
    EXPECT_EQ(1, r.status);
    EXPECT_BYTES_EQ(before, to_bytes(r.output));
    r = run_qz({"-d"}, dir, bad);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("qz: (stdin): " + why + "\n", r.errors);
    EXPECT_BYTES_EQ(before, to_bytes(r.output));
    r = run_qz({"-t", "bad.qz"}, dir);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("", r.output);
  }
}

// -l: one line per file (modes in order of first use, sizes, ratio, the checksum), from the headers of a file or
// through a pipe; -lv a line per frame and block. -t prints NAME: OK, and -tv says which checks ran.
TEST_F(QzStreams, ListAndTestWords) {
  const bytes a = prose(60000, 800, 62), b = elf_binary(150000, 63);
  write_bytes(path("a"), a);
  write_bytes(path("b"), b);
  run_result r = run_qz({"-c", "a", "b"}, dir);
  ASSERT_EQ(0, r.status) << r.errors;
  const bytes ab = to_bytes(r.output);
  write_bytes(path("ab.qz"), ab);
  write_bytes(path("plain.qz"), library_file(QARN_MODE_TEXT, a));
  const std::vector<block_at> blocks = blocks_of(ab);
  ASSERT_EQ(2u, blocks.size());
  char line[256];
  char ratio[16];
  std::snprintf(ratio, sizeof ratio, "%.1f%%", 100.0 * double(ab.size()) / double(a.size() + b.size()));
  std::snprintf(line, sizeof line, "%-10s %14zu %14zu %7s  %-5s  %s\n", "text+mixed", ab.size(), a.size() + b.size(),
                ratio, "xxh3", "ab.qz");
  const std::string header = "mode           compressed   uncompressed   ratio  check  name\n";
  r = run_qz({"-l", "ab.qz"}, dir);
  ASSERT_EQ(0, r.status) << r.errors;
  EXPECT_EQ(header + line, r.output);
  r = run_qz({"-l"}, dir, ab);
  ASSERT_EQ(0, r.status) << r.errors;
  EXPECT_TRUE(contains(r.output, std::string(line).substr(0, std::string(line).find("xxh3")) + "xxh3   (stdin)\n")) << r.output;
  r = run_qz({"-l", "plain.qz"}, dir);
  ASSERT_EQ(0, r.status) << r.errors;
  EXPECT_TRUE(contains(r.output, "  none   plain.qz\n")) << r.output;

  r = run_qz({"-lv", "ab.qz"}, dir);
  ASSERT_EQ(0, r.status) << r.errors;
  const size_t second = blocks[1].offset - 24;  // the second frame's header, with its content size, before its block
  const std::string block = std::to_string(QARN_DEFAULT_BLOCK_SIZE);
  for (const std::string& want : std::vector<std::string>{
           line, "  frame at 0: version 1, block size " + block + ", content size 60000, checksums xxh3\n",
        "    block at 24: text, " + std::to_string(blocks[0].stored) + " -> 60000 bytes\n",
        "  frame at " + std::to_string(second) + ": version 1, block size " + block + ", content size 150000",
        "    block at " + std::to_string(blocks[1].offset) + ": mixed, " + std::to_string(blocks[1].stored) +
            " -> 150000 bytes\n",
        "    end at " + std::to_string(ab.size() - block_header_bytes - 8) + ": 1 block, "})
    EXPECT_TRUE(contains(r.output, want)) << want << "\nin\n" << r.output;

  for (const auto& [args, output] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"-t", "ab.qz"}, "ab.qz: OK\n"},
           {{"-tv", "ab.qz"}, "ab.qz: OK (text+mixed; checksums verified)\n"},
           {{"-tv", "plain.qz"}, "plain.qz: OK (text mode; no checksum: only damage that breaks the structure is found)\n"},
           {{"-tv", "-"}, "(stdin): OK (text+mixed; checksums verified)\n"}}) {
    r = run_qz(args, dir, ab);
    EXPECT_EQ(0, r.status) << r.errors;
    EXPECT_EQ(output, r.output);
  }
}

// --block-size takes bytes, or K, M and G (KiB, MiB, GiB), from 1 to 256 MiB: the frame's header records it.
TEST_F(QzStreams, BlockSizeOption) {
  const bytes text = prose(50000, 600, 64);
  for (const auto& [value, size] : std::vector<std::pair<std::string, uint32_t>>{
           {"64K", 65536}, {"64KiB", 65536}, {"1M", 1 << 20}, {"1000", 1000}, {"256M", 1 << 28}, {"256MiB", 1 << 28}}) {
    SCOPED_TRACE(value);
    const run_result r = run_qz({"--block-size=" + value}, dir, text);
    ASSERT_EQ(0, r.status) << r.errors;
    const bytes stream = to_bytes(r.output);
    EXPECT_EQ(size, u32_at(stream, 8));
    EXPECT_EQ((text.size() + size - 1) / size, blocks_of(stream).size());
  }
  const run_result r = run_qz({"--format=qarn", "--block-size=1M", "--mode=text"}, dir, text);
  ASSERT_EQ(0, r.status) << r.errors;
  EXPECT_BYTES_EQ(library_file(QARN_MODE_TEXT, text), to_bytes(r.output));
  EXPECT_EQ("qz: --block-size is ignored with --format=qarn: a plain file is one block\n", r.errors);
}

// The magic fragment names the stream and its version for file(1); a plain qarn file is not taken for one.
TEST_F(QzStreams, MagicFragmentNamesTheStream) {
  if (run_program("file", {"--version"}).status != 0) GTEST_SKIP() << "file is not installed";
  write_bytes(path("a"), prose(20000, 400, 65));
  ASSERT_EQ(0, run_qz({"a"}, dir).status);
  write_bytes(path("plain.qz"), library_file(QARN_MODE_TEXT, prose(20000, 400, 65)));
  run_result r = run_program("file", {"-b", "-m", QZ_MAGIC, "a.qz"}, {}, dir);
  ASSERT_EQ(0, r.status) << r.errors;
  EXPECT_EQ("qz compressed data (.qz stream version 1), block checksums, block size " +
                std::to_string(QARN_DEFAULT_BLOCK_SIZE) + ", first frame of 20000 bytes\n",
            r.output);
  r = run_program("file", {"-b", "--mime-type", "-m", QZ_MAGIC, "a.qz"}, {}, dir);
  EXPECT_EQ("application/x-qz\n", r.output);
  r = run_program("file", {"-b", "-m", QZ_MAGIC, "plain.qz"}, {}, dir);
  EXPECT_FALSE(contains(r.output, "qz")) << r.output;
}

// 1,100,000,000 bytes, past what a plain file may hold, go through `qz --mode=stored | qz -d` with the address
// space of each limited to 2 GiB, far below the input: memory is bounded by the block size, not the input. The
// bytes are made on the fly (each 8-byte word its own index), and the digests (XXH3-128) of what went in and what
// came out are compared.
TEST(QzLarge, AGigabytePipeInBoundedMemory) {
  if (sanitized_build) GTEST_SKIP() << "the sanitizers need more address space than the limit";
  constexpr uint64_t total = 1100000000;
  constexpr rlim_t limit = rlim_t{2} << 30;
  int into[2], between[2], back[2];
  ASSERT_EQ(0, pipe(into));
  ASSERT_EQ(0, pipe(between));
  ASSERT_EQ(0, pipe(back));
  auto start = [&](std::vector<std::string> args, int in, int out) {
    const pid_t pid = fork();
    if (pid == 0) {
      dup2(in, STDIN_FILENO);
      dup2(out, STDOUT_FILENO);
      for (int fd : {into[0], into[1], between[0], between[1], back[0], back[1]}) close(fd);
      const rlimit r{limit, limit};
      setrlimit(RLIMIT_AS, &r);
      std::string exe = qz_exe();
      std::vector<char*> argv = {exe.data()};
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(exe.c_str(), argv.data());
      _exit(127);
    }
    return pid;
  };
  const pid_t compressor = start({"--mode=stored"}, into[0], between[1]);
  const pid_t decompressor = start({"-d"}, between[0], back[1]);
  for (int fd : {into[0], between[0], between[1], back[1]}) close(fd);
  struct sigaction ignore {}, old {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old);  // should qz end early, the writer sees EPIPE

  XXH3_state_t sent, received;
  XXH3_128bits_reset(&sent);
  XXH3_128bits_reset(&received);
  std::thread writer([&] {
    std::vector<uint64_t> words(size_t{1} << 17);
    uint64_t next = 0, left = total;
    while (left > 0) {
      for (uint64_t& w : words) w = next++;
      const size_t n = static_cast<size_t>(std::min<uint64_t>(left, words.size() * 8));
      XXH3_128bits_update(&sent, words.data(), n);
      const auto* p = reinterpret_cast<const uint8_t*>(words.data());
      for (size_t done = 0; done < n;) {
        const ssize_t k = write(into[1], p + done, n - done);
        if (k <= 0 && errno == EINTR) continue;
        if (k <= 0) {
          left = n;
          break;
        }
        done += static_cast<size_t>(k);
      }
      left -= n;
    }
    close(into[1]);
  });
  uint64_t count = 0;
  std::vector<uint8_t> buf(size_t{1} << 20);
  for (ssize_t k; (k = read(back[0], buf.data(), buf.size())) != 0;) {
    if (k < 0 && errno == EINTR) continue;
    if (k < 0) break;
    XXH3_128bits_update(&received, buf.data(), static_cast<size_t>(k));
    count += static_cast<uint64_t>(k);
  }
  close(back[0]);
  writer.join();
  sigaction(SIGPIPE, &old, nullptr);
  int status = 0;
  waitpid(compressor, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  waitpid(decompressor, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(total, count);
  const XXH128_hash_t in = XXH3_128bits_digest(&sent), out = XXH3_128bits_digest(&received);
  EXPECT_TRUE(in.low64 == out.low64 && in.high64 == out.high64);
}
