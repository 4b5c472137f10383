// stream_decode_fuzz.cpp — arbitrary bytes through the stream decoder of the C interface, offered in pieces and
// drained into windows whose sizes the input chooses: a documented status, never a crash, an escaped exception, a
// write past a window or a call that stands still. What the pieces restore must not depend on their sizes: the
// one-shot call, given all of it at once, comes to the same status and the same bytes (or, for a damaged stream
// that declares more content than its buffer holds, may refuse the buffer first).
//
// The input: a byte n, then n % 16 schedule bytes (each gives the size of one piece of input, low four bits, and
// of one output window, high four bits, used in turn), then the stream.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "libqarn.h"
#include "stream.h"

namespace {

constexpr size_t sizes[16] = {1, 2, 3, 4, 5, 7, 8, 12, 13, 16, 64, 100, 1000, 4096, 65536, size_t{1} << 20};
constexpr size_t most_output = size_t{1} << 20;  // restored bytes looked at; past them the input is let go

// Keeps what it is given, up to a cap past which the run is let go.
class capped_sink final : public qarn::byte_sink {
 public:
  struct full {};
  void write(const uint8_t* p, size_t n) override {
    if (out.size() + n > 2 * most_output) throw full{};
    out.insert(out.end(), p, p + n);
  }
  std::vector<uint8_t> out;
};

bool documented(qarn_status s) {
  return s == QARN_OK || s == QARN_ERROR_CORRUPT || s == QARN_ERROR_CHECKSUM || s == QARN_ERROR_TRAILING_DATA ||
         s == QARN_ERROR_OUT_OF_MEMORY;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t schedule_n = std::min<size_t>(data[0] % 16, size - 1);
  const uint8_t* schedule = data + 1;
  const uint8_t* stream = data + 1 + schedule_n;
  const size_t stream_size = size - 1 - schedule_n;

  qarn_dstream* d = qarn_dstream_create(nullptr);
  if (!d) return 0;
  static std::vector<uint8_t> window(sizes[15] + 16);
  std::vector<uint8_t> restored;
  size_t at = 0, turn = 0;
  qarn_status status = QARN_OK;
  bool finished = false;
  while (!finished && status == QARN_OK && restored.size() <= most_output) {
    const uint8_t s = schedule_n ? schedule[turn % schedule_n] : 0xff;
    turn++;
    const size_t piece = std::min(sizes[s & 15], stream_size - at);
    const size_t room = sizes[s >> 4], from = turn % 7;
    const int last = at + piece == stream_size;
    qarn_in_buffer in{stream + at, piece, 0};
    qarn_out_buffer out{window.data(), from + room, from};
    int done = 7;
    status = qarn_decompress_stream(d, &out, &in, last, &done);
    if (!documented(status) || in.pos > piece || out.pos < from || out.pos > from + room) __builtin_trap();
    if (done != 0 && (done != 1 || status != QARN_OK || !last || at + in.pos != stream_size)) __builtin_trap();
    // With all the input given and room to write, a call that neither ends nor fails must get somewhere.
    if (status == QARN_OK && !done && last && in.pos == 0 && out.pos == from && at == stream_size) __builtin_trap();
    restored.insert(restored.end(), window.data() + from, window.data() + out.pos);
    at += in.pos;
    finished = done == 1;
  }
  qarn_dstream_free(d);
  if (status == QARN_ERROR_OUT_OF_MEMORY || (status == QARN_OK && !finished)) return 0;

  // The same input at once: the same status and, when it restores, the same bytes.
  std::vector<uint8_t> whole(restored.size() + 1);
  size_t whole_size = 0;
  const qarn_status once =
      qarn_stream_decompress(nullptr, stream, stream_size, whole.data(), whole.size(), &whole_size);
  if (once == QARN_ERROR_OUT_OF_MEMORY) return 0;
  // A frame may declare more content than the buffer holds; the one-shot call may then refuse the buffer before it
  // reads far enough to find the damage the pieces ran into. Never when the pieces restored everything.
  if (once == QARN_ERROR_OUTPUT_TOO_SMALL && status != QARN_OK) return 0;
  if (once != status) __builtin_trap();
  if (once == QARN_OK &&
      (whole_size != restored.size() || (whole_size && std::memcmp(whole.data(), restored.data(), whole_size))))
    __builtin_trap();

  // Straight through, all at once: the same status, and the same bytes when it restores.
  qarn::stream_decoder through(1);
  capped_sink sink;
  qarn::in_window all{stream, stream_size, 0};
  qarn_status direct = QARN_OK;
  try {
    if (!through.decompress_through(sink, all, true)) __builtin_trap();  // all the input, and no failure
  } catch (const qarn::qarn_error& e) {
    direct = e.kind() == qarn::failure::checksum_mismatch ? QARN_ERROR_CHECKSUM
             : e.kind() == qarn::failure::trailing_data   ? QARN_ERROR_TRAILING_DATA
             : e.kind() == qarn::failure::corrupt         ? QARN_ERROR_CORRUPT
                                                          : QARN_ERROR_INTERNAL;
  } catch (const std::bad_alloc&) {
    return 0;
  } catch (const capped_sink::full&) {
    __builtin_trap();  // more than the pieces restored
  }
  if (direct != status) __builtin_trap();
  if (direct == QARN_OK && (sink.out.size() != restored.size() ||
                            (!restored.empty() && std::memcmp(sink.out.data(), restored.data(), restored.size()))))
    __builtin_trap();
  return 0;
}
