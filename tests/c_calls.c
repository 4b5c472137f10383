/* c_calls.c — calls of the C interface made from C, with numbers that a C program may pass where an enumeration is
 * expected: C converts any int to the enumeration's type, so the library must take every such value. */
#include "c_calls.h"

qarn_status c_compress(int mode, const void* in, size_t in_size, void* out, size_t out_capacity, size_t* out_size) {
  return qarn_compress((qarn_mode)mode, in, in_size, out, out_capacity, out_size);
}

const char* c_mode_name(int mode) { return qarn_mode_name((qarn_mode)mode); }

const char* c_status_string(int status) { return qarn_status_string((qarn_status)status); }
