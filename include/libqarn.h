/* libqarn.h — the qarn compressor as a library, in two formats:
 * - plain qarn files, whole buffers in and out: the files the qarn program writes and reads (qarn_compress,
 *   qarn_decompress). A file starts with its mode number (u32, little-endian) and the format is fixed: for a given
 *   input and mode, every version of this library writes the same bytes, and reads every file any version wrote.
 *   One file holds one input of less than 1,001,000,001 bytes, and files cannot be joined.
 * - the .qz stream, in pieces of any size (qarn_compress_stream, qarn_decompress_stream, since 1.2): what the qz
 *   program writes by default. Frames with a magic number, cut into blocks that are each one plain qarn file, with
 *   checksums of what they restore; any size of input, in memory bounded by the block size; streams concatenate.
 *   The stream calls also read plain qarn files. The qarn program does not read streams (its files are fixed).
 *
 * Every function may be called from several threads at once on different buffers: the library has no mutable
 * global state. Each call takes its working memory for itself and gives it back before it returns. While calls
 * overlap, up to 8 large areas and 8 coding tables that one of them gives back may be kept for the others; the
 * last call to return gives them back as well. (Small blocks go back to the C library's allocator, which may keep
 * some of them, as it usually does: after compressing 40 MB of text the process held about 0.7 MB more than
 * before, the pages of code that the call ran.) A program that loads the library with dlopen unloads it with its
 * last dlclose; the library exports only the qarn_* functions.
 *
 * The library never prints, never exits and never aborts on any input: every failure is a return code, a
 * shortage of memory included. No C++ exception crosses these functions. qarn_compress and qarn_decompress may use
 * a second thread for the duration of the call when the input is a megabyte or more (an image: a quarter of a
 * million pixels) and the process may run on two processors; qarn_compress_with and qarn_decompress_with start no
 * thread unless their settings allow it (QARN_PARAM_THREADS). The output is the same whatever the threads.
 *
 * Each call and setting says since which version of the library it exists. A program built against this header
 * runs with any later 1.x library (libqarn.so.1); one that uses a call of 1.1 needs a 1.1 library or later.
 */
#ifndef LIBQARN_H
#define LIBQARN_H

#include <stddef.h>
#include <stdint.h>

#if defined(QARN_BUILDING_LIBRARY) && defined(__GNUC__)
#define QARN_API __attribute__((visibility("default")))
#else
#define QARN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Versions. ---- */

/* The library's version at compile time; qarn_version_number() gives the one linked at run time. */
#define QARN_VERSION_MAJOR 1
#define QARN_VERSION_MINOR 2
#define QARN_VERSION_PATCH 0
#define QARN_VERSION_STRING "1.2.0"
#define QARN_VERSION_NUMBER (QARN_VERSION_MAJOR * 10000 + QARN_VERSION_MINOR * 100 + QARN_VERSION_PATCH)
/* The version of the file format, as the program's usage text names it. */
#define QARN_FORMAT_VERSION "Qarnwise version 3"

/* The linked library's version: MAJOR * 10000 + MINOR * 100 + PATCH, and as "MAJOR.MINOR.PATCH". Since 1.0. */
QARN_API unsigned qarn_version_number(void);
QARN_API const char* qarn_version_string(void);
/* The file format's version, "Qarnwise version 3". Since 1.0. */
QARN_API const char* qarn_format_version(void);

/* ---- Modes. ---- */

/* The four modes; the number is the first four bytes of every compressed file. Since 1.0. */
typedef enum qarn_mode {
  QARN_MODE_STORED = 0, /* the input unchanged behind the 4-byte header */
  QARN_MODE_TEXT = 1,   /* space- and line-feed-terminated tokens */
  QARN_MODE_IMAGE = 2,  /* binary RGB PNM (P6) photos */
  QARN_MODE_MIXED = 3,  /* binaries: executables, libraries, object files */
  /* Not modes: they give the type the range of an int, so that any int may be passed (and is refused). */
  QARN_MODE_INT_MIN_ = -0x7fffffff - 1,
  QARN_MODE_INT_ = 0x7fffffff
} qarn_mode;

/* The mode the qarn program picks for an input of that path: the (up to) four bytes from the last '.' of the whole
 * path, compared with ".pnm", ".txt" and ".dat" in that order; stored mode for anything else (and for NULL).
 * Since 1.0. */
