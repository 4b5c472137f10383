// c_calls.h — the C interface called from C (c_calls.c) with plain numbers for its enumerations.
#pragma once

#include "libqarn.h"

#ifdef __cplusplus
extern "C" {
#endif

qarn_status c_compress(int mode, const void* in, size_t in_size, void* out, size_t out_capacity, size_t* out_size);
const char* c_mode_name(int mode);
const char* c_status_string(int status);
qarn_status c_params_set(qarn_params* params, int param, int64_t value);
qarn_status c_params_get(const qarn_params* params, int param, int64_t* value);
qarn_status c_compress_with(const qarn_params* params, int mode, const void* in, size_t in_size, void* out,
                            size_t out_capacity, size_t* out_size);

#ifdef __cplusplus
}
#endif
