// driver_decode_fuzz.cpp — arbitrary bytes as a compressed file of any mode, through the driver's dispatch on the
// header: refused or restored, never out of bounds.
#include <cstddef>
#include <cstdint>

#include "qarn.h"
#include "util.h"

using namespace qarn;

namespace {

class counting_sink final : public byte_sink {
 public:
  void write(const uint8_t*, size_t n) override { count += n; }
  size_t count = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  counting_sink sink;
  try {
    decompress_to(data, size, sink);
    // A stored file holds its input behind the header.
    if (get_u32(data) == mode_stored && sink.count != size - container_header_size) __builtin_trap();
  } catch (const qarn_error& e) {
    if (e.kind() != failure::corrupt) __builtin_trap();
  }
  return 0;
}
