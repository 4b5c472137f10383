// libqarn.cpp — the C interface: the driver's buffer layer (the same choice of mode and fallbacks as the program's)
// behind return codes. Nothing thrown inside gets past these functions.
#define QARN_BUILDING_LIBRARY
#include "libqarn.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

#include "qarn.h"
#include "ransavx.h"
#include "stream.h"
#include "util.h"

using namespace qarn;

// A settings object: the value of every setting. Its layout is the library's own (callers see only a pointer), so
// settings are added at the end without changing any call.
struct qarn_params {
  int64_t threads = 1;
  int64_t mode = -1;
  int64_t block_size = QARN_DEFAULT_BLOCK_SIZE;
  int64_t checksum = 1;
};

namespace {

// A sink over the caller's buffer: a write past its capacity stops the work.
struct output_full {};
class fixed_sink final : public byte_sink {
 public:
  fixed_sink(uint8_t* out, size_t capacity) : out_(out), capacity_(capacity) {}
  void write(const uint8_t* p, size_t n) override {
    if (n == 0) return;
    if (n > capacity_ - used_) throw output_full();
    std::memcpy(out_ + used_, p, n);
    used_ += n;
  }
  size_t used() const { return used_; }

 private:
  uint8_t* out_;
  size_t capacity_;
  size_t used_ = 0;
};

// Calls running now: the last one to return gives back the coder's tables and the areas the allocator keeps for
// reuse.
std::atomic<int> running{0};
struct call_scope {
  call_scope() { running.fetch_add(1); }
  ~call_scope() {
    if (running.fetch_sub(1) == 1) {
      release_coder_tables();
      release_kept_memory();
    }
  }
};

// Runs work(), mapping what it throws to a status.
template <class Work>
qarn_status guarded(Work&& work) {
  try {
    call_scope scope;
    work();
    return QARN_OK;
  } catch (const output_full&) {
    return QARN_ERROR_OUTPUT_TOO_SMALL;
  } catch (const qarn_error& e) {
    switch (e.kind()) {
      case failure::corrupt: return QARN_ERROR_CORRUPT;
      case failure::too_large: return QARN_ERROR_INPUT_TOO_LARGE;
      case failure::checksum_mismatch: return QARN_ERROR_CHECKSUM;
      case failure::trailing_data: return QARN_ERROR_TRAILING_DATA;
    }
    return QARN_ERROR_INTERNAL;
  } catch (const std::invalid_argument&) {
    return QARN_ERROR_INVALID_ARGUMENT;
  } catch (const std::bad_alloc&) {
    return QARN_ERROR_OUT_OF_MEMORY;
  } catch (...) {
    return QARN_ERROR_INTERNAL;
  }
}

// Modes, statuses and settings are read as the ints they are: a C caller may pass any int, which the enumerations'
// ranges (those of an int) take.
bool known_mode(int mode) { return mode >= 0 && mode <= static_cast<int>(mode_mixed); }

// Every setting: its number, where its value is kept, and its range.
struct setting {
  int number;
  int64_t qarn_params::*value;
  int64_t lowest, highest;
};
const setting settings[] = {
    {QARN_PARAM_THREADS, &qarn_params::threads, 0, INT32_MAX},
    {QARN_PARAM_MODE, &qarn_params::mode, -1, mode_mixed},
    {QARN_PARAM_BLOCK_SIZE, &qarn_params::block_size, 1, stream_block_limit},
    {QARN_PARAM_CHECKSUM, &qarn_params::checksum, 0, 1},
};
const qarn_params default_params{};

const setting* find_setting(int number) {
  for (const setting& s : settings)
    if (s.number == number) return &s;
  return nullptr;
}

// The buffer layer's workers under the settings: THREADS 1 keeps the work on the calling thread; 0 (a thread per
// processor) and any larger number let each mode pick, which takes at most two threads, and two only where two
// processors are free, so never more than the setting allows.
int workers_under(const qarn_params* params) { return (params ? params : &default_params)->threads == 1 ? 1 : 0; }

qarn_status compress_with_workers(int mode, const void* in, size_t in_size, void* out, size_t out_capacity,
                                  size_t* out_size, int workers) {
  if (out_size) *out_size = 0;
  if (!out_size || (!in && in_size) || (!out && out_capacity) || !known_mode(mode))
    return QARN_ERROR_INVALID_ARGUMENT;
  if (in_size >= static_cast<uint64_t>(input_size_limit)) return QARN_ERROR_INPUT_TOO_LARGE;
  static const uint8_t nothing = 0;
  fixed_sink sink(static_cast<uint8_t*>(out), out ? out_capacity : 0);
  const qarn_status s = guarded([&] {
    compress_to(static_cast<uint32_t>(mode), in ? static_cast<const uint8_t*>(in) : &nothing, in_size, sink, {},
                workers);
  });
  if (s == QARN_OK) *out_size = sink.used();
  return s;
}

qarn_status decompress_with_workers(const void* file, size_t file_size, void* out, size_t out_capacity,
                                    size_t* out_size, int workers) {
  if (out_size) *out_size = 0;
  if (!out_size || (!file && file_size) || (!out && out_capacity)) return QARN_ERROR_INVALID_ARGUMENT;
  if (!file) return QARN_ERROR_CORRUPT;
  fixed_sink sink(static_cast<uint8_t*>(out), out ? out_capacity : 0);
  const qarn_status s =
      guarded([&] { decompress_to(static_cast<const uint8_t*>(file), file_size, sink, workers); });
  if (s == QARN_OK) *out_size = sink.used();
  return s;
}

stream_settings stream_settings_under(const qarn_params* params) {
  const qarn_params& p = params ? *params : default_params;
  stream_settings s;
  s.mode = static_cast<int>(p.mode);
  s.block_size = static_cast<uint32_t>(p.block_size);
  s.checksums = p.checksum != 0;
  s.workers = workers_under(params);
  return s;
}

bool valid_window(const void* p, size_t size, size_t pos) { return (p || size == 0) && pos <= size; }

// A new context, its coder made by make(context); null when there is no memory for it.
template <class Context, class Make>
Context* create_context(Make&& make) {
  try {
    auto context = std::make_unique<Context>();
    make(*context);
    return context.release();
  } catch (...) {
    return nullptr;
  }
}

// One call on a context: refused when an earlier call ended the context, or (ending it) when its windows are not
// valid; else work(out, in) runs on the windows, whose positions go back to the caller, and a failure ends the
// context.
template <class Context, class Work>
qarn_status context_call(Context* context, qarn_out_buffer* out, qarn_in_buffer* in, bool valid, Work&& work) {
  if (!context) return QARN_ERROR_INVALID_ARGUMENT;
  if (context->failed != QARN_OK) return context->failed;
  if (!valid || !out || !in || !valid_window(out->dst, out->size, out->pos) ||
      !valid_window(in->src, in->size, in->pos))
    return context->failed = QARN_ERROR_INVALID_ARGUMENT;
  out_window o{static_cast<uint8_t*>(out->dst), out->size, out->pos};
  in_window i{static_cast<const uint8_t*>(in->src), in->size, in->pos};
  const qarn_status s = guarded([&] { work(o, i); });
  out->pos = o.pos;
  in->pos = i.pos;
  if (s != QARN_OK) context->failed = s;
  return s;
}

// A one-shot stream call over the caller's buffers: work(out, in) runs on windows over them and returns whether
// everything fitted in out.
template <class Work>
qarn_status one_shot(const void* in, size_t in_size, void* out, size_t out_capacity, size_t* out_size, Work&& work) {
  if (out_size) *out_size = 0;
  if (!out_size || (!in && in_size) || (!out && out_capacity)) return QARN_ERROR_INVALID_ARGUMENT;
  static const uint8_t nothing = 0;
  out_window o{static_cast<uint8_t*>(out), out ? out_capacity : 0, 0};
  in_window i{in ? static_cast<const uint8_t*>(in) : &nothing, in_size, 0};
  bool fitted = false;
  const qarn_status s = guarded([&] { fitted = work(o, i); });
  if (s != QARN_OK) return s;
  if (!fitted) return QARN_ERROR_OUTPUT_TOO_SMALL;
  *out_size = o.pos;
  return QARN_OK;
}

}  // namespace

