// qarn.cpp — the buffer layer: the choice of mode, every fallback between modes, the container header and stored
// mode.
#include "qarn.h"

#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "hash.h"
#include "image.h"
#include "mixed.h"
#include "text.h"

namespace qarn {

namespace {

struct mode_entry {
  const char* extension;  // compared over at most four bytes, from the last '.' of the input path
  uint32_t number;
  const char* word;
};

// The order is the order of the name comparisons.
const mode_entry modes[] = {
    {".pnm", mode_image, "image"},
    {".txt", mode_text, "text"},
    {".dat", mode_mixed, "mixed"},
    {nullptr, mode_stored, "default"},
};

void write_bytes(byte_sink& sink, const byte_buffer& b) { sink.write(b.data(), b.size()); }

uint32_t put_stored_file(const uint8_t* in, size_t n, byte_sink& sink) {
  if (n > static_cast<size_t>(stored_input_limit)) throw qarn_error(failure::too_large);
  uint8_t head[container_header_size];
  put_u32(head, mode_stored);
  sink.write(head, sizeof head);
  if (n) sink.write(in, n);
  return mode_stored;
}

// The file of an input that text or image mode cannot take: mixed mode's, or the stored file when that is smaller.
uint32_t compress_other(const uint8_t* in, size_t n, byte_sink& sink, const std::function<void()>& done_reading,
                        int workers) {
  if (std::optional<byte_buffer> mixed = compress_mixed_buffer(in, n, done_reading, workers)) {
    write_bytes(sink, *mixed);
    return mode_mixed;
  }
  return put_stored_file(in, n, sink);
}

}  // namespace

uint32_t mode_for_name(const char* path) {
  if (const char* dot = std::strrchr(path, '.'))
    for (const mode_entry& m : modes)
      if (m.extension && std::strncmp(dot, m.extension, 4) == 0) return m.number;
  return mode_stored;
}

namespace {

// Executables, shared libraries, object files and archives of them, by their first bytes.
bool is_program(const uint8_t* in, size_t n) {
  if (n >= 4 && std::memcmp(in, "\x7f" "ELF", 4) == 0) return true;
  if (n >= 8 && std::memcmp(in, "!<arch>\n", 8) == 0) return true;
  if (n >= 4) {
    const uint32_t magic = get_u32(in);
    // Mach-O, 32 and 64 bits, either byte order, and universal files.
    for (uint32_t m : {0xfeedfaceu, 0xfeedfacfu, 0xcefaedfeu, 0xcffaedfeu, 0xbebafecau})
      if (magic == m) return true;
  }
  if (n >= 0x40 && in[0] == 'M' && in[1] == 'Z') {  // PE: the DOS header points to "PE\0\0"
    const uint32_t at = get_u32(in + 0x3c);
    if (at <= n - 4 && std::memcmp(in + at, "PE\0\0", 4) == 0) return true;
  }
  return false;
}

// Whether text mode codes the text well, judged on four pieces of 64 KB spread over it (all of it when shorter).
// Text mode numbers space- and line-feed-terminated tokens by frequency: it gains on a small vocabulary, and the
// distance model of mixed mode gains more where long passages repeat. On a sample of real files (prose, manual
// pages, logs, licences, source code, dictionaries, word lists, tables), mixed mode was the smaller wherever more
// than 30% of the tokens were distinct or more than 10% of the lines of 16 bytes or more were seen before.
// A set of byte strings, kept as their 64-bit hashes (two strings of a sample share one with a chance of about
// 2^-30): open addressing, grown at half full. Far cheaper than a set of the strings themselves, whose nodes cost
// most of the time the whole rule takes.
class distinct_strings {
 public:
  // Adds the string; returns whether it was new.
  bool insert(const uint8_t* p, size_t n) {
    uint64_t h = fasthash64(p, static_cast<int32_t>(n));
    h += h == 0;  // 0 marks a free slot
    if (2 * (count_ + 1) > slots_.size()) grow();
    const size_t mask = slots_.size() - 1;
    for (size_t i = h & mask;; i = (i + 1) & mask) {
      if (slots_[i] == h) return false;
      if (slots_[i] == 0) {
        slots_[i] = h;
        count_++;
        return true;
      }
    }
  }
  size_t size() const { return count_; }