QARN_API qarn_mode qarn_mode_for_name(const char* path);
/* The mode that suits the content of data[0 .. size), for inputs without a telling name (a pipe, a file without
 * an extension): a PNM image that image mode restores byte for byte ("P6\n<width> <height>\n255\n" and the
 * samples) gives image mode; an executable, shared library, object file or archive of objects (ELF, PE, Mach-O,
 * "!<arch>") gives mixed mode; text that text mode codes well (no NUL or other control bytes, words separated by
 * spaces and line feeds, at most 30% of them distinct, few repeated lines) gives text mode; anything else gives
 * mixed mode. Reads at most about 256 KB of the input, spread over it. Since 1.0. */
QARN_API qarn_mode qarn_mode_for_content(const void* data, size_t size);
/* The mode's word as the program prints it: "default" (stored), "text", "image", "mixed"; NULL for any other
 * number (negative ones included). Since 1.0. */
QARN_API const char* qarn_mode_name(qarn_mode mode);

/* ---- Results. ---- */

/* Since 1.0. */
typedef enum qarn_status {
  QARN_OK = 0,
  QARN_ERROR_CORRUPT = 1,          /* the compressed input is damaged (or is not a qarn file) */
  QARN_ERROR_OUTPUT_TOO_SMALL = 2, /* the output buffer cannot hold the result; nothing usable was written */
  QARN_ERROR_INPUT_TOO_LARGE = 3,  /* the input passes the format's size limit (see QARN_INPUT_LIMIT) */
  QARN_ERROR_OUT_OF_MEMORY = 4,    /* working memory could not be had */
  QARN_ERROR_INVALID_ARGUMENT = 5, /* a null pointer where a buffer is needed, an unknown mode or setting, or a
                                      setting's value out of its range */
  QARN_ERROR_INTERNAL = 6,         /* a failure the library did not expect (a bug): please report it */
  QARN_ERROR_CHECKSUM = 7,         /* a stream's restored bytes differ from their checksum (since 1.2) */
  QARN_ERROR_TRAILING_DATA = 8,    /* bytes after the last frame of a stream that start no frame (since 1.2) */
  /* Not statuses: they give the type the range of an int, so that any int may be passed. */
  QARN_STATUS_INT_MIN_ = -0x7fffffff - 1,
  QARN_STATUS_INT_ = 0x7fffffff
} qarn_status;

/* A short English description of a status ("damaged compressed data", ...); "unknown status" for a number that
 * names none; never NULL. Since 1.0. */
QARN_API const char* qarn_status_string(qarn_status status);

/* Inputs of either direction must be smaller than this many bytes; stored mode takes at most
 * QARN_INPUT_LIMIT - 6 bytes, so that its file stays within the limit. */
#define QARN_INPUT_LIMIT 1001000001ULL

/* ---- Settings (since 1.1). ---- */

/* A set of settings for the calls that take one (qarn_compress_with, qarn_decompress_with, and the streams'). A
 * new object holds
 * every setting's default; settings are changed one at a time, by number, so that later versions add settings
 * without changing any call. Several calls may read one object at once (from several threads), as long as none
 * changes or frees it meanwhile. Since 1.1. */
typedef struct qarn_params qarn_params;

/* The settings: what each takes, its default, and since which version it exists. Since 1.1. */
typedef enum qarn_param {
  /* The threads a call may use in all, the calling thread included: 0 = one for each processor the process may
   * run on; 1 = the calling thread only (no thread is started); N = at most N. The library uses at most two today,
   * and a second one only for a large input (a megabyte or more; an image: a quarter of a million pixels); the
   * output is the same whatever the number. 0 to 2147483647; default 1. Since 1.1. */
  QARN_PARAM_THREADS = 1,
  /* The streams' mode for every block: -1 = each block's own, from its content (qarn_mode_for_content), or a
   * qarn_mode. Every fallback applies to each block. -1 to 3; default -1. Since 1.2. */
  QARN_PARAM_MODE = 2,
  /* The streams' block size in bytes: no block restores to more (a PNM image that starts a frame is one block
   * whatever its size, up to image mode's limit). Larger blocks compress better and take more memory: a process
   * that compresses a pipe in pieces on one thread peaks at about 12 times the block size for binaries and 15
   * times for incompressible data (with a mode's second thread, up to 22 times), 3 times for text; restoring, 2
   * to 5 times (docs/benchmarks.md, "Stream block size"). 1 to 268435456 (2^28); default
   * QARN_DEFAULT_BLOCK_SIZE. Since 1.2. */
  QARN_PARAM_BLOCK_SIZE = 3,
  /* Whether streams carry checksums of their blocks and frames (XXH3-64 of the restored bytes): 1 or 0; default
   * 1. A reader checks whatever a frame carries. Since 1.2. */
  QARN_PARAM_CHECKSUM = 4,
  /* Not settings: they give the type the range of an int, so that any int may be passed (and is refused). */
  QARN_PARAM_INT_MIN_ = -0x7fffffff - 1,
  QARN_PARAM_INT_ = 0x7fffffff
} qarn_param;

