// fileio.h — the file layer under the programs qarn and qz: inputs (mapped, read whole or streamed, with the size
// limit and a check that they did not change meanwhile), atomic outputs (an unnamed temporary file where the file
// system allows it, synced and put in place only on success, removed on interruption), the rule for the output's
// permission bits, owner and times, and the process policy both programs start with.
//
// The layer reports what happened (what failed, on which path, and errno) by throwing file_error; each program
// chooses its own words. Where the two programs must treat files differently, the difference is a field of
// input_policy or output_policy.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>

#include "util.h"

namespace fileio {

// ---- Failures. ----

enum class failure {
  open_input,          // the input cannot be opened (errno says why)
  read_input,          // reading it failed
  input_is_directory,  // a directory given as the input
  input_not_regular,   // a named input that is not a regular file, where the policy takes only those
  input_too_large,     // it reaches the size limit of every input (1,001,000,001 bytes)
  input_past_limit,    // it passes the caller's own, lower limit, but not the size limit
  input_changed,       // it grew, shrank or was changed while it was read
  open_output,         // the output, or its temporary file, cannot be made
  output_exists,       // the policy keeps existing files, and one appeared at the output's name meanwhile
  write_output,        // writing, syncing or putting the output in place failed
};

class file_error : public std::exception {
 public:
  file_error(failure what, std::string path, int error_number = 0)
      : what_(what), path_(std::move(path)), error_number_(error_number) {}
  failure what_failed() const { return what_; }
  // The path as the program was given it ("(stdin)" and "(stdout)" for the standard streams).
  const std::string& path() const { return path_; }
  // The errno of the call that failed, or 0 where there was none.
  int error_number() const { return error_number_; }
  const char* what() const noexcept override;

 private:
  failure what_;
  std::string path_;
  int error_number_;
};

// ---- The process. ----

struct process_policy {
  // A write to a pipe whose reader has gone fails with EPIPE instead of ending the process (qarn: a closed
  // standard output must not stop a run that can still write its file). Otherwise the signal takes its usual
  // course, after the temporary file is removed.
  bool ignore_broken_pipe = false;
};

// Called once, first thing in main:
// - a standard stream that was closed is opened on /dev/null the other way round (standard input for writing,
//   standard output and error for reading), so that no file the program opens takes its number, and a read or
//   write on it fails with EBADF as it would have;
// - the signals that end a process (SIGINT, SIGTERM, SIGHUP, ...) first remove a named temporary file; a signal
//   the caller ignores stays ignored, as under nohup;
// - a SIGBUS from a mapped input that shrank is turned into a refusal of that input (see whole_input);
// - the heap keeps what is freed and takes huge pages (on these machines a fresh page costs microseconds).
void prepare_process(const process_policy& policy);

// ---- Inputs. ----

struct input_policy {
  // Pipes, terminals and devices named as inputs are read as streams to their end (qarn). Otherwise a named input
  // must be a regular file (qz): others are refused with input_not_regular before they are opened, since opening
  // a FIFO or a device may block or act.
  bool streams_by_name = true;
  // A sized file at or past the size limit of every input (1,001,000,001 bytes) is refused when it is opened
  // (qarn). Otherwise (qz, whose streams have no size limit) only the readers given a limit refuse what passes it.
  bool size_limited = true;
};

struct standard_input_t {};
inline constexpr standard_input_t standard_input{};

// An open input: a regular file of known size, or a stream read to its end. Opening refuses a directory and a
// regular file past the size limit.
class input_file {
 public:
  input_file(const std::string& path, const input_policy& policy = {});
  explicit input_file(standard_input_t, const input_policy& policy = {});
  ~input_file();
  input_file(const input_file&) = delete;
  input_file& operator=(const input_file&) = delete;

  const std::string& name() const { return name_; }
  bool named() const { return named_; }
  // A regular file that says how long it is. Files that say 0 (those of /proc, and empty ones) are read as
  // streams, to their end.
  bool sized() const { return S_ISREG(st_.st_mode) && st_.st_size > 0; }
  int64_t size() const { return st_.st_size; }  // of a sized file, as it was when opened
  int fd() const { return fd_; }
  const struct stat& status() const { return st_; }