 private:
  void grow() {
    std::vector<uint64_t> old(slots_.empty() ? 4096 : 2 * slots_.size(), 0);
    old.swap(slots_);
    const size_t mask = slots_.size() - 1;
    for (uint64_t h : old)
      if (h) {
        size_t i = h & mask;
        while (slots_[i]) i = (i + 1) & mask;
        slots_[i] = h;
      }
  }
  std::vector<uint64_t> slots_;
  size_t count_ = 0;
};

// What the rule counts of each byte value.
enum : uint8_t { byte_control = 1, byte_high = 2, byte_delimiter = 4, byte_line_end = 8, byte_nul = 16 };
constexpr std::array<uint8_t, 256> byte_kinds = [] {
  std::array<uint8_t, 256> k{};
  for (int c = 0; c < 256; c++) {
    if ((c < 0x20 && c != '\t' && c != '\r' && c != '\f' && c != '\n') || c == 0x7f) k[c] |= byte_control;
    if (c >= 0x80) k[c] |= byte_high;
  }
  k[' '] |= byte_delimiter;
  k['\n'] |= byte_delimiter | byte_line_end;
  k[0] |= byte_nul;
  return k;
}();

bool reads_as_text(const uint8_t* in, size_t n) {
  if (n == 0) return false;
  constexpr size_t piece = 65536;
  const int pieces = n > 4 * piece ? 4 : 1;
  const size_t length = pieces == 1 ? n : piece;
  size_t bytes = 0, control = 0, high = 0, tokens = 0, lines = 0, repeated_lines = 0;
  distinct_strings vocabulary, seen_lines;
  for (int k = 0; k < pieces; k++) {
    const uint8_t* p = in + (pieces == 1 ? 0 : (n - piece) / 3 * static_cast<size_t>(k));
    size_t token = 0, line = 0;
    for (size_t i = 0; i < length; i++) {
      const uint8_t kind = byte_kinds[p[i]];
      control += kind & byte_control;
      high += (kind & byte_high) >> 1;
      if (!(kind & (byte_delimiter | byte_nul))) continue;
      if (kind & byte_nul) return false;
      // A token ends with its delimiter, a line before its line feed.
      tokens++;
      vocabulary.insert(p + token, i + 1 - token);
      token = i + 1;
      if (kind & byte_line_end) {
        if (i - line >= 16) {
          lines++;
          if (!seen_lines.insert(p + line, i - line)) repeated_lines++;
        }
        line = i + 1;
      }
    }
    bytes += length;
  }
  // Every delimiter ends a token: their count is the tokens'.
  return control * 200 <= bytes && high * 10 <= bytes * 3 && tokens * 20 >= bytes && tokens > 0 &&
         vocabulary.size() * 10 <= tokens * 3 && repeated_lines * 10 <= lines;
}

}  // namespace

uint32_t mode_for_content(const uint8_t* in, size_t n) {
  pnm_geometry geometry;
  if (parse_restorable_pnm(in, n, &geometry)) return mode_image;
  if (is_program(in, n)) return mode_mixed;
  if (reads_as_text(in, n)) return mode_text;
  return mode_mixed;
}

const char* mode_word(uint32_t mode) {
  for (const mode_entry& m : modes)
    if (m.number == mode) return m.word;
  return nullptr;
}

uint32_t compress_to(uint32_t mode, const uint8_t* in, size_t n, byte_sink& sink,
                     const std::function<void()>& done_reading, int workers) {
  switch (mode) {
    case mode_text: {
      text_refusal why;
      if (std::optional<byte_buffer> file = compress_text_buffer(in, n, &why, workers)) {
        write_bytes(sink, *file);
        return mode_text;
      }
      // Past the text format's limits: mixed mode. Merely no gain: stored.
      return why != text_refusal::none ? compress_other(in, n, sink, done_reading, workers)
                                       : put_stored_file(in, n, sink);
    }
    case mode_image: {
      // A PNM that image mode would not restore byte for byte goes to mixed mode; one whose image file would be
      // larger than the stored one is stored.
      pnm_geometry geometry;
      if (!parse_restorable_pnm(in, n, &geometry)) return compress_other(in, n, sink, done_reading, workers);
      byte_buffer file;
      if (!compress_image_buffer(in, n, &file, workers)) return put_stored_file(in, n, sink);
      write_bytes(sink, file);
      return mode_image;
    }
    case mode_mixed:
      return compress_other(in, n, sink, done_reading, workers);
    default:
      return put_stored_file(in, n, sink);
  }
}

byte_buffer compress_buffer(uint32_t mode, const uint8_t* in, size_t n, int workers) {
  buffer_sink sink;
  compress_to(mode, in, n, sink, {}, workers);
  return sink.release();
}

int64_t file_length_limit(uint32_t mode) {
  switch (mode) {
    case mode_stored: return stored_file_limit;
    case mode_image: return image_length_limit;
    case mode_mixed: return mixed_file_limit;
    default: return input_size_limit;
  }
}

void decompress_to(const uint8_t* file, size_t n, byte_sink& sink, int workers) {
  if (n < static_cast<size_t>(container_header_size)) corrupt();
  switch (get_u32(file)) {
    case mode_stored:
      if (n >= static_cast<size_t>(stored_file_limit)) corrupt();
      if (n > static_cast<size_t>(container_header_size))
        sink.write(file + container_header_size, n - container_header_size);
      return;
    case mode_text: return decompress_text_to(file, n, sink, workers);
    case mode_image: return decompress_image_to(file, n, sink, workers);
    case mode_mixed: return decompress_mixed_to(file, n, sink, workers);
    default: corrupt();
  }
}

void decompress_in_place(uint8_t* file, size_t n, byte_sink& sink, int workers) {
  if (n >= static_cast<size_t>(container_header_size) && get_u32(file) == mode_text)
    return decompress_text_in_place(file, n, sink, workers);
  decompress_to(file, n, sink, workers);
}

byte_buffer decompress_buffer(const uint8_t* file, size_t n, int workers) {
  buffer_sink sink;
  decompress_to(file, n, sink, workers);
  return sink.release();
}

uint64_t restored_length(const uint8_t* file, size_t n) {
  if (n < static_cast<size_t>(container_header_size) || n >= static_cast<size_t>(input_size_limit)) corrupt();
  switch (get_u32(file)) {
    case mode_stored: return n - container_header_size;
    case mode_text: return text_restored_length(file, n);
    case mode_image: return image_restored_length(file, n);
    case mode_mixed:
      if (n < mixed_header_size) corrupt();
      return get_u32(file + 4);
    default: corrupt();
  }
}

uint64_t file_extent(const uint8_t* file, size_t n) {
  if (n < static_cast<size_t>(container_header_size)) return n;
  switch (get_u32(file)) {
    case mode_image: {
      // The header gives the three blocks' sizes; the decoder reads the last block to the end of the file.
      if (n < image_header_size) return n;
      uint64_t extent = image_header_size;
      for (int k = 0; k < 3; k++) extent += get_u32(file + image_field_size0 + 4 * k);
      return extent < n ? extent : n;
    }
    case mode_mixed: {
      // Seven sections, each with the size of its body in its header.
      uint64_t pos = mixed_header_size;
      for (int k = 0; k < mixed_section_count; k++) {
        if (n < pos + section_header_size) return n;
        pos += section_header_size + get_u32(file + pos + 4);
        if (pos > n) return n;
      }
      return pos;
    }
    default: return n;
  }
}

}  // namespace qarn
