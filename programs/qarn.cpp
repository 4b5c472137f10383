// qarn.cpp — the qarn program: `qarn -c input output` and `qarn -d input output`, with its fixed messages. The work
// is the library's buffer layer; the files are the file layer's.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "fileio.h"
#include "qarn.h"

namespace {

using fileio::failure;
using fileio::file_error;

// qarn's outputs: a symbolic link stays a link and the file it leads to is replaced; an existing file is replaced.
constexpr fileio::output_policy qarn_output{};

// Where the progress line and the messages go: standard output, unless the compressed or restored data goes there.
FILE* messages = stdout;

void announce(const char* direction, uint32_t mode) {
  std::fprintf(messages, "%s %s\n", direction, qarn::mode_word(mode));
  std::fflush(messages);
}

// Stored mode streams: the input goes through a buffer of at most 4 MiB behind the header, in constant memory and
// at the speed of a copy. The other modes take the whole input at once, mapped when it is a sized file.
void compress_file(const std::string& in_path, const std::string& out_path) {
  fileio::input_file in(in_path);
  const uint32_t mode = qarn::mode_for_name(in_path.c_str());
  announce("Compressing", mode);
  fileio::output_file out(out_path, qarn_output, in);
  try {
    if (mode == qarn::mode_stored) {
      uint8_t head[qarn::container_header_size];
      qarn::put_u32(head, qarn::mode_stored);
      out.write(head, sizeof head);
      fileio::copy_rest(in, out, 0, qarn::stored_input_limit);
    } else {
      fileio::whole_input data(in, qarn::input_size_limit - 1, false);
      try {
        qarn::compress_to(mode, data.data(), data.size(), out, [&data] { data.let_pages_go(); });
      } catch (...) {
        data.check_unchanged();  // a failure over a changed input is that change
        throw;
      }
      data.check_unchanged();
    }
  } catch (const file_error& e) {
    // Past stored mode's limit but within the size limit: still too large for a file qarn can restore.
    if (e.what_failed() == failure::input_past_limit) throw file_error(failure::input_too_large, e.path());
    throw;
  }
  out.commit();
}

void decompress_file(const std::string& in_path, const std::string& out_path) {
  fileio::input_file in(in_path);
  uint8_t head[qarn::container_header_size];
  if (in.read_full(head, sizeof head) < sizeof head) qarn::corrupt();
  const uint32_t mode = qarn::get_u32(head);
  if (!qarn::mode_word(mode)) qarn::corrupt();
  announce("Decompressing", mode);
  const int64_t limit = qarn::file_length_limit(mode);
  if (in.sized() && in.size() >= limit) qarn::corrupt();
  fileio::output_file out(out_path, qarn_output, in);
  try {
    if (mode == qarn::mode_stored) {
      fileio::copy_rest(in, out, sizeof head, static_cast<uint64_t>(limit - 1));
    } else {
      fileio::whole_input file(in, static_cast<uint64_t>(limit - 1), true, head, sizeof head);
      qarn::decompress_in_place(file.writable_data(), file.size(), out);
      file.check_unchanged();
    }
  } catch (const file_error& e) {
    // Longer than any file of its mode, but within the size limit: a damaged file.
    if (e.what_failed() == failure::input_past_limit) qarn::corrupt();
    throw;
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

// The check and line of the fixed message of a file operation that failed, as the format's first program gave
// them: output open "fp!=NULL" 45, output write "length==n" 48, input read "length==n" 68.
void report_system_failure(const file_error& e) {
  const char* check = "length==n";
  int line = 68;
  if (e.what_failed() == failure::open_output) {
    check = "fp!=NULL";
    line = 45;
  } else if (e.what_failed() == failure::write_output || e.what_failed() == failure::output_exists) {
    line = 48;
  }
  std::fprintf(messages, "assertion \"%s\" failed: ./util.c:%d\n", check, line);
}

// Prints the message of a failure (with a second line on standard error where the system gave a reason).
void report(const file_error& e, const char* in) {
  bool reason = true;
  switch (e.what_failed()) {
    case failure::open_input:
      std::fprintf(messages, "%s not found\n", in);
      reason = e.error_number() != ENOENT;
      break;
    case failure::input_is_directory:
    case failure::input_not_regular: std::fprintf(messages, "%s is a directory\n", in); break;
    case failure::input_too_large:
    case failure::input_past_limit: std::fprintf(messages, "File %s must be less than 1.001GB\n", in); break;
    case failure::input_changed: std::fprintf(messages, "File %s changed while it was read\n", in); break;
    case failure::read_input:
    case failure::open_output:
    case failure::output_exists:
    case failure::write_output: report_system_failure(e); break;
  }
  std::fflush(messages);
  if (reason && e.error_number() != 0)
    std::fprintf(stderr, "qarn: %s: %s\n", e.path().c_str(), std::strerror(e.error_number()));
}

void report(const qarn::qarn_error& e, const char* in) {
  if (e.kind() == qarn::failure::too_large)
    std::fprintf(messages, "File %s must be less than 1.001GB\n", in);
  else
    std::fprintf(messages, "File %s is corrupt\n", in);
  std::fflush(messages);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 || std::strlen(argv[1]) != 2 || argv[1][0] != '-' || (argv[1][1] != 'c' && argv[1][1] != 'd')) {
    usage();
    return 1;
  }
  // A closed standard output must not end a run that can still write its file.
  fileio::prepare_process({.ignore_broken_pipe = true});
  const char* in = argv[2];
  const char* out = argv[3];
  // Data written to standard output itself (/dev/stdout, a pipe) is the whole file and nothing else.
  if (fileio::is_standard_output(out)) messages = stderr;
  try {
    if (argv[1][1] == 'c') compress_file(in, out);
    else decompress_file(in, out);
  } catch (const file_error& e) {
    report(e, in);
    return 1;
  } catch (const qarn::qarn_error& e) {
    report(e, in);
    return 1;
  } catch (const std::bad_alloc&) {
    std::fprintf(messages, "Not enough memory for %s\n", in);
    std::fflush(messages);
    return 1;
  }
  return 0;
}
