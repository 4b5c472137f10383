/* qarn_example.c — compresses a file with libqarn, in the mode its name picks, and restores it from memory:
 *   qarn_example INPUT COMPRESSED
 * writes the compressed file, checks that it restores INPUT byte for byte, and prints the sizes. */
#include <libqarn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static unsigned char* read_file(const char* path, size_t* size) {
  FILE* f = fopen(path, "rb");
  if (!f) return NULL;
  unsigned char* data = NULL;
  size_t used = 0, room = 0, got;
  do {
    if (used == room) {
      room = room ? 2 * room : 1 << 16;
      unsigned char* more = realloc(data, room);
      if (!more) { free(data); fclose(f); return NULL; }
      data = more;
    }
    got = fread(data + used, 1, room - used, f);
    used += got;
  } while (got > 0);
  fclose(f);
  *size = used;
  return data;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s INPUT COMPRESSED\n", argv[0]);
    return 1;
  }
  size_t n;
  unsigned char* in = read_file(argv[1], &n);
  if (!in) { perror(argv[1]); return 1; }

  qarn_mode mode = qarn_mode_for_name(argv[1]);
  size_t bound = qarn_compress_bound(n), packed_size;
  unsigned char* packed = malloc(bound ? bound : 1);
  qarn_status s = qarn_compress(mode, in, n, packed, bound, &packed_size);
  if (s != QARN_OK) { fprintf(stderr, "compress: %s\n", qarn_status_string(s)); return 1; }
  FILE* out = fopen(argv[2], "wb");
  if (!out || fwrite(packed, 1, packed_size, out) != packed_size || fclose(out) != 0) { perror(argv[2]); return 1; }

  uint64_t restored_size;
  s = qarn_decompressed_size(packed, packed_size, &restored_size);
  if (s != QARN_OK) { fprintf(stderr, "size: %s\n", qarn_status_string(s)); return 1; }
  unsigned char* restored = malloc(restored_size ? restored_size : 1);
  size_t got;
  s = qarn_decompress(packed, packed_size, restored, restored_size, &got);
  if (s != QARN_OK) { fprintf(stderr, "decompress: %s\n", qarn_status_string(s)); return 1; }
  if (got != n || memcmp(in, restored, n) != 0) { fprintf(stderr, "restored bytes differ\n"); return 1; }

  qarn_mode written;
  qarn_file_mode(packed, packed_size, &written);
  printf("%s: %zu -> %zu bytes, %s mode (libqarn %s, %s)\n", argv[1], n, packed_size, qarn_mode_name(written),
         qarn_version_string(), qarn_format_version());
  free(in);
  free(packed);
  free(restored);
  return 0;
}