  // Reads until n bytes are in or the input ends; returns the count. Throws read_input.
  size_t read_full(uint8_t* p, size_t n);
  // For a sized file, after its last byte was read (`total` bytes in all): refuses it with input_changed if its
  // length, modification time or change time differ from when it was opened, or if it goes on past `total`.
  void check_unchanged(uint64_t total);
  // A stream past the caller's limit, `total` bytes in: it is read on (and dropped) to tell an input past the size
  // limit (input_too_large) from one merely past the caller's limit (input_past_limit).
  [[noreturn]] void refuse_past_limit(uint64_t total);

  // Told the count of bytes read so far, after each read (for a progress line); may be empty.
  std::function<void(uint64_t)> on_read;

 private:
  std::string name_;
  bool named_ = true;
  int fd_ = -1;
  struct stat st_ {};
  uint64_t read_ = 0;
};

// The whole input in memory, after the `head_n` bytes already read from it (which it starts with); at most `limit`
// bytes in all (past that, input_past_limit or input_too_large; a sized file that passes it is refused before any
// read).
// - A sized file is mapped read-only (no copy and no fresh pages: reading 256 MB of text into new memory made
//   text mode's compression take a third longer), unless `writable` is asked for or it cannot be mapped. Should the
//   file shrink meanwhile, a read past its new end is served from zero pages and check_unchanged refuses it.
// - Otherwise it is read into memory of its own, which the caller may change.
class whole_input {
 public:
  whole_input(input_file& in, uint64_t limit, bool writable, const uint8_t* head = nullptr, size_t head_n = 0);
  ~whole_input();
  whole_input(const whole_input&) = delete;
  whole_input& operator=(const whole_input&) = delete;

  const uint8_t* data() const { return data_; }
  // Only for a writable input.
  uint8_t* writable_data() { return buffer_.data(); }
  size_t size() const { return size_; }
  // Lets a mapping's pages go while the work does not read them: they are read again from the file when needed.
  void let_pages_go();
  // After the work (or its failure): refuses the input if it changed while it was read.
  void check_unchanged();

 private:
  input_file& in_;
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  bool mapped_ = false;
  qarn::byte_buffer buffer_;
};

// The input once through, in order, a window at a time, in memory bounded by the window whatever the input's size
// (no size limit): for work that takes the input in pieces of any length.
// - With `map`, a sized file is mapped read-only, as address space only: the pages of the next window are read in
//   before the work reaches them, and those it has passed are let go. Should the file shrink meanwhile, a read past
//   its new end is served from zero pages and check_unchanged refuses it (as for whole_input). Work that reads its
//   input once and in place gains: compression codes each block where it lies.
// - Otherwise, and for a stream or a file that cannot be mapped (no address space for it), the input is read into
//   a buffer of `window` bytes (a sized file's length, when shorter), a window at a time. Decoders gain: they read
//   a compressed file 10 to 20% faster from memory of the process's own than from a fresh mapping of it.
// The input starts with the `head_n` bytes already read from it, when given.
class windowed_input {
 public:
  // `window` >= 1: how many bytes the work wants in memory at once.
  windowed_input(input_file& in, size_t window, bool map, const uint8_t* head = nullptr, size_t head_n = 0);
  ~windowed_input();
  windowed_input(const windowed_input&) = delete;
  windowed_input& operator=(const windowed_input&) = delete;

  // Brings in the next window once the work has taken every byte in memory (a mapping: reads in the pages of the
  // window ahead); until then, does nothing, so that no byte is moved or read twice. Throws read_input.
  void fill();
  // The bytes in memory from the reading position on: [data(), data() + size()).
  const uint8_t* data() const { return data_ + pos_; }
  size_t size() const { return end_ - pos_; }
  // Whether those bytes run to the input's end: nothing is left to read.
  bool complete() const { return complete_; }
  // The work took n <= size() bytes: the reading position moves past them.
  void take(size_t n);
  // The bytes taken in all.
  uint64_t taken() const { return base_ + pos_; }
  bool mapped() const { return mapped_; }
  // After the last byte was taken (or after a failure over the input): refuses the input if it changed while it
  // was read.
  void check_unchanged();