/* A new settings object holding every setting's default, which qarn_params_free gives back; NULL when there is
 * no memory for it. Since 1.1. */
QARN_API qarn_params* qarn_params_create(void);
/* Gives back a settings object; NULL is allowed and does nothing. Since 1.1. */
QARN_API void qarn_params_free(qarn_params* params);
/* Sets one setting of params to value. Returns QARN_OK, or QARN_ERROR_INVALID_ARGUMENT (and changes nothing) when
 * params is NULL, the setting is unknown to this library, or the value is out of the setting's range.
 * Since 1.1. */
QARN_API qarn_status qarn_params_set(qarn_params* params, qarn_param param, int64_t value);
/* One setting's value, into *value; params NULL gives the default (the value the calls use with NULL settings).
 * Returns QARN_OK, or QARN_ERROR_INVALID_ARGUMENT (*value unchanged) when value is NULL or the setting is unknown
 * to this library. Since 1.1. */
QARN_API qarn_status qarn_params_get(const qarn_params* params, qarn_param param, int64_t* value);

/* ---- Compression. ---- */

/* The largest compressed file of n input bytes in any mode: n + 4 (a mode whose result would be larger writes
 * the stored-mode file instead). 0 for n >= QARN_INPUT_LIMIT, which no call compresses: the bound never wraps
 * around, even for SIZE_MAX. Since 1.0. */
QARN_API size_t qarn_compress_bound(size_t n);

/* Compresses in[0 .. in_size) in `mode` into out[0 .. out_capacity) and sets *out_size to the file's length.
 * The file is exactly what `qarn -c` writes for an input of that mode, fallbacks included: an input that text or
 * image mode cannot take is compressed in mixed mode, and whenever a mode's file would be larger than the
 * stored-mode file (or past a mode's limit) the stored-mode file is written; its first four bytes say which.
 * out_capacity >= qarn_compress_bound(in_size) always suffices. in may be NULL when in_size is 0. Uses a second
 * thread for a large input when the process may run on two processors (as QARN_PARAM_THREADS 0 does).
 * Returns QARN_OK, or QARN_ERROR_OUTPUT_TOO_SMALL, QARN_ERROR_INPUT_TOO_LARGE, QARN_ERROR_OUT_OF_MEMORY,
 * QARN_ERROR_INVALID_ARGUMENT (*out_size is then 0). Since 1.0. */
QARN_API qarn_status qarn_compress(qarn_mode mode, const void* in, size_t in_size, void* out, size_t out_capacity,
                                   size_t* out_size);
/* The same under the settings in params (NULL: the defaults). The file is the same byte for byte; by default the
 * whole work is done on the calling thread (QARN_PARAM_THREADS 1). Returns what qarn_compress returns.
 * Since 1.1. */
QARN_API qarn_status qarn_compress_with(const qarn_params* params, qarn_mode mode, const void* in, size_t in_size,
                                        void* out, size_t out_capacity, size_t* out_size);

/* ---- Decompression. ---- */

/* The mode of a compressed file (its first four bytes), into *mode. Returns QARN_ERROR_CORRUPT when the file is
 * shorter than four bytes or names no mode. Since 1.0. */
QARN_API qarn_status qarn_file_mode(const void* file, size_t file_size, qarn_mode* mode);

/* The length of the input that a compressed file restores, read from its header, into *size: every mode records
 * it (stored mode by the file's own length). A damaged file may claim any length up to the limit, so treat it as
 * a hint for sizing the output, not a promise; qarn_decompress checks it. Returns QARN_ERROR_CORRUPT when the
 * header is damaged. Since 1.0. */
