/* c_calls.c — calls of the C interface made from C, with numbers that a C program may pass where an enumeration is
 * expected: C converts any int to the enumeration's type, so the library must take every such value. */
#include "c_calls.h"

qarn_status c_compress(int mode, const void* in, size_t in_size, void* out, size_t out_capacity, size_t* out_size) {
  return qarn_compress((qarn_mode)mode, in, in_size, out, out_capacity, out_size);
}

const char* c_mode_name(int mode) { return qarn_mode_name((qarn_mode)mode); }

const char* c_status_string(int status) { return qarn_status_string((qarn_status)status); }

qarn_status c_params_set(qarn_params* params, int param, int64_t value) {
  return qarn_params_set(params, (qarn_param)param, value);
}

qarn_status c_params_get(const qarn_params* params, int param, int64_t* value) {
  return qarn_params_get(params, (qarn_param)param, value);
}

qarn_status c_compress_with(const qarn_params* params, int mode, const void* in, size_t in_size, void* out,
                            size_t out_capacity, size_t* out_size) {
  return qarn_compress_with(params, (qarn_mode)mode, in, in_size, out, out_capacity, out_size);
}