 private:
  input_file& in_;
  size_t window_;
  const uint8_t* data_ = nullptr;
  size_t pos_ = 0, end_ = 0;  // in data_: the reading position and the end of what is in memory
  uint64_t base_ = 0;         // bytes taken before data_[0] (streams: those the buffer held before)
  uint64_t read_ = 0;         // bytes read from a stream, head included
  size_t populated_ = 0;      // a mapping's pages read in up to here
  size_t released_ = 0;       // and let go up to here
  bool complete_ = false;
  bool mapped_ = false;
  bool started_ = false;      // a stream's first read was made
  qarn::byte_buffer buffer_;
};

// Copies the rest of the input to out, `done` bytes having been read before, at most `limit` bytes in all (past
// that, as whole_input), through a buffer of at most 4 MiB; then checks that a sized input did not change. Returns
// the count of bytes in all.
uint64_t copy_rest(input_file& in, qarn::byte_sink& out, uint64_t done, uint64_t limit);

// ---- Outputs. ----

struct output_policy {
  // An output name that is a symbolic link: true, it stays a link and the file it leads to is replaced (qarn);
  // false, the link itself is replaced by a regular file and its target is left alone (qz, like the usual
  // compressors). A link into /proc (such as /dev/stdout) is always followed.
  bool follow_links = true;
  // An existing file at the output's name is replaced (qarn, qz -f); otherwise the output is refused with
  // output_exists if a file appears there before it is put in place (qz checks beforehand as well).
  bool replace_existing = true;
  // The output takes the input's owner (where the system allows it; the group alone otherwise) and its access and
  // modification times (qz), besides its permission bits (both).
  bool keep_owner_and_times = false;
  // The directory is synced after every rename (qz, which may remove the input next); otherwise only after a rename
  // that replaced a file.
  bool always_sync_directory = false;
};

// What commit() could not carry over from the input: the errno of each failure, or 0.
struct commit_notes {
  int permissions_error = 0;
  int times_error = 0;
};

struct standard_output_t {};
inline constexpr standard_output_t standard_output{};

// Whether a path names the file or pipe this process's standard output is: a program writing its data there keeps
// its messages off it.
bool is_standard_output(const std::string& path);

// The output. A regular file (or one yet to be made) is written to a temporary file in the directory of the file
// it replaces, opened by the constructor (before any work, so that a missing or read-only folder fails at once),
// and put in place only by commit(): on a failure, an exception or an interruption an existing file stays as it
// was and no temporary file is left. The temporary file has no name until commit() where the file system allows
// it, so that even a kill leaves nothing; elsewhere it is named "<output>.<12 hex digits>.tmp" (visible, so that
// the rare one a kill leaves is seen) and removed on failure and on interruption. An output that is not a regular
// file (/dev/null, a pipe, a terminal) and the standard output are written directly.
class output_file final : public qarn::byte_sink {
 public:
  // The output's permission bits are the input's (for a stream: those of a new file under the umask).
  output_file(const std::string& path, const output_policy& policy, const input_file& from);
  explicit output_file(standard_output_t);
  ~output_file();
  output_file(const output_file&) = delete;
  output_file& operator=(const output_file&) = delete;

  void write(const uint8_t* p, size_t n) override;
  // Puts the finished file in place: permission bits (owner and times), sync, rename, sync of the directory.
  // What could not be kept of the input's metadata is noted, not thrown.
  commit_notes commit();
  // Written directly: not through a temporary file.
  bool direct() const { return direct_; }

 private:
  template <class Make>
  int take_temp_name(Make&& make);

  std::string path_;    // as given, for messages
  output_policy policy_;
  std::string target_;  // the name that is replaced: the path, or the file its links lead to
  std::string temp_;    // the temporary file's name, while it has one
  int fd_ = -1;
  bool direct_ = false;
  bool owned_fd_ = true;
  bool existed_ = false;
  mode_t permissions_ = 0644;
  struct stat from_ {};
  bool from_named_regular_ = false;
};

// A sink that counts and discards (for a test of a compressed file).
class null_sink final : public qarn::byte_sink {
 public:
  void write(const uint8_t*, size_t n) override { count_ += n; }
  uint64_t count() const { return count_; }

 private:
  uint64_t count_ = 0;
};

}  // namespace fileio
