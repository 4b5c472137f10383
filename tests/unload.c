/* unload.c — libqarn.so loaded with dlopen, used (text mode, a text large enough for the second thread, both
 * ways), and closed: after the last dlclose the library is gone from the process (dlopen with RTLD_NOLOAD finds
 * nothing), so a program that loads it for a while gets its memory back. Usage: unload <path of libqarn.so> */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "libqarn.h"

typedef qarn_status (*compress_fn)(qarn_mode, const void*, size_t, void*, size_t, size_t*);
typedef qarn_status (*decompress_fn)(const void*, size_t, void*, size_t, size_t*);

static int fail(const char* what) {
  fprintf(stderr, "unload: %s\n", what);
  return 1;
}

int main(int argc, char** argv) {
  if (argc != 2) return fail("usage: unload <libqarn.so>");
  const char* words[] = {"the ", "river ", "runs ", "under ", "a ", "stone ", "bridge\n", "of ", "light ", "and "};
  const size_t n = 3u << 20;
  char* text = malloc(n);
  unsigned char* packed = malloc(n + 4);
  char* restored = malloc(n);
  if (!text || !packed || !restored) return fail("no memory");
  size_t at = 0;
  unsigned seed = 1;
  while (at < n) {
    seed = seed * 1103515245u + 12345u;
    const char* w = words[(seed >> 16) % 10];
    size_t k = strlen(w);
    if (k > n - at) k = n - at;
    memcpy(text + at, w, k);
    at += k;
  }
  for (int round = 0; round < 2; round++) {
    void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!lib) return fail(dlerror());
    compress_fn compress = (compress_fn)dlsym(lib, "qarn_compress");
    decompress_fn decompress = (decompress_fn)dlsym(lib, "qarn_decompress");
    if (!compress || !decompress) return fail("qarn_compress or qarn_decompress not found");
    size_t packed_size = 0, restored_size = 0;
    if (compress(QARN_MODE_TEXT, text, n, packed, n + 4, &packed_size) != QARN_OK) return fail("compression failed");
    if (packed_size >= n / 2 || packed[0] != QARN_MODE_TEXT) return fail("not a text-mode file");
    if (decompress(packed, packed_size, restored, n, &restored_size) != QARN_OK || restored_size != n ||
        memcmp(text, restored, n) != 0)
      return fail("the text did not come back");
    if (dlclose(lib) != 0) return fail(dlerror());
    if (dlopen(argv[1], RTLD_NOW | RTLD_NOLOAD)) return fail("the library is still loaded after its last dlclose");
  }
  free(text);
  free(packed);
  free(restored);
  puts("unload: libqarn.so was unloaded by its last dlclose, twice");
  return 0;
}