QARN_API qarn_status qarn_decompressed_size(const void* file, size_t file_size, uint64_t* size);

/* Restores the input of file[0 .. file_size) into out[0 .. out_capacity) and sets *out_size to its length. The
 * whole file is checked: a damaged file gives QARN_ERROR_CORRUPT (the format has no checksum, so only damage that
 * breaks its structure is found). Uses a second thread for a large file when the process may run on two
 * processors (as QARN_PARAM_THREADS 0 does). Returns QARN_OK, or QARN_ERROR_CORRUPT, QARN_ERROR_OUTPUT_TOO_SMALL,
 * QARN_ERROR_OUT_OF_MEMORY, QARN_ERROR_INVALID_ARGUMENT (*out_size is then 0 and out holds nothing usable).
 * Since 1.0. */
QARN_API qarn_status qarn_decompress(const void* file, size_t file_size, void* out, size_t out_capacity,
                                     size_t* out_size);
/* The same under the settings in params (NULL: the defaults); by default the whole work is done on the calling
 * thread (QARN_PARAM_THREADS 1). Returns what qarn_decompress returns. Since 1.1. */
QARN_API qarn_status qarn_decompress_with(const qarn_params* params, const void* file, size_t file_size, void* out,
                                          size_t out_capacity, size_t* out_size);

/* ---- Streams (since 1.2). ---- */

/* The .qz stream (docs/format.md, section 8): frames that start with a magic number, each cutting its input into
 * blocks that are each one complete qarn file of its own mode, with XXH3-64 checksums of the restored bytes of
 * every block and of the whole frame. Streams have no size limit, concatenate (a stream followed by a stream is a
 * stream of both), and are coded and restored in pieces of any size, in memory bounded by the block size. The
 * calls above read and write plain qarn files only; the stream calls write streams and read both streams and
 * plain qarn files. Since 1.2. */

/* The default block size: 35 MiB, the smallest whose streams stay within 1% of the plain files' size on the
 * comparison corpus while a pipe compresses in at most 512 MiB on one thread (docs/benchmarks.md, "Stream block
 * size"). Since 1.2. */
#define QARN_DEFAULT_BLOCK_SIZE (35u << 20)

/* A window of input the caller offers (src[pos .. size) is still to be read; the call moves pos) and one of output
 * (dst[pos .. size) is free; the call moves pos). Since 1.2. */
typedef struct qarn_in_buffer {
  const void* src;
  size_t size;
  size_t pos;
} qarn_in_buffer;
typedef struct qarn_out_buffer {
  void* dst;
  size_t size;
  size_t pos;
} qarn_out_buffer;

/* What a compressing call is to do with the input it has taken. Since 1.2. */
typedef enum qarn_end_directive {
  QARN_CONTINUE = 0, /* more input follows: blocks are coded as they fill */
  QARN_FLUSH = 1,    /* code everything taken so far, a short block if need be, and give it out */
  QARN_END = 2,      /* the same, and end the frame (the next input, if any, starts a new one) */
  QARN_END_DIRECTIVE_INT_MIN_ = -0x7fffffff - 1,
  QARN_END_DIRECTIVE_INT_ = 0x7fffffff
} qarn_end_directive;

/* A compression context: settings (mode, block size, checksum, threads), copied when it is made, and the frame in
 * progress. One context serves one caller at a time; several contexts may work at once on several threads. While
 * any context lives, the working memory that calls give back may be kept for later blocks; the last context to be
 * freed (or the last call to return, after it) gives it back. Since 1.2. */
typedef struct qarn_cstream qarn_cstream;

/* A new context under params (NULL: the defaults); NULL when there is no memory for it. Since 1.2. */
QARN_API qarn_cstream* qarn_cstream_create(const qarn_params* params);
/* Gives a context back; NULL is allowed and does nothing. Since 1.2. */
QARN_API void qarn_cstream_free(qarn_cstream* stream);
/* Records in the header of the next frame how many bytes it will hold; the frame must then hold exactly that many,
 * or its end gives QARN_ERROR_INVALID_ARGUMENT. Only before the frame's first byte is given. Returns QARN_OK, or
 * QARN_ERROR_INVALID_ARGUMENT. Since 1.2. */
