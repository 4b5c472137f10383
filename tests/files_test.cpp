// files_test.cpp — the program and the user's files: in-place runs, outputs replaced only on success, interrupted
// runs, streams as inputs, inputs that change while read, permissions, directories, and memory limits.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <set>
#include <thread>

#include "helpers.h"
#include "util.h"

using namespace qarn;

namespace fs = std::filesystem;

namespace {

// An input that compresses in its mode, under a name that picks that mode.
struct sample {
  std::string name;
  bytes data;
  uint32_t mode;  // of the file written
};

bytes joined(bytes a, const bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<sample> samples() {
  return {
      {"prose.txt", prose(60000, 500, 21), mode_text},
      {"ramp.pnm", picture(160, 120, 22), mode_image},
      {"program.dat", binary(200000, 23), mode_mixed},
      {"noise.bin", random_bytes(5000, 24), mode_stored},
      {"short.txt", to_bytes("too short to gain\n"), mode_stored},
      {"comment.pnm", joined(to_bytes("P6\n# not restorable\n1 1\n255\n"), prose(30000, 300, 25)), mode_mixed},
  };
}

std::set<std::string> names_in(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

class files_test : public scratch_test {
 protected:
  // The file qarn writes for in, compressed from a separate path.
  bytes compressed(const sample& s) {
    const fs::path in = path("ref-" + s.name), out = path("ref.q");
    write_bytes(in, s.data);
    EXPECT_EQ(run_qarn({"-c", in, out}).status, 0) << s.name;
    bytes file = read_bytes(out);
    fs::remove(in);
    fs::remove(out);
    return file;
  }
};

TEST_F(files_test, in_place_runs_write_what_a_separate_output_gets) {
  for (const sample& s : samples()) {
    const bytes file = compressed(s);
    ASSERT_GE(file.size(), 4u);
    EXPECT_EQ(get_u32(file.data()), s.mode) << s.name;
    const fs::path a = path(s.name), b = path("other-" + s.name);

    // The same path.
    write_bytes(a, s.data);
    EXPECT_EQ(run_qarn({"-c", a, a}).status, 0) << s.name;
    EXPECT_BYTES_EQ(file, read_bytes(a)) << s.name << ", same path";
    EXPECT_EQ(run_qarn({"-d", a, a}).status, 0) << s.name;
    EXPECT_BYTES_EQ(s.data, read_bytes(a)) << s.name << ", same path";

    // A hard link: the output's name gets the new file, the input's keeps the old one.
    fs::create_hard_link(a, b);
    EXPECT_EQ(run_qarn({"-c", a, b}).status, 0) << s.name;
    EXPECT_BYTES_EQ(file, read_bytes(b)) << s.name << ", hard link";
    EXPECT_BYTES_EQ(s.data, read_bytes(a)) << s.name << ", hard link";
    fs::remove(a);
    fs::create_hard_link(b, a);
    EXPECT_EQ(run_qarn({"-d", b, a}).status, 0) << s.name;
    EXPECT_BYTES_EQ(s.data, read_bytes(a)) << s.name << ", hard link";
    EXPECT_BYTES_EQ(file, read_bytes(b)) << s.name << ", hard link";
    fs::remove(b);

    // A symbolic link to the input as the output: the link stays, its target is replaced.
    fs::create_symlink(a.filename(), b);
    EXPECT_EQ(run_qarn({"-c", a, b}).status, 0) << s.name;
    EXPECT_TRUE(fs::is_symlink(b)) << s.name;
    EXPECT_BYTES_EQ(file, read_bytes(a)) << s.name << ", symbolic link";
    EXPECT_EQ(run_qarn({"-d", b, a}).status, 0) << s.name;
    EXPECT_BYTES_EQ(s.data, read_bytes(a)) << s.name << ", symbolic link";
    EXPECT_TRUE(fs::is_symlink(b)) << s.name;
    fs::remove(a);
    fs::remove(b);
    EXPECT_EQ(names_in(dir), std::set<std::string>{}) << s.name << ": a file was left behind";
  }
}

TEST_F(files_test, failed_runs_leave_an_existing_output_as_it_was) {
  const bytes precious = to_bytes("the user's file\n");
  std::vector<std::pair<std::string, bytes>> damaged;
  for (const sample& s : samples()) {
    bytes file = compressed(s);
    file.resize(file.size() - 1);
    if (s.mode != mode_stored) damaged.push_back({s.name, file});
  }
  damaged.push_back({"unknown mode", bytes{9, 0, 0, 0, 1, 2, 3}});
  damaged.push_back({"no header", bytes{0, 0}});
  for (const auto& [name, file] : damaged) {
    write_bytes(path("bad"), file);
    write_bytes(path("out"), precious);
    run_result r = run_qarn({"-d", path("bad"), path("out")});
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_NE(r.output.find("File " + path("bad").string() + " is corrupt\n"), std::string::npos) << name;
    EXPECT_BYTES_EQ(precious, read_bytes(path("out"))) << name;
    EXPECT_EQ(names_in(dir), (std::set<std::string>{"bad", "out"})) << name;
  }
  // Refused inputs in the other direction.
  fs::create_directory(path("folder.txt"));
  run_result r = run_qarn({"-c", path("folder.txt"), path("out")});
  EXPECT_EQ(r.status, 1);
  EXPECT_BYTES_EQ(precious, read_bytes(path("out")));
}

TEST_F(files_test, outputs_that_are_not_regular_files_are_written_directly) {
  write_bytes(path("in.txt"), prose(20000, 200, 26));
  run_result r = run_qarn({"-c", path("in.txt"), "/dev/null"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, "Compressing text\n");
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
  // A symbolic link to another file: the link stays and leads to the new file.
  write_bytes(path("target"), to_bytes("old"));
  fs::create_symlink(path("target"), path("link"));
  ASSERT_EQ(run_qarn({"-c", path("in.txt"), path("link")}).status, 0);
  EXPECT_TRUE(fs::is_symlink(path("link")));
  EXPECT_EQ(read_bytes(path("target"))[0], mode_text);
  // A dangling link: its target is made.
  fs::create_symlink(path("made"), path("dangling"));
  ASSERT_EQ(run_qarn({"-c", path("in.txt"), path("dangling")}).status, 0);
  EXPECT_TRUE(fs::is_symlink(path("dangling")));
  EXPECT_EQ(read_bytes(path("made"))[0], mode_text);
}

// The standard output named as the output (/dev/stdout, /dev/fd/1, a pipe there) is written directly, and the
// progress line goes to standard error: what reaches the pipe is the whole file and nothing else.
TEST_F(files_test, the_standard_output_as_the_output_gets_the_file_alone) {
  const bytes data = prose(20000, 200, 48);
  write_bytes(path("in.txt"), data);
  const bytes file = compressed({"in.txt", data, mode_text});
  write_bytes(path("packed"), file);
  for (const char* out : {"/dev/stdout", "/dev/fd/1"}) {
    run_result c = run_qarn({"-c", path("in.txt"), out});
    EXPECT_EQ(c.status, 0) << out << ": " << c.errors;
    EXPECT_BYTES_EQ(file, to_bytes(c.output)) << out;
    EXPECT_EQ(c.errors, "Compressing text\n") << out;
    run_result d = run_qarn({"-d", path("packed"), out});
    EXPECT_EQ(d.status, 0) << out << ": " << d.errors;
    EXPECT_BYTES_EQ(data, to_bytes(d.output)) << out;
    EXPECT_EQ(d.errors, "Decompressing text\n") << out;
  }
  // A failure says so on standard error as well, and the data written is the output's alone.
  bytes cut = file;
  cut.resize(cut.size() - 10);
  write_bytes(path("cut"), cut);
  run_result r = run_qarn({"-d", path("cut"), "/dev/stdout"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.errors, "Decompressing text\nFile " + path("cut").string() + " is corrupt\n");
  EXPECT_EQ(names_in(dir), (std::set<std::string>{"cut", "in.txt", "packed"}));
}

// The output's data is synced before its name is put in place, and the directory after the name replaced an
// existing file; qz syncs the directory after every new name (it may remove the input next). Seen in the system
// calls the programs make, where strace can trace them.
TEST_F(files_test, outputs_are_synced_before_they_are_put_in_place) {
  if (sanitized_build) GTEST_SKIP() << "the sanitizers' runtime makes calls of its own";
  if (std::system("strace -f -qq -e trace=none -o /dev/null true >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "strace is not installed, or may not trace here";
  write_bytes(path("in.txt"), prose(20000, 200, 49));
  const fs::path log = path("calls");
  struct row {
    std::string name;
    std::string command;
    bool directory_synced;
  };
  const std::string qarn = "'" + qarn_exe() + "'", qz = "'" + qz_exe() + "'";
  const std::vector<row> rows = {
      {"qarn, a new output", qarn + " -c in.txt out", false},
      {"qarn, an output replaced", qarn + " -c in.txt out", true},
      {"qarn -d", qarn + " -d out back", false},
      {"qz, a new output", qz + " in.txt", true},
      {"qz -f, an output replaced", qz + " -f -o back in.txt", true},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    const std::string command = "cd '" + dir.string() + "' && strace -f -qq -e trace=fsync,rename,renameat,renameat2,linkat -o '" +
                                log.string() + "' " + r.command + " >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const bytes calls = read_bytes(log);
    std::vector<std::string> lines;
    std::string line;
    for (uint8_t c : calls) {
      if (c == '\n') lines.push_back(line), line.clear();
      else line += char(c);
    }
    // The last call that puts a name in place, and the syncs before and after it.
    int placed = -1;
    for (int i = 0; i < int(lines.size()); i++)
      if (lines[i].find(" rename") != std::string::npos || lines[i].find(" linkat") != std::string::npos) placed = i;
    ASSERT_GE(placed, 0) << std::string(calls.begin(), calls.end());
    bool synced_before = false, synced_after = false;
    for (int i = 0; i < int(lines.size()); i++)
      if (lines[i].find(" fsync(") != std::string::npos) (i < placed ? synced_before : synced_after) = true;
    EXPECT_TRUE(synced_before) << std::string(calls.begin(), calls.end());
    EXPECT_EQ(synced_after, r.directory_synced) << std::string(calls.begin(), calls.end());
  }
}

TEST_F(files_test, outputs_take_the_inputs_permission_bits) {
  for (fs::perms p : {fs::perms(0600), fs::perms(0640), fs::perms(0755), fs::perms(0666)}) {
    for (const char* name : {"a.txt", "a.bin"}) {
      const fs::path in = path(name), packed = path("packed"), out = path("out");
      write_bytes(in, prose(20000, 200, 27));
      fs::permissions(in, p);
      ASSERT_EQ(run_qarn({"-c", in, packed}).status, 0);
      EXPECT_EQ(fs::status(packed).permissions(), p) << name << " " << int(p);
      // An existing output takes them too.
      write_bytes(out, {});
      fs::permissions(out, fs::perms(0644));
      ASSERT_EQ(run_qarn({"-d", packed, out}).status, 0);
      EXPECT_EQ(fs::status(out).permissions(), p) << name << " " << int(p);
      for (const fs::path& f : {in, packed, out}) fs::remove(f);
    }
  }
}

// Writes data into the FIFO at path from another thread (opening it waits for the reader).
std::thread feed_fifo(const fs::path& path, bytes data) {
  return std::thread([path, data = std::move(data)] {
    int fd = open(path.c_str(), O_WRONLY);
    if (fd < 0) return;
    for (size_t done = 0; done < data.size();) {
      ssize_t w = write(fd, data.data() + done, data.size() - done);
      if (w <= 0) break;
      done += static_cast<size_t>(w);
    }
    close(fd);
  });
}

TEST_F(files_test, pipes_are_read_as_streams) {
  for (const sample& s : samples()) {
    const bytes file = compressed(s);
    const fs::path fifo = path(s.name);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer = feed_fifo(fifo, s.data);
    run_result c = run_qarn({"-c", fifo, path("packed")});
    writer.join();
    EXPECT_EQ(c.status, 0) << s.name << ": " << c.output;
    EXPECT_BYTES_EQ(file, read_bytes(path("packed"))) << s.name;

    writer = feed_fifo(fifo, file);
    run_result d = run_qarn({"-d", fifo, path("out")});
    writer.join();
    EXPECT_EQ(d.status, 0) << s.name << ": " << d.output;
    EXPECT_BYTES_EQ(s.data, read_bytes(path("out"))) << s.name;
    for (const char* f : {"packed", "out"}) fs::remove(path(f));
    fs::remove(fifo);
  }
  // Standard input by its name, a pipe: stored mode by that name.
  const bytes data = random_bytes(300000, 28);
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  std::thread writer = feed_fifo(path("fifo"), data);
  run_options from_fifo;
  from_fifo.input_file = path("fifo");
  run_result r = run_qarn_with(from_fifo, {"-c", "/dev/stdin", path("packed")});
  writer.join();
  EXPECT_EQ(r.status, 0) << r.output;
  bytes expected(4, 0);
  expected.insert(expected.end(), data.begin(), data.end());
  EXPECT_BYTES_EQ(expected, read_bytes(path("packed")));
}

TEST_F(files_test, an_endless_input_is_refused_at_the_size_limit_with_nothing_written) {
  if (!fs::exists("/dev/zero")) GTEST_SKIP() << "no /dev/zero";
  for (const char* option : {"-c", "-d"}) {
    run_result r = run_qarn({option, "/dev/zero", path("out")});
    EXPECT_EQ(r.status, 1) << option;
    EXPECT_EQ(r.output, std::string(option[1] == 'c' ? "Compressing" : "Decompressing") +
                            " default\nFile /dev/zero must be less than 1.001GB\n");
    EXPECT_EQ(names_in(dir), std::set<std::string>{}) << option;
  }
}

TEST_F(files_test, directories_and_missing_folders_are_refused_with_their_messages) {
  fs::create_directory(path("dir.txt"));
  for (const char* option : {"-c", "-d"}) {
    run_result r = run_qarn({option, path("dir.txt"), path("out")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, path("dir.txt").string() + " is a directory\n");
    EXPECT_FALSE(fs::exists(path("out")));
  }
  write_bytes(path("in.txt"), prose(20000, 200, 29));
  const std::string out = path("missing/out");
  run_result r = run_qarn({"-c", path("in.txt"), out});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, "Compressing text\nassertion \"fp!=NULL\" failed: ./util.c:45\n");
  EXPECT_EQ(r.errors, "qarn: " + out + ": No such file or directory\n");
  // A directory as the output.
  run_result d = run_qarn({"-c", path("in.txt"), path("dir.txt")});
  EXPECT_EQ(d.status, 1);
  EXPECT_EQ(d.errors, "qarn: " + path("dir.txt").string() + ": Is a directory\n");
}

TEST_F(files_test, an_input_that_shrinks_while_it_is_read_is_refused) {
  // Inputs long enough that the work is still under way when they are cut: a sparse file that stored mode copies,
  // and a text that text mode reads from a mapping of it (whose pages past the new end then fault).
  bytes text;
  const bytes part = prose(1000000, 3000, 43);
  for (int i = 0; i < 40; i++) text.insert(text.end(), part.begin(), part.end());
  struct row {
    const char* name;
    const char* line;
  };
  for (const row& r : {row{"growing.log", "Compressing default\n"}, row{"notes.txt", "Compressing text\n"}}) {
    const fs::path in = path(r.name);
    if (r.name[0] == 'g') {
      write_bytes(in, to_bytes("start"));
      fs::resize_file(in, 1000000000);
    } else {
      write_bytes(in, text);
    }
    running_qarn q = start_qarn({"-c", in, path("out")});
    EXPECT_EQ(q.read_line(), r.line);
    fs::resize_file(in, 1000);
    std::string rest;
    for (std::string line; !(line = q.read_line()).empty();) rest += line;
    EXPECT_EQ(q.wait(), 1) << r.name;
    EXPECT_EQ(rest, "File " + in.string() + " changed while it was read\n");
    EXPECT_EQ(names_in(dir), std::set<std::string>{r.name});
    fs::remove(in);
  }
}

// Whether the program runs without /proc here: making the namespace needs the right to, and the sanitizers'
// runtime needs /proc.
bool can_hide_proc() {
  run_options o;
  o.hide_proc = true;
  return run_qarn_with(o, {}).output.rfind("Qarnwise version 3\n", 0) == 0;
}

TEST_F(files_test, interrupted_runs_leave_the_old_output_and_no_stray_file) {
  const bytes old = to_bytes("the previous output\n");
  // With /proc the temporary file has no name; without it, it has one until the signal removes it.
  for (bool hide : {false, true}) {
    if (hide && !can_hide_proc()) {
      std::printf("interrupted runs with named temporary files not tried: the program cannot run without /proc\n");
      continue;
    }
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
      for (const char* name : {"in.txt", "in.bin"}) {
        SCOPED_TRACE(std::string(name) + ", signal " + std::to_string(sig) + (hide ? ", without /proc" : ""));
        write_bytes(path("out"), old);
        const fs::path fifo = path(name);
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        running_qarn q = start_qarn({"-c", fifo, path("out")}, hide);
        // The input is held open, so the run waits for more of it; the progress line says it has begun, and the
        // temporary file is open by then.
        int writer = open(fifo.c_str(), O_WRONLY);
        ASSERT_GE(writer, 0);
        const bytes some = prose(300000, 300, 30);
        ASSERT_EQ(write(writer, some.data(), some.size()), static_cast<ssize_t>(some.size()));
        EXPECT_EQ(q.read_line(), std::string("Compressing ") + (name[3] == 't' ? "text" : "default") + "\n");
        if (hide) {
          // The named temporary file is there while the run waits, under a name a user sees ("out.<hex>.tmp"),
          // since a kill that cannot be caught would leave it.
          while (names_in(dir).size() < 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
          for (const std::string& n : names_in(dir)) {
            if (n != "out" && n != name) {
              EXPECT_TRUE(n.size() == 20 && n.rfind("out.", 0) == 0 && n.compare(16, 4, ".tmp") == 0) << n;
            }
          }
        }
        kill(q.pid, sig);
        EXPECT_EQ(q.wait(), 128 + sig);
        close(writer);
        EXPECT_BYTES_EQ(old, read_bytes(path("out")));
        fs::remove(fifo);
        EXPECT_EQ(names_in(dir), std::set<std::string>{"out"});
      }
    }
  }
}

TEST_F(files_test, without_unnamed_temporary_files_runs_still_replace_only_on_success) {
  if (!can_hide_proc()) GTEST_SKIP() << "the program cannot run without /proc here";
  run_options hidden;
  hidden.hide_proc = true;
  for (const sample& s : samples()) {
    const bytes file = compressed(s);
    write_bytes(path(s.name), s.data);
    EXPECT_EQ(run_qarn_with(hidden, {"-c", path(s.name), path(s.name)}).status, 0) << s.name;
    EXPECT_BYTES_EQ(file, read_bytes(path(s.name))) << s.name;
    EXPECT_EQ(run_qarn_with(hidden, {"-d", path(s.name), path(s.name)}).status, 0) << s.name;
    EXPECT_BYTES_EQ(s.data, read_bytes(path(s.name))) << s.name;
    fs::permissions(path(s.name), fs::perms(0600));
    ASSERT_EQ(run_qarn_with(hidden, {"-c", path(s.name), path("packed")}).status, 0) << s.name;
    EXPECT_EQ(fs::status(path("packed")).permissions(), fs::perms(0600));
    // A damaged file: the old output stays, and the temporary file goes.
    bytes cut = file;
    cut.resize(cut.size() - 1);
    write_bytes(path("packed"), cut);
    if (s.mode != mode_stored) {
      EXPECT_EQ(run_qarn_with(hidden, {"-d", path("packed"), path(s.name)}).status, 1) << s.name;
      EXPECT_BYTES_EQ(s.data, read_bytes(path(s.name))) << s.name;
    }
    fs::remove(path(s.name));
    fs::remove(path("packed"));
    EXPECT_EQ(names_in(dir), std::set<std::string>{}) << s.name;
  }
}

TEST_F(files_test, a_closed_standard_output_does_not_stop_the_run) {
  const bytes data = prose(50000, 300, 31);
  write_bytes(path("in.txt"), data);
  run_options closed;
  closed.closed_output = true;
  EXPECT_EQ(run_qarn_with(closed, {"-c", path("in.txt"), path("packed")}).status, 0);
  EXPECT_EQ(run_qarn_with(closed, {"-d", path("packed"), path("out")}).status, 0);
  EXPECT_BYTES_EQ(data, read_bytes(path("out")));
}

// ---- Memory. ----

constexpr long two_gb_kib = 2000000;

TEST_F(files_test, every_mode_works_in_two_gigabytes_of_address_space) {
  if (sanitized_build) GTEST_SKIP() << "the sanitizers need more address space than the limit";
  struct input {
    std::string name;
    bytes data;
  };
  const std::vector<input> inputs = {
      {"small.txt", prose(1000, 100, 32)},        {"small.pnm", picture(20, 16, 33)},
      {"small.dat", binary(1000, 34)},            {"small.bin", random_bytes(1000, 35)},
      {"large.txt", prose(10000000, 20000, 36)},  {"large.pnm", picture(1800, 1850, 37)},
      {"large.dat", binary(10000000, 38)},        {"large.bin", random_bytes(10000000, 39)},
  };
  run_options limited;
  limited.address_space_kib = two_gb_kib;
  for (const input& in : inputs) {
    write_bytes(path(in.name), in.data);
    run_result c = run_qarn_with(limited, {"-c", path(in.name), path("packed")});
    EXPECT_EQ(c.status, 0) << in.name << ": " << c.output;
    run_result d = run_qarn_with(limited, {"-d", path("packed"), path("out")});
    EXPECT_EQ(d.status, 0) << in.name << ": " << d.output;
    EXPECT_BYTES_EQ(in.data, read_bytes(path("out"))) << in.name;
    fs::remove(path(in.name));
  }
}

// Under every limit, a run either succeeds or says that memory ran out: never "corrupt", an assertion or a signal.
TEST_F(files_test, a_memory_shortage_is_reported_as_such_in_every_mode) {
  if (sanitized_build) GTEST_SKIP() << "the sanitizers need more address space than the limits";
  const std::vector<sample> inputs = {
      {"prose.txt", prose(2000000, 5000, 40), mode_text},
      {"ramp.pnm", picture(800, 700, 41), mode_image},
      {"program.dat", binary(2000000, 42), mode_mixed},
  };
  for (const sample& s : inputs) {
    write_bytes(path(s.name), s.data);
    ASSERT_EQ(run_qarn({"-c", path(s.name), path("packed")}).status, 0);
    int short_runs = 0;
    for (long kib = 8000; kib <= 400000; kib += kib / 4) {
      run_options limited;
      limited.address_space_kib = kib;
      const std::string memory = "Not enough memory for ";
      run_result c = run_qarn_with(limited, {"-c", path(s.name), path("again")});
      if (c.status != 0) {
        short_runs++;
        EXPECT_EQ(c.status, 1) << s.name << " at " << kib << " KiB: " << c.output;
        EXPECT_NE(c.output.find(memory + path(s.name).string() + "\n"), std::string::npos)
            << s.name << " at " << kib << " KiB: " << c.output;
        EXPECT_FALSE(fs::exists(path("again")));
      } else {
        EXPECT_BYTES_EQ(read_bytes(path("packed")), read_bytes(path("again"))) << s.name << " at " << kib;
      }
      run_result d = run_qarn_with(limited, {"-d", path("packed"), path("out")});
      if (d.status != 0) {
        short_runs++;
        EXPECT_EQ(d.status, 1) << s.name << " at " << kib << " KiB: " << d.output;
        EXPECT_NE(d.output.find(memory + path("packed").string() + "\n"), std::string::npos)
            << s.name << " at " << kib << " KiB: " << d.output;
      } else {
        EXPECT_BYTES_EQ(s.data, read_bytes(path("out"))) << s.name << " at " << kib;
      }
      fs::remove(path("again"));
      fs::remove(path("out"));
    }
    EXPECT_GT(short_runs, 0) << s.name << ": no limit was tight enough to matter";
  }
}

}  // namespace
