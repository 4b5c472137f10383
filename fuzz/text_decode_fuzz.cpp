// text_decode_fuzz.cpp — feeds arbitrary bytes to the text-mode decoder: it must refuse or restore, never crash.
#include <cstdint>
#include <cstring>

#include "text.h"
#include "util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    byte_buffer text = decompress_text_buffer(data, size);
    (void)text;
  } catch (const corrupt_input&) {
  }
  return 0;
}