// A context: its coder, and the status that ended it, if any. While it lives it counts as a running call, so that
// the memory its blocks give back is kept for the next ones.
struct qarn_cstream {
  call_scope scope;
  std::unique_ptr<stream_encoder> encoder;
  qarn_status failed = QARN_OK;
};

struct qarn_dstream {
  call_scope scope;
  std::unique_ptr<stream_decoder> decoder;
  qarn_status failed = QARN_OK;
};

extern "C" {

unsigned qarn_version_number(void) { return QARN_VERSION_NUMBER; }
const char* qarn_version_string(void) { return QARN_VERSION_STRING; }
const char* qarn_format_version(void) { return QARN_FORMAT_VERSION; }

qarn_mode qarn_mode_for_name(const char* path) {
  return path ? static_cast<qarn_mode>(mode_for_name(path)) : QARN_MODE_STORED;
}

qarn_mode qarn_mode_for_content(const void* data, size_t size) {
  if (!data) return QARN_MODE_MIXED;
  try {
    return static_cast<qarn_mode>(mode_for_content(static_cast<const uint8_t*>(data), size));
  } catch (...) {
    return QARN_MODE_MIXED;  // no memory for the sample's tables: the mode that takes anything
  }
}

const char* qarn_mode_name(qarn_mode mode) {
  const int m = mode;
  return known_mode(m) ? mode_word(static_cast<uint32_t>(m)) : nullptr;
}

const char* qarn_status_string(qarn_status status) {
  switch (static_cast<int>(status)) {
    case QARN_OK: return "success";
    case QARN_ERROR_CORRUPT: return "damaged compressed data";
    case QARN_ERROR_OUTPUT_TOO_SMALL: return "output buffer too small";
    case QARN_ERROR_INPUT_TOO_LARGE: return "input past the size limit";
    case QARN_ERROR_OUT_OF_MEMORY: return "out of memory";
    case QARN_ERROR_INVALID_ARGUMENT: return "invalid argument";
    case QARN_ERROR_INTERNAL: return "internal error";
    case QARN_ERROR_CHECKSUM: return "checksum mismatch";
    case QARN_ERROR_TRAILING_DATA: return "trailing data after the compressed file";
  }
  return "unknown status";
}

size_t qarn_compress_bound(size_t n) {
  return n < static_cast<uint64_t>(input_size_limit) ? n + container_header_size : 0;
}

qarn_params* qarn_params_create(void) { return new (std::nothrow) qarn_params(); }

void qarn_params_free(qarn_params* params) { delete params; }

qarn_status qarn_params_set(qarn_params* params, qarn_param param, int64_t value) {
  const setting* s = find_setting(param);
  if (!params || !s || value < s->lowest || value > s->highest) return QARN_ERROR_INVALID_ARGUMENT;
  params->*(s->value) = value;
  return QARN_OK;
}

qarn_status qarn_params_get(const qarn_params* params, qarn_param param, int64_t* value) {
  const setting* s = find_setting(param);
  if (!value || !s) return QARN_ERROR_INVALID_ARGUMENT;
  *value = (params ? params : &default_params)->*(s->value);
  return QARN_OK;
}

qarn_status qarn_compress(qarn_mode mode, const void* in, size_t in_size, void* out, size_t out_capacity,
                          size_t* out_size) {
  return compress_with_workers(mode, in, in_size, out, out_capacity, out_size, 0);
}

qarn_status qarn_compress_with(const qarn_params* params, qarn_mode mode, const void* in, size_t in_size, void* out,
                               size_t out_capacity, size_t* out_size) {
  return compress_with_workers(mode, in, in_size, out, out_capacity, out_size, workers_under(params));
}

qarn_status qarn_file_mode(const void* file, size_t file_size, qarn_mode* mode) {
  if (!mode || (!file && file_size)) return QARN_ERROR_INVALID_ARGUMENT;
  if (file_size < static_cast<size_t>(container_header_size)) return QARN_ERROR_CORRUPT;
  const uint32_t m = get_u32(file);
  if (m > mode_mixed) return QARN_ERROR_CORRUPT;
  *mode = static_cast<qarn_mode>(m);
  return QARN_OK;
}

qarn_status qarn_decompressed_size(const void* file, size_t file_size, uint64_t* size) {
  if (!size || (!file && file_size)) return QARN_ERROR_INVALID_ARGUMENT;
  if (!file) return QARN_ERROR_CORRUPT;
  return guarded([&] { *size = restored_length(static_cast<const uint8_t*>(file), file_size); });
}

qarn_status qarn_decompress(const void* file, size_t file_size, void* out, size_t out_capacity, size_t* out_size) {
  return decompress_with_workers(file, file_size, out, out_capacity, out_size, 0);
}

qarn_status qarn_decompress_with(const qarn_params* params, const void* file, size_t file_size, void* out,
                                 size_t out_capacity, size_t* out_size) {
  return decompress_with_workers(file, file_size, out, out_capacity, out_size, workers_under(params));
}

qarn_cstream* qarn_cstream_create(const qarn_params* params) {
  return create_context<qarn_cstream>([&](qarn_cstream& c) {
    c.encoder = std::make_unique<stream_encoder>(stream_settings_under(params));
  });
}

void qarn_cstream_free(qarn_cstream* stream) { delete stream; }

qarn_status qarn_cstream_set_content_size(qarn_cstream* stream, uint64_t size) {
  if (!stream) return QARN_ERROR_INVALID_ARGUMENT;
  if (stream->failed != QARN_OK) return stream->failed;
  return guarded([&] { stream->encoder->pledge_content_size(size); });
}

qarn_status qarn_compress_stream(qarn_cstream* stream, qarn_out_buffer* out, qarn_in_buffer* in,
                                 qarn_end_directive end, size_t* pending) {
  if (pending) *pending = 0;
  const int op = end;
  size_t left = 0;
  const qarn_status s =
      context_call(stream, out, in, op >= QARN_CONTINUE && op <= QARN_END, [&](out_window& o, in_window& i) {
        left = stream->encoder->compress(o, i, op == QARN_CONTINUE ? end_op::more
                                               : op == QARN_FLUSH  ? end_op::flush
                                                                   : end_op::end);
      });
  if (s == QARN_OK && pending) *pending = left;
  return s;
}

size_t qarn_cstream_out_size(const qarn_params* params) {
  return stream_encoder::block_bound(stream_settings_under(params).block_size);
}

size_t qarn_stream_compress_bound(size_t n, const qarn_params* params) {
  return stream_compress_bound(n, stream_settings_under(params).block_size);
}

qarn_status qarn_stream_compress(const qarn_params* params, const void* in, size_t in_size, void* out,
                                 size_t out_capacity, size_t* out_size) {
  return one_shot(in, in_size, out, out_capacity, out_size, [&](out_window& o, in_window& i) {
    stream_encoder encoder(stream_settings_under(params));
    encoder.pledge_content_size(in_size);
    return encoder.compress(o, i, end_op::end) == 0;
  });
}

qarn_dstream* qarn_dstream_create(const qarn_params* params) {
  return create_context<qarn_dstream>(
      [&](qarn_dstream& d) { d.decoder = std::make_unique<stream_decoder>(workers_under(params)); });
}

void qarn_dstream_free(qarn_dstream* stream) { delete stream; }

qarn_status qarn_decompress_stream(qarn_dstream* stream, qarn_out_buffer* out, qarn_in_buffer* in, int last,
                                   int* finished) {
  if (finished) *finished = 0;
  bool complete = false;
  const qarn_status s = context_call(stream, out, in, true, [&](out_window& o, in_window& i) {
    complete = stream->decoder->decompress(o, i, last != 0);
  });
  if (s == QARN_OK && finished) *finished = complete;
  return s;
}

qarn_status qarn_stream_decompress(const qarn_params* params, const void* in, size_t in_size, void* out,
                                   size_t out_capacity, size_t* out_size) {
  return one_shot(in, in_size, out, out_capacity, out_size, [&](out_window& o, in_window& i) {
    stream_decoder decoder(workers_under(params));
    return decoder.decompress(o, i, true);
  });
}

}  // extern "C"
