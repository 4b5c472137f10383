// stream_tool.cpp — standard input to standard output through the library's C interface, in pieces of 1 MiB, so
// that the peak memory of a run is what a pipe costs: a .qz stream at any block size, mode and threads, or (for the
// sizes to compare it with) the one plain qarn file of the whole input in the mode its content suggests.
//
//   stream_tool -c [-b BYTES] [-m MODE] [-t THREADS]   compress to a stream (defaults: the library's)
//   stream_tool -d [-t THREADS]                        restore a stream (or a plain qarn file)
//   stream_tool -p [-t THREADS]                        compress to one plain qarn file: qarn_mode_for_content of
//                                                      the whole input, then qarn_compress_with (what `qarn -c`
//                                                      writes in that mode); its mode's word goes to standard error
//
// MODE is -1 (each block's own, from its content) or a mode number; THREADS is QARN_PARAM_THREADS (0: the
// library's own choice, which uses a second processor where there is one). bench/blocks.sh drives it.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "libqarn.h"

namespace {

constexpr size_t piece = size_t{1} << 20;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "stream_tool: %s\n", what.c_str());
  std::exit(1);
}

void check(qarn_status s, const char* call) {
  if (s != QARN_OK) fail(std::string(call) + ": " + qarn_status_string(s));
}

// Reads up to n bytes; fewer only at the end of the input.
size_t read_piece(uint8_t* p, size_t n) {
  size_t got = 0;
  while (got < n) {
    const ssize_t k = ::read(0, p + got, n - got);
    if (k == 0) break;
    if (k < 0) {
      if (errno == EINTR) continue;
      fail(std::string("reading standard input: ") + std::strerror(errno));
    }
    got += static_cast<size_t>(k);
  }
  return got;
}

void write_all(const uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t k = ::write(1, p, n);
    if (k < 0) {
      if (errno == EINTR) continue;
      fail(std::string("writing standard output: ") + std::strerror(errno));
    }
    p += k;
    n -= static_cast<size_t>(k);
  }
}

int64_t number(const char* text, const char* what) {
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0') fail(std::string("not a number for ") + what + ": " + text);
  return v;
}

void compress(const qarn_params* params) {
  qarn_cstream* ctx = qarn_cstream_create(params);
  if (!ctx) fail("qarn_cstream_create: no memory");
  std::vector<uint8_t> in_buf(piece), out_buf(piece);
  // Gives out everything the context has to give for this piece of input (or the end).
  auto run = [&](qarn_in_buffer& in, qarn_end_directive end) {
    size_t pending = 0;
    do {
      qarn_out_buffer out{out_buf.data(), out_buf.size(), 0};
      check(qarn_compress_stream(ctx, &out, &in, end, &pending), "qarn_compress_stream");
      write_all(out_buf.data(), out.pos);
    } while (in.pos < in.size || pending > 0);
  };
  for (;;) {
    const size_t n = read_piece(in_buf.data(), in_buf.size());
    if (n == 0) break;
    qarn_in_buffer in{in_buf.data(), n, 0};
    run(in, QARN_CONTINUE);
  }
  qarn_in_buffer none{nullptr, 0, 0};
  run(none, QARN_END);
  qarn_cstream_free(ctx);
}

void decompress(const qarn_params* params) {
  qarn_dstream* ctx = qarn_dstream_create(params);
  if (!ctx) fail("qarn_dstream_create: no memory");
  std::vector<uint8_t> in_buf(piece), out_buf(piece);
  int finished = 0;
  for (;;) {
    const size_t n = read_piece(in_buf.data(), in_buf.size());
    const int last = n == 0;
    qarn_in_buffer in{in_buf.data(), n, 0};
    for (;;) {
      qarn_out_buffer out{out_buf.data(), out_buf.size(), 0};
      check(qarn_decompress_stream(ctx, &out, &in, last, &finished), "qarn_decompress_stream");
      write_all(out_buf.data(), out.pos);
      // Again while input is left, or while the output filled up (more may be waiting).
      if (in.pos < in.size || out.pos == out.size) continue;
      if (last && !finished) {
        if (out.pos == 0) fail("qarn_decompress_stream: no progress at the end of the input");
        continue;
      }
      break;
    }
    if (last) break;
  }
  qarn_dstream_free(ctx);
}

void plain(const qarn_params* params) {
  std::vector<uint8_t> all;
  for (;;) {
    const size_t at = all.size();
    all.resize(at + piece);
    const size_t n = read_piece(all.data() + at, piece);
    all.resize(at + n);
    if (n == 0) break;
  }
  const qarn_mode mode = qarn_mode_for_content(all.data(), all.size());
  std::vector<uint8_t> file(qarn_compress_bound(all.size()));
  if (file.empty()) fail("the input passes qarn's size limit");
  size_t n = 0;
  check(qarn_compress_with(params, mode, all.data(), all.size(), file.data(), file.size(), &n), "qarn_compress_with");
  write_all(file.data(), n);
  std::fprintf(stderr, "%s\n", qarn_mode_name(mode));
}

}  // namespace

int main(int argc, char** argv) {
  char op = 0;
  bool bad = false;
  qarn_params* params = qarn_params_create();
  if (!params) fail("qarn_params_create: no memory");
  check(qarn_params_set(params, QARN_PARAM_THREADS, 0), "qarn_params_set");
  int c;
  while ((c = ::getopt(argc, argv, "cdpb:m:t:")) != -1) {
    switch (c) {
      case 'c':
      case 'd':
      case 'p': op = static_cast<char>(c); break;
      case 'b': check(qarn_params_set(params, QARN_PARAM_BLOCK_SIZE, number(optarg, "-b")), "block size"); break;
      case 'm': check(qarn_params_set(params, QARN_PARAM_MODE, number(optarg, "-m")), "mode"); break;
      case 't': check(qarn_params_set(params, QARN_PARAM_THREADS, number(optarg, "-t")), "threads"); break;
      default: bad = true; break;
    }
  }
  if (bad || op == 0 || optind != argc) {
    std::fprintf(stderr, "usage: stream_tool -c [-b BYTES] [-m MODE] [-t THREADS] | -d [-t THREADS] | -p [-t THREADS]\n");
    return 2;
  }
  if (op == 'c') compress(params);
  if (op == 'd') decompress(params);
  if (op == 'p') plain(params);
  qarn_params_free(params);
  return 0;
}
