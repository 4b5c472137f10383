// c_calls.h — the C interface called from C (c_calls.c) with plain numbers for its enumerations.
#pragma once

#include "libqarn.h"

#ifdef __cplusplus
extern "C" {
#endif

qarn_status c_compress(int mode, const void* in, size_t in_size, void* out, size_t out_capacity, size_t* out_size);
const char* c_mode_name(int mode);
const char* c_status_string(int status);

#ifdef __cplusplus
}
#endif
