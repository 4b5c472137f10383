// library_test.cpp — the C interface: the program's files byte for byte, every mode both ways, the sizes the
// headers record, and each error it reports.
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <new>
#include <string>

#include "c_calls.h"
#include "hash.h"
#include "helpers.h"
#include "libqarn.h"

namespace {

bytes delibrary_file(const bytes& file) {
  uint64_t expected = 0;
  EXPECT_EQ(QARN_OK, qarn_decompressed_size(file.data(), file.size(), &expected));
  bytes out(expected);
  size_t size = 0;
  EXPECT_EQ(QARN_OK, qarn_decompress(file.data(), file.size(), out.data(), out.size(), &size));
  EXPECT_EQ(expected, size);
  out.resize(size);
  return out;
}

struct library_case {
  const char* name;  // the input's file name for the program: it picks the mode
  bytes input;
  qarn_mode file_mode;  // the mode of the file written, fallbacks included
};

class LibraryFiles : public scratch_test {};

// Each mode, and a fallback of each kind, through the library and through the program.
TEST_F(LibraryFiles, EqualTheProgramsFilesAndRestoreTheInput) {
  const library_case cases[] = {
      {"prose.txt", prose(300000, 2000, 1), QARN_MODE_TEXT},
      {"short.txt", to_bytes("a few words\n"), QARN_MODE_STORED},
      {"photo.pnm", picture(301, 200, 2), QARN_MODE_IMAGE},
      {"noise.pnm", [] { bytes b = to_bytes("P6\n64 64\n255\n"); bytes r = random_bytes(3 * 64 * 64, 3);
                         b.insert(b.end(), r.begin(), r.end()); return b; }(), QARN_MODE_STORED},
      {"program.dat", binary(1500000, 4), QARN_MODE_MIXED},
      {"noise.dat", random_bytes(100000, 5), QARN_MODE_STORED},
      {"table.bin", records(50000, 6), QARN_MODE_STORED},
      {"empty.dat", bytes(), QARN_MODE_STORED},
  };
  for (const library_case& c : cases) {
    SCOPED_TRACE(c.name);
    const qarn_mode mode = qarn_mode_for_name(c.name);
    const bytes file = library_file(mode, c.input);
    write_bytes(path(c.name), c.input);
    ASSERT_EQ(0, run_qarn({"-c", path(c.name).string(), path("out.q").string()}).status);
    EXPECT_BYTES_EQ(read_bytes(path("out.q")), file);
    qarn_mode written;
    ASSERT_EQ(QARN_OK, qarn_file_mode(file.data(), file.size(), &written));
    EXPECT_EQ(c.file_mode, written);
    EXPECT_BYTES_EQ(c.input, delibrary_file(file));
  }
}

TEST(Library, NamesModesVersionsAndStatuses) {
  EXPECT_EQ(QARN_MODE_IMAGE, qarn_mode_for_name("dir/x.pnm"));
  EXPECT_EQ(QARN_MODE_TEXT, qarn_mode_for_name("dir.txt/data"));
  EXPECT_EQ(QARN_MODE_MIXED, qarn_mode_for_name("a.dat"));
  EXPECT_EQ(QARN_MODE_STORED, qarn_mode_for_name("a.TXT"));
  EXPECT_EQ(QARN_MODE_STORED, qarn_mode_for_name(nullptr));
  EXPECT_STREQ("default", qarn_mode_name(QARN_MODE_STORED));
  EXPECT_STREQ("mixed", qarn_mode_name(QARN_MODE_MIXED));
  EXPECT_EQ(nullptr, qarn_mode_name(static_cast<qarn_mode>(7)));
  EXPECT_EQ(unsigned{QARN_VERSION_NUMBER}, qarn_version_number());
  EXPECT_STREQ(QARN_VERSION_STRING, qarn_version_string());
  EXPECT_STREQ("Qarnwise version 3", qarn_format_version());
  for (int s = QARN_OK; s <= QARN_ERROR_INTERNAL; s++)
    EXPECT_STRNE("unknown status", qarn_status_string(static_cast<qarn_status>(s)));
}

// Every mode's file is refused when damaged, short, or when the output cannot hold it; nothing crashes.
TEST(Library, ReportsDamageAndShortOutputs) {
  const bytes inputs[] = {prose(200000, 1500, 7), picture(300, 300, 8), binary(300000, 9), random_bytes(1000, 10)};
  const qarn_mode modes[] = {QARN_MODE_TEXT, QARN_MODE_IMAGE, QARN_MODE_MIXED, QARN_MODE_STORED};
  for (int i = 0; i < 4; i++) {
    SCOPED_TRACE(i);
    const bytes file = library_file(modes[i], inputs[i]);
    size_t size = 1;
    // Too small an output, both ways.
    bytes small(file.size() - 1);
    EXPECT_EQ(QARN_ERROR_OUTPUT_TOO_SMALL,
              qarn_compress(modes[i], inputs[i].data(), inputs[i].size(), small.data(), small.size(), &size));
    EXPECT_EQ(0u, size);
    bytes short_out(inputs[i].size() - 1);
    EXPECT_EQ(QARN_ERROR_OUTPUT_TOO_SMALL,
              qarn_decompress(file.data(), file.size(), short_out.data(), short_out.size(), &size));
    // A cut file, and one with a byte changed in its structure (the first size field past the mode number).
    bytes out(inputs[i].size() + 64);
    if (modes[i] != QARN_MODE_STORED) {
      EXPECT_EQ(QARN_ERROR_CORRUPT, qarn_decompress(file.data(), file.size() / 2, out.data(), out.size(), &size));
      bytes damaged = file;
      damaged[modes[i] == QARN_MODE_IMAGE ? 21 : 7] ^= 0x40;
      EXPECT_EQ(QARN_ERROR_CORRUPT, qarn_decompress(damaged.data(), damaged.size(), out.data(), out.size(), &size));
    }
  }
  const uint8_t unknown[] = {9, 0, 0, 0, 1, 2};
  uint64_t length;
  qarn_mode mode;
  bytes out(16);
  size_t size;
  EXPECT_EQ(QARN_ERROR_CORRUPT, qarn_decompress(unknown, sizeof unknown, out.data(), out.size(), &size));
  EXPECT_EQ(QARN_ERROR_CORRUPT, qarn_decompressed_size(unknown, 3, &length));
  EXPECT_EQ(QARN_ERROR_CORRUPT, qarn_file_mode(unknown, sizeof unknown, &mode));
  EXPECT_EQ(QARN_ERROR_INVALID_ARGUMENT, qarn_decompress(nullptr, 8, out.data(), out.size(), &size));
  EXPECT_EQ(QARN_ERROR_INVALID_ARGUMENT, qarn_compress(static_cast<qarn_mode>(4), unknown, 6, out.data(), 16, &size));
}

// A C program may pass any int where a mode or a status is expected: numbers that name none are refused (or named
// as unknown), never misread. (Under the sanitizers, a number outside an enumeration's range would be caught.)
TEST(Library, TakesAnyNumberForAModeOrAStatusFromC) {
  const uint8_t in[] = {'a', ' ', 'b', '\n'};
  uint8_t out[16];
  for (int mode : {-1, 4, 7, INT_MIN, INT_MIN + 1, INT_MAX, -4}) {
    SCOPED_TRACE(mode);
    size_t size = 1;
    EXPECT_EQ(QARN_ERROR_INVALID_ARGUMENT, c_compress(mode, in, sizeof in, out, sizeof out, &size));
    EXPECT_EQ(0u, size);
    EXPECT_EQ(nullptr, c_mode_name(mode));
  }
  for (int mode = QARN_MODE_STORED; mode <= QARN_MODE_MIXED; mode++) {
    size_t size = 0;
    EXPECT_EQ(QARN_OK, c_compress(mode, in, sizeof in, out, sizeof out, &size));
    EXPECT_STREQ(qarn_mode_name(static_cast<qarn_mode>(mode)), c_mode_name(mode));
  }
  for (int status : {-1, 9, INT_MIN, INT_MAX})
    EXPECT_STREQ("unknown status", c_status_string(status)) << status;
  EXPECT_STREQ("invalid argument", c_status_string(QARN_ERROR_INVALID_ARGUMENT));
}

// The bound is n + 4 for every input the library takes, and 0 from the limit on: it never wraps around.
TEST(Library, BoundsEveryInputAndNonePastTheLimit) {
  const struct {
    size_t n, bound;
  } cases[] = {
      {0, 4},
      {1, 5},
      {QARN_INPUT_LIMIT - 2, QARN_INPUT_LIMIT + 2},
      {QARN_INPUT_LIMIT - 1, QARN_INPUT_LIMIT + 3},
      {QARN_INPUT_LIMIT, 0},
      {QARN_INPUT_LIMIT + 1, 0},
      {SIZE_MAX - 4, 0},
      {SIZE_MAX - 3, 0},
      {SIZE_MAX, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(c.bound, qarn_compress_bound(c.n)) << c.n;
}

// Runs check() in a child process whose address space may grow by at most `room` bytes past what it has when it
// starts (a soft limit, which the check may lift); returns the child's exit status (check()'s result), or 128 + the
// signal that ended it.
int in_child_with_room(size_t room, const std::function<int()>& check) {
  const pid_t pid = fork();
  if (pid == 0) {
    long pages = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (!statm || std::fscanf(statm, "%ld", &pages) != 1) _exit(100);
    std::fclose(statm);
    const rlimit limit{static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + room, RLIM_INFINITY};
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(101);
    _exit(check());
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Lifts the soft limit on the address space back to the hard one.
bool lift_address_space_limit() {
  rlimit limit;
  if (getrlimit(RLIMIT_AS, &limit) != 0) return false;
  limit.rlim_cur = limit.rlim_max;
  return setrlimit(RLIMIT_AS, &limit) == 0;
}

// When memory runs short the library throws std::bad_alloc inside and says QARN_ERROR_OUT_OF_MEMORY at its face;
// it never aborts, and works again once memory is there.
TEST(LibraryMemory, AShortageIsOutOfMemoryNeverAnAbort) {
  if (sanitized_build) GTEST_SKIP() << "the sanitizers need more address space than the limits";
  EXPECT_EQ(0, in_child_with_room(size_t{64} << 20, [] {
    qarn::hashtable table;
    try {
      qarn::hashinit(&table, 1 << 28);  // 5.6 GB of entries
    } catch (const std::bad_alloc&) {
      return 0;
    }
    return 1;
  })) << "hashinit";
  const struct {
    const char* name;
    qarn_mode mode;
    bytes input;
  } cases[] = {
      {"text", QARN_MODE_TEXT, prose(12000000, 20000, 71)},
      {"photo", QARN_MODE_IMAGE, picture(2000, 2000, 72)},
      {"binary", QARN_MODE_MIXED, binary(12000000, 73)},
  };
  for (const auto& c : cases) {
    bytes out(qarn_compress_bound(c.input.size()));
    // Room for a quarter of the input: every mode needs more than that.
    EXPECT_EQ(0, in_child_with_room(c.input.size() / 4, [&] {
      size_t size = 1;
      const qarn_status short_of_memory =
          qarn_compress(c.mode, c.input.data(), c.input.size(), out.data(), out.size(), &size);
      if (short_of_memory != QARN_ERROR_OUT_OF_MEMORY || size != 0) return 10 + short_of_memory;
      if (!lift_address_space_limit()) return 102;
      const qarn_status again = qarn_compress(c.mode, c.input.data(), c.input.size(), out.data(), out.size(), &size);
      qarn_mode written;
      if (again != QARN_OK || qarn_file_mode(out.data(), size, &written) != QARN_OK || written != c.mode)
        return 20 + again;
      return 0;
    })) << c.name;
  }
}

// Inputs past the limits: the format's, and stored mode's a few bytes below it. The pages are never touched.
TEST(Library, RefusesInputsPastTheLimit) {
  const size_t n = QARN_INPUT_LIMIT - 2;  // within the format's limit, past stored mode's
  void* big = mmap(nullptr, n, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(MAP_FAILED, big);
  bytes out(16);
  size_t size = 1;
  EXPECT_EQ(QARN_ERROR_INPUT_TOO_LARGE, qarn_compress(QARN_MODE_STORED, big, n, out.data(), out.size(), &size));
  EXPECT_EQ(QARN_ERROR_INPUT_TOO_LARGE,
            qarn_compress(QARN_MODE_TEXT, big, QARN_INPUT_LIMIT, out.data(), out.size(), &size));
  EXPECT_EQ(0u, size);
  munmap(big, n);
}

}  // namespace

namespace {

// The content rule on generated samples of each kind, and on inputs built to sit just across its lines.
TEST(LibraryContent, PicksTheModeFromTheBytes) {
  auto mode_of = [](const bytes& b) { return qarn_mode_for_content(b.data(), b.size()); };
  EXPECT_EQ(QARN_MODE_TEXT, mode_of(prose(400000, 3000, 11)));
  EXPECT_EQ(QARN_MODE_IMAGE, mode_of(picture(64, 48, 12)));
  bytes commented = to_bytes("P6\n# a comment\n64 48\n255\n");
  commented.resize(commented.size() + 3 * 64 * 48, 7);
  EXPECT_EQ(QARN_MODE_MIXED, mode_of(commented));  // image mode would not restore it: mixed takes it
  bytes elf = binary(100000, 13);
  std::memcpy(elf.data(), "\x7f" "ELF", 4);
  EXPECT_EQ(QARN_MODE_MIXED, mode_of(elf));
  bytes archive = prose(100000, 500, 14);  // an archive of objects whose members happen to read as text
  std::memcpy(archive.data(), "!<arch>\n", 8);
  EXPECT_EQ(QARN_MODE_MIXED, mode_of(archive));
  EXPECT_EQ(QARN_MODE_MIXED, mode_of(random_bytes(100000, 15)));
  // A word list (every token distinct), and prose whose lines repeat: mixed mode's distances code them better.
  std::string words;
  for (int i = 0; i < 40000; i++) words += "word" + std::to_string(i * 7919 % 100003) + "\n";
  EXPECT_EQ(QARN_MODE_MIXED, mode_of(to_bytes(words)));
  std::string repeated;
  for (int i = 0; i < 3000; i++) repeated += i % 3 ? "the same licence line comes back again and again\n" : "x" + std::to_string(i) + " unique\n";
  EXPECT_EQ(QARN_MODE_MIXED, mode_of(to_bytes(repeated)));
  // A NUL byte anywhere in the sample makes it binary.
  bytes nul = prose(20000, 300, 16);
  nul[10000] = 0;
  EXPECT_EQ(QARN_MODE_MIXED, mode_of(nul));
  EXPECT_EQ(QARN_MODE_MIXED, qarn_mode_for_content(nullptr, 0));
}

}  // namespace
