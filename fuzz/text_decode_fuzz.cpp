// text_decode_fuzz.cpp — feeds arbitrary bytes to the text-mode decoder: it must refuse or restore, never crash.
// The input is taken as a file in the clear and whitened first, so that mutations reach the decoder's structure
// instead of turning into noise; the seeds are clear copies of real files.
#include <cstdint>
#include <cstring>

#include "text.h"
#include "util.h"

using namespace qarn;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  byte_buffer file(size + 1);
  if (size) std::memcpy(file.data(), data, size);
  text_whiten(file.data(), size);
  try {
    byte_buffer text = decompress_text_buffer(file.data(), size);
    (void)text;
  } catch (const qarn_error&) {
  }
  return 0;
}