QARN_API qarn_status qarn_cstream_set_content_size(qarn_cstream* stream, uint64_t size);
/* Takes what it can of in and writes what it can into out, as `end` directs. Returns QARN_OK and sets *pending
 * (when not NULL) to the bytes still waiting to be written (a block not yet coded, see below, counts as its
 * largest length): call again (with more room) until it is 0, at which point everything asked for is out (with
 * QARN_END: the frame is complete). Any status but QARN_OK is final for the context, which then only gives that
 * status again: QARN_ERROR_OUT_OF_MEMORY, QARN_ERROR_INVALID_ARGUMENT (a NULL argument, a position past its
 * window's size, another content size than recorded). An output window of qarn_cstream_out_size bytes, emptied
 * between calls, takes each block as it is coded, without a copy: a block that out cannot take whole is coded into
 * the context's own memory only when out had no room for it when the call began; a call that has written into out
 * returns before such a block, with input left in `in`. Since 1.2. */
QARN_API qarn_status qarn_compress_stream(qarn_cstream* stream, qarn_out_buffer* out, qarn_in_buffer* in,
                                          qarn_end_directive end, size_t* pending);
/* The output window that takes a whole block of a context under params (NULL: the defaults) without a copy.
 * Since 1.2. */
QARN_API size_t qarn_cstream_out_size(const qarn_params* params);

/* The largest stream of n input bytes under params (NULL: the defaults), for qarn_stream_compress. Since 1.2. */
QARN_API size_t qarn_stream_compress_bound(size_t n, const qarn_params* params);
/* The whole stream of in[0 .. in_size), one frame that records its content size, into out[0 .. out_capacity);
 * *out_size is its length. Returns QARN_OK, or QARN_ERROR_OUTPUT_TOO_SMALL, QARN_ERROR_OUT_OF_MEMORY,
 * QARN_ERROR_INVALID_ARGUMENT (*out_size is then 0). Since 1.2. */
QARN_API qarn_status qarn_stream_compress(const qarn_params* params, const void* in, size_t in_size, void* out,
                                          size_t out_capacity, size_t* out_size);

/* A decompression context: it reads a stream (any number of frames, skippable frames between them) or one plain
 * qarn file, read whole. Memory: one block of the frame's block size, its qarn file, and the mode's working memory
 * (a plain file: the file and what it restores). Since 1.2. */
typedef struct qarn_dstream qarn_dstream;

/* A new context under params (NULL: the defaults; only QARN_PARAM_THREADS matters); NULL when there is no memory
 * for it. Since 1.2. */
QARN_API qarn_dstream* qarn_dstream_create(const qarn_params* params);
/* Gives a context back; NULL is allowed and does nothing. Since 1.2. */
QARN_API void qarn_dstream_free(qarn_dstream* stream);
/* Takes what it can of in and writes what it can into out; `last` (nonzero) says that no input follows what in
 * holds. Sets *finished (when not NULL) to 1 once the input is complete and every restored byte is written, else
 * 0: call again with more input, or more room. No byte of a block is written before its checksum is verified; a
 * block restored straight into out (when out has room for it) sits past out->pos until then. Returns QARN_OK, or
 * (final for the context) QARN_ERROR_CORRUPT (damage, or input that ends inside a frame), QARN_ERROR_CHECKSUM,
 * QARN_ERROR_TRAILING_DATA, QARN_ERROR_OUT_OF_MEMORY, QARN_ERROR_INVALID_ARGUMENT. An output window of the frame's
 * block size (QARN_DEFAULT_BLOCK_SIZE for qz's streams), emptied between calls, takes each block without a copy: a
 * call that has written into out returns before a block that out cannot take whole. Since 1.2. */
QARN_API qarn_status qarn_decompress_stream(qarn_dstream* stream, qarn_out_buffer* out, qarn_in_buffer* in, int last,
                                            int* finished);
/* Restores the whole stream (or plain qarn file) in[0 .. in_size) into out[0 .. out_capacity); *out_size is its
 * length. Returns QARN_OK, or QARN_ERROR_OUTPUT_TOO_SMALL and the errors of qarn_decompress_stream (*out_size is
 * then 0). Since 1.2. */
QARN_API qarn_status qarn_stream_decompress(const qarn_params* params, const void* in, size_t in_size, void* out,
                                            size_t out_capacity, size_t* out_size);

#ifdef __cplusplus
}
#endif

#endif /* LIBQARN_H */
