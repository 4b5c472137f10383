// stream.cpp — the .qz stream: the encoder that cuts its input into blocks of qarn files, and the decoder that
// checks every byte of the frames it reads.
#include "stream.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "checksum_avx2.h"
#include "image.h"
#include "qarn.h"

namespace qarn {

uint32_t stream_check(const uint8_t* p, size_t n) { return static_cast<uint32_t>(XXH3_64bits(p, n)); }
uint64_t stream_checksum(const uint8_t* p, size_t n) {
  return cpu_has_avx2() ? checksum_avx2(p, n) : XXH3_64bits(p, n);
}

namespace {

// The frame's checksum, fed block by block.
void frame_update(XXH3_state_t* state, const uint8_t* p, size_t n) {
  if (cpu_has_avx2())
    checksum_update_avx2(state, p, n);
  else
    XXH3_64bits_update(state, p, n);
}
uint64_t frame_digest(const XXH3_state_t* state) {
  return cpu_has_avx2() ? checksum_digest_avx2(state) : XXH3_64bits_digest(state);
}
// Feeds the frame's checksum with a block and returns the block's own checksum. The first block of a frame is read
// once: what the frame's checksum has taken then is that block alone, so its digest is the block's checksum.
uint64_t block_and_frame_checksum(XXH3_state_t* frame, bool first, const uint8_t* p, size_t n) {
  if (first) {
    frame_update(frame, p, n);
    return frame_digest(frame);
  }
  const uint64_t sum = stream_checksum(p, n);
  frame_update(frame, p, n);
  return sum;
}

}  // namespace

bool starts_plain_file(const uint8_t* p) { return p[0] <= mode_mixed && p[1] == 0 && p[2] == 0 && p[3] == 0; }

bool starts_magic(const uint8_t* p, size_t n) {
  uint8_t frame[4], skip[4];
  put_u32(frame, frame_magic);
  put_u32(skip, skippable_magic);
  return std::memcmp(p, frame, n) == 0 || std::memcmp(p, skip, n) == 0;
}

size_t read_frame_header(const uint8_t* p, size_t n, frame_header* h) {
  if (n < frame_header_min) return 0;
  if (get_u32(p) != frame_magic || p[4] != stream_version) corrupt();
  const uint8_t flags = p[5];
  if ((flags & ~frame_known_flags) != 0 || get_u16(p + 6) != 0) corrupt();
  const size_t length = flags & frame_has_content_size ? frame_header_max : frame_header_min;
  if (n < length) return 0;
  if (get_u32(p + length - 4) != stream_check(p, length - 4)) corrupt();
  const uint32_t block_size = get_u32(p + 8);
  if (block_size == 0 || block_size > stream_block_limit) corrupt();
  h->flags = flags;
  h->block_size = block_size;
  h->content_size = flags & frame_has_content_size ? get_u64(p + 12) : 0;
  h->length = length;
  return length;
}

block_header read_block_header(const uint8_t* p, const frame_header& frame) {
  if (get_u32(p + 12) != stream_check(p, 12)) corrupt();
  block_header b;
  b.stored = get_u32(p);
  b.original = get_u32(p + 4);
  b.body_check = get_u32(p + 8);
  if (b.end()) {
    if (b.body_check != 0) corrupt();
    return b;
  }
  if (b.original == 0 || b.original > frame.block_size || b.stored < static_cast<uint32_t>(container_header_size) ||
      b.stored > uint64_t{b.original} + container_header_size)
    corrupt();
  return b;
}

namespace {

// A text block ends after the last space or line feed of its last bytes, so that no word is split.
constexpr size_t text_cut_reach = size_t{64} << 10;
// Bytes of a frame's input that are looked at before its header is written (a PNM header fits in them).
constexpr size_t frame_look_ahead = 64;

// The header of a block whose qarn file is the `stored` bytes at body (the end mark: none).
void put_block_header(uint8_t* p, uint32_t stored, uint32_t original, const uint8_t* body) {
  put_u32(p, stored);
  put_u32(p + 4, original);
  put_u32(p + 8, stored ? stream_check(body, stored) : 0);
  put_u32(p + 12, stream_check(p, 12));
}

// A sink over a window that has the room it is given.
class window_sink final : public byte_sink {
 public:
  explicit window_sink(uint8_t* p) : p_(p) {}
  void write(const uint8_t* p, size_t n) override {
    std::memcpy(p_ + used_, p, n);
    used_ += n;
  }
  size_t used() const { return used_; }

 private:
  uint8_t* p_;
  size_t used_ = 0;
};

// Hands restored bytes on as they come, within the length their block or file says, feeding the checksums given.
class checking_sink final : public byte_sink {
 public:
  checking_sink(byte_sink& to, size_t room, XXH3_state_t* block, XXH3_state_t* frame)
      : to_(to), room_(room), block_(block), frame_(frame) {}
  void write(const uint8_t* p, size_t n) override {
    if (n > room_ - used_) corrupt();  // a file that restores more than its block says
    if (block_) frame_update(block_, p, n);
    if (frame_) frame_update(frame_, p, n);
    to_.write(p, n);
    used_ += n;
  }
  size_t used() const { return used_; }

 private:
  byte_sink& to_;
  size_t room_;
  XXH3_state_t* block_;
  XXH3_state_t* frame_;
  size_t used_ = 0;
};

// Replaces b by a buffer of `size` bytes that starts with the `count` bytes at b[from].
void regrow(byte_buffer& b, size_t size, size_t from, size_t count) {
  byte_buffer grown(size);
  if (count) std::memcpy(grown.data(), b.data() + from, count);
  b = std::move(grown);
}

// Bytes waiting to be given out, in order.
struct pending_bytes {
  byte_buffer buf;
  size_t from = 0, to = 0;
  size_t size() const { return to - from; }
  // Room for n more bytes at the end; returns where they go.
  uint8_t* reserve(size_t n) {
    if (from == to) from = to = 0;
    if (to + n > buf.size()) {
      regrow(buf, std::max(to + n, 2 * buf.size()), from, to - from);
      to -= from;
      from = 0;
    }
    return buf.data() + to;
  }
  void give(out_window& out) {
    const size_t k = std::min(out.room(), size());
    if (k == 0) return;
    std::memcpy(out.p + out.pos, buf.data() + from, k);
    out.pos += k;
    from += k;
  }
};

}  // namespace

// ---- The encoder. ----

struct stream_encoder::state {
  stream_settings settings;
  bool in_frame = false;
  bool frame_ended = false;  // a frame was just ended: more `end` calls with no input add nothing
  bool content_size_pledged = false;
  uint64_t content_size = 0;
  uint64_t frame_bytes = 0;     // taken into the frame so far
  uint32_t frame_block_size = 0;
  uint64_t first_block = 0;     // the length of the frame's first block when it is an image, else 0
  bool first_block_done = false;
  byte_buffer held;             // input held until a block is whole
  size_t held_n = 0;
  pending_bytes pending;
  XXH3_state_t frame_hash;
};

stream_encoder::stream_encoder(const stream_settings& settings) : s_(std::make_unique<state>()) {
  if (settings.block_size == 0 || settings.block_size > stream_block_limit || settings.mode < -1 ||
      settings.mode > static_cast<int>(mode_mixed))
    throw std::invalid_argument("stream settings");
  s_->settings = settings;
}

stream_encoder::~stream_encoder() = default;

void stream_encoder::pledge_content_size(uint64_t size) {
  if (s_->in_frame || s_->held_n > 0) throw std::invalid_argument("content size after the frame began");
  s_->content_size_pledged = true;
  s_->content_size = size;
}

size_t stream_encoder::block_bound(uint32_t block_size) {
  return block_header_size + block_size + container_header_size + checksum_size;
}

size_t stream_compress_bound(size_t n, uint32_t block_size) {
  // A text block may end up to text_cut_reach bytes short of the block size, so that a small block may hold one
  // byte and a word's end; but then the next one holds what the first left and more, so that two blocks in a row
  // hold more than the block size. An image block is one block.
  const size_t shortest = block_size > 2 * text_cut_reach ? block_size - text_cut_reach
                                                         : std::max<size_t>(1, block_size / 2);
  const size_t blocks = n / shortest + 2;
  const size_t per_block = block_header_size + container_header_size + checksum_size;
  return frame_header_max + n + blocks * per_block + block_header_size + checksum_size;
}

size_t stream_encoder::compress(out_window& out, in_window& in, end_op op) {
  state& s = *s_;
  const bool sums = s.settings.checksums;
  // A block that out cannot take whole is coded into the pending bytes and copied out later: only when out had no
  // room for it from the start. Once out has taken something in this call, the call returns instead, so that the
  // caller empties out and the block goes straight into it. The bound of such a block is what is still to come.
  const size_t out_start = out.pos;
  auto must_wait = [&](size_t n) {
    return s.pending.size() == 0 && out.pos > out_start && out.room() < block_bound(static_cast<uint32_t>(n));
  };

  // The mode of a block: the settings', or the one its content suggests.
  auto choose = [&](const uint8_t* data, size_t n) -> uint32_t {
    return s.settings.mode >= 0 ? static_cast<uint32_t>(s.settings.mode) : mode_for_content(data, n);
  };
  // Codes data[0..n) as one block, straight into out when it has the room, else into the pending bytes.
  auto put_block = [&](const uint8_t* data, size_t n, uint32_t mode) {
    const size_t bound = block_bound(static_cast<uint32_t>(n));
    const bool direct = s.pending.size() == 0 && out.room() >= bound;
    uint8_t* at = direct ? out.p + out.pos : s.pending.reserve(bound);
    window_sink body(at + block_header_size);
    compress_to(mode, data, n, body, {}, s.settings.workers);
    put_block_header(at, static_cast<uint32_t>(body.used()), static_cast<uint32_t>(n), at + block_header_size);
    size_t length = block_header_size + body.used();
    if (sums) {
      put_u64(at + length, block_and_frame_checksum(&s.frame_hash, s.frame_bytes == 0, data, n));
      length += checksum_size;
    }
    if (direct)
      out.pos += length;
    else
      s.pending.to += length;
    s.frame_bytes += n;
    s.first_block_done = true;
  };

  // The length of the next block: the frame's first image whole, else the block size.
  auto block_target = [&]() -> size_t {
    if (!s.first_block_done && s.first_block) return static_cast<size_t>(s.first_block);
    return s.settings.block_size;
  };
  // Codes a full block from data[0..n): a text block ends after its last delimiter near the end; returns the
  // length coded.
  auto put_full_block = [&](const uint8_t* data, size_t n) -> size_t {
    const uint32_t mode = choose(data, n);
    size_t length = n;
    if (mode == mode_text && !(s.first_block && !s.first_block_done)) {
      const size_t reach = std::min(text_cut_reach, n - 1);
      for (size_t i = n; i > n - reach; i--)
        if (data[i - 1] == ' ' || data[i - 1] == '\n') {
          length = i;
          break;
        }
    }
    put_block(data, length, mode);
    return length;
  };

  auto start_frame = [&](const uint8_t* head, size_t head_n) {
    s.first_block = 0;
    s.first_block_done = false;
    if (s.settings.mode == -1 || s.settings.mode == static_cast<int>(mode_image)) {
      const uint64_t image = restorable_pnm_length(head, head_n);
      s.first_block = image;  // whole, and alone, whatever its size against the block size
    }
    s.frame_block_size = static_cast<uint32_t>(std::max<uint64_t>(s.settings.block_size, s.first_block));
    uint8_t h[frame_header_max];
    const uint8_t flags = static_cast<uint8_t>((s.content_size_pledged ? frame_has_content_size : 0) |
                                               (sums ? frame_has_block_checksums | frame_has_frame_checksum : 0));
    put_u32(h, frame_magic);
    h[4] = stream_version;
    h[5] = flags;
    put_u16(h + 6, 0);
    put_u32(h + 8, s.frame_block_size);
    size_t length = 12;
    if (s.content_size_pledged) {
      put_u64(h + 12, s.content_size);
      length = 20;
    }
    put_u32(h + length, stream_check(h, length));
    length += 4;
    std::memcpy(s.pending.reserve(length), h, length);
    s.pending.to += length;
    XXH3_64bits_reset(&s.frame_hash);
    s.frame_bytes = 0;
    s.in_frame = true;
    s.frame_ended = false;
  };

  auto end_frame = [&] {
    if (s.content_size_pledged && s.frame_bytes != s.content_size)
      throw std::invalid_argument("the frame's content size differs from the one pledged");
    uint8_t* at = s.pending.reserve(block_header_size + checksum_size);
    put_block_header(at, 0, 0, nullptr);
    size_t length = block_header_size;
    if (sums) {
      put_u64(at + length, frame_digest(&s.frame_hash));
      length += checksum_size;
    }
    s.pending.to += length;
    s.in_frame = false;
    s.frame_ended = true;
    s.content_size_pledged = false;
  };

  for (;;) {
    s.pending.give(out);
    if (s.pending.size() > 0) return s.pending.size();
    if (!s.in_frame) {
      const size_t available = s.held_n + in.left();
      if (available == 0 && (op != end_op::end || s.frame_ended)) return 0;
      // The frame's first bytes decide its block size (an image first takes what it needs): wait for them.
      if (available < frame_look_ahead && op == end_op::more) {
        if (s.held.size() < frame_look_ahead)
          regrow(s.held, std::max<size_t>(s.settings.block_size, frame_look_ahead), 0, s.held_n);
        if (in.left()) std::memcpy(s.held.data() + s.held_n, in.p + in.pos, in.left());
        s.held_n += in.left();
        in.pos = in.size;
        return 0;
      }
      uint8_t head[frame_look_ahead];
      const size_t from_held = std::min(s.held_n, frame_look_ahead);
      if (from_held) std::memcpy(head, s.held.data(), from_held);
      const size_t from_in = std::min(frame_look_ahead - from_held, in.left());
      if (from_in) std::memcpy(head + from_held, in.p + in.pos, from_in);
      start_frame(head, from_held + from_in);
      continue;
    }
    const size_t target = block_target();
    if (s.held_n == 0 && in.left() >= target) {
      // A whole block in the caller's input: coded from there.
      if (must_wait(target)) return block_bound(static_cast<uint32_t>(target));
      in.pos += put_full_block(in.p + in.pos, target);
      continue;
    }
    if (s.held_n == 0 && in.left() > 0 && op != end_op::more) {
      // The rest of the input, shorter than a block, and the caller wants it out.
      const size_t n = in.left();
      if (must_wait(n)) return block_bound(static_cast<uint32_t>(n));
      put_block(in.p + in.pos, n, choose(in.p + in.pos, n));
      in.pos += n;
      continue;
    }
    // (The frame's first bytes, held while it had not begun, may pass a small block size.)
    if (in.left() > 0 && s.held_n < target) {
      if (s.held.size() < target) regrow(s.held, target, 0, s.held_n);
      const size_t k = std::min(target - s.held_n, in.left());
      std::memcpy(s.held.data() + s.held_n, in.p + in.pos, k);
      s.held_n += k;
      in.pos += k;
    }
    if (s.held_n > 0 && (s.held_n >= target || (in.left() == 0 && op != end_op::more))) {
      size_t n = s.held_n;
      if (must_wait(std::min(n, target))) return block_bound(static_cast<uint32_t>(std::min(n, target)));
      if (s.held_n >= target)
        n = put_full_block(s.held.data(), target);
      else
        put_block(s.held.data(), n, choose(s.held.data(), n));
      std::memmove(s.held.data(), s.held.data() + n, s.held_n - n);
      s.held_n -= n;
      continue;
    }
    if (in.left() > 0) continue;
    // Everything taken is held or out.
    if (op == end_op::end && s.held_n == 0) {
      end_frame();
      continue;
    }
    return 0;
  }
}

// ---- The decoder. ----

namespace {

enum class phase {
  stream_start,  // the first bytes: a frame, a skippable frame or a plain qarn file
  between,       // after a frame: another, a skippable frame, or the end
  frame_header,
  block_header,
  block_body,      // and its checksum
  stored_through,  // a stored block's bytes going straight through in pieces, then its checksum
  frame_checksum,
  skip,          // the body of a skippable frame
  plain,         // a plain qarn file, read whole
  plain_done,    // its restored bytes given out, or being given
  failed,
};

}  // namespace

struct stream_decoder::state {
  int workers = 1;
  phase at = phase::stream_start;
  // The piece being read (a header, a body, a checksum): its first `gathered` bytes are here; while none are, it
  // starts at the input's position, not yet taken.
  byte_buffer gather;
  size_t gathered = 0;
  frame_header frame;
  block_header block;
  uint64_t frame_bytes = 0;
  uint64_t skip_left = 0;
  byte_buffer restored;  // a block restored, until it is verified and given out
  size_t restored_n = 0;
  size_t given = 0;      // of restored, given out
  bool ready = false;    // restored holds verified bytes still to give out
  XXH3_state_t frame_hash;
  XXH3_state_t block_hash;  // a block's checksum while its bytes go straight through
  XXH3_state_t body_hash;   // and the check of a stored block's qarn file, fed in pieces
  uint64_t stored_left = 0; // a stored block's bytes still to come
};

stream_decoder::stream_decoder(int workers) : s_(std::make_unique<state>()) { s_->workers = workers; }

stream_decoder::~stream_decoder() = default;

bool stream_decoder::decompress(out_window& out, in_window& in, bool last) { return run(out, nullptr, in, last); }

bool stream_decoder::decompress_through(byte_sink& sink, in_window& in, bool last) {
  out_window none{nullptr, 0, 0};
  return run(none, &sink, in, last);
}

bool stream_decoder::run(out_window& out, byte_sink* through, in_window& in, bool last) {
  state& s = *s_;
  if (s.at == phase::failed) corrupt();
  // As for the encoder: a block that out cannot take is restored into the context's own buffer only when out had
  // no room for it from the start; once out has taken something in this call, the call returns first.
  const size_t out_start = out.pos;
  try {
    // The first `want` bytes of the current piece, once they are all there; else null (what the input held has
    // been gathered). Nothing of the input is taken while the whole piece lies in it.
    auto need = [&](size_t want) -> const uint8_t* {
      if (s.gathered == 0 && in.left() >= want) return in.p + in.pos;
      if (s.gather.size() < want) regrow(s.gather, std::max(want, 2 * s.gather.size()), 0, s.gathered);
      const size_t k = std::min(want - std::min(want, s.gathered), in.left());
      if (k) std::memcpy(s.gather.data() + s.gathered, in.p + in.pos, k);
      s.gathered += k;
      in.pos += k;
      return s.gathered >= want ? s.gather.data() : nullptr;
    };
    // The current piece, `length` bytes, is read.
    auto done = [&](size_t length) {
      if (s.gathered == 0)
        in.pos += length;
      else
        s.gathered = 0;
    };
    // A piece that is not all there: the input's end, if it has come, cuts the stream short.
    auto wait = [&]() -> bool {
      if (last && in.left() == 0) corrupt();
      return false;
    };
    // The checksums a block's restored bytes feed as they pass: its own, when the frame carries them, and the
    // frame's. The first block of a frame feeds only its own, which is then where the frame's stands.
    auto summing = [&](byte_sink& to, size_t room) {
      const bool summed = s.frame.flags & frame_has_block_checksums;
      const bool frame_summed = s.frame.flags & frame_has_frame_checksum;
      return checking_sink(to, room, summed ? &s.block_hash : nullptr,
                           frame_summed && !(summed && s.frame_bytes == 0) ? &s.frame_hash : nullptr);
    };
    // Every byte of the block has passed: its checksum against the one the stream carries (null: none).
    auto block_passed = [&](const uint8_t* carried) {
      if (carried) {
        if (get_u64(carried) != frame_digest(&s.block_hash)) throw qarn_error(failure::checksum_mismatch);
        if (s.frame_bytes == 0) XXH3_copyState(&s.frame_hash, &s.block_hash);
      }
      s.frame_bytes += s.block.original;
    };
    auto give_restored = [&] {
      const size_t k = std::min(out.room(), s.restored_n - s.given);
      if (k) std::memcpy(out.p + out.pos, s.restored.data() + s.given, k);
      out.pos += k;
      s.given += k;
      if (s.given == s.restored_n) s.ready = false;
    };
    for (;;) {
      if (s.ready) {
        give_restored();
        if (s.ready) return false;  // out is full
      }
      switch (s.at) {
        case phase::stream_start:
        case phase::between: {
          if (in.left() == 0 && s.gathered == 0) {
            if (!last) return false;
            if (s.at == phase::stream_start) corrupt();  // nothing at all is no stream
            return true;
          }
          const uint8_t* m = need(4);
          if (!m) {
            if (!(last && in.left() == 0)) return false;
            if (s.at == phase::stream_start || starts_magic(s.gather.data(), s.gathered)) corrupt();
            throw qarn_error(failure::trailing_data);
          }
          const uint32_t magic = get_u32(m);
          if (s.at == phase::stream_start && starts_plain_file(m)) {
            s.at = phase::plain;
          } else if (magic == skippable_magic) {
            s.at = phase::skip;
            s.skip_left = UINT64_MAX;  // its length is still to be read
          } else if (magic == frame_magic) {
            s.at = phase::frame_header;
          } else {
            if (s.at == phase::stream_start) corrupt();
            throw qarn_error(failure::trailing_data);
          }
          continue;
        }
        case phase::skip: {
          if (s.skip_left == UINT64_MAX) {
            const uint8_t* h = need(8);
            if (!h) return wait();
            s.skip_left = get_u32(h + 4);
            done(8);
          }
          const size_t k = static_cast<size_t>(std::min<uint64_t>(s.skip_left, in.left()));
          in.pos += k;
          s.skip_left -= k;
          if (s.skip_left > 0) return wait();
          s.at = phase::between;
          continue;
        }
        case phase::frame_header: {
          const uint8_t* h = need(frame_header_min);
          if (!h) return wait();
          size_t length = read_frame_header(h, frame_header_min, &s.frame);
          if (length == 0) {
            h = need(frame_header_max);
            if (!h) return wait();
            length = read_frame_header(h, frame_header_max, &s.frame);
          }
          done(length);
          XXH3_64bits_reset(&s.frame_hash);
          s.frame_bytes = 0;
          s.at = phase::block_header;
          continue;
        }
        case phase::block_header: {
          const uint8_t* h = need(block_header_size);
          if (!h) return wait();
          s.block = read_block_header(h, s.frame);
          // A block that would pass the content size is refused before its body is awaited.
          if ((s.frame.flags & frame_has_content_size) && s.block.original > s.frame.content_size - s.frame_bytes)
            corrupt();
          done(block_header_size);
          XXH3_64bits_reset(&s.block_hash);
          if (s.block.end()) {
            if ((s.frame.flags & frame_has_content_size) && s.frame_bytes != s.frame.content_size) corrupt();
            s.at = s.frame.flags & frame_has_frame_checksum ? phase::frame_checksum : phase::between;
          } else {
            s.at = phase::block_body;
          }
          continue;
        }
        case phase::block_body: {
          const size_t stored = s.block.stored, original = s.block.original;
          const bool summed = s.frame.flags & frame_has_block_checksums;
          const size_t tail = summed ? checksum_size : 0;
          // A block that out cannot take waits for an emptied window, unless out had no room for it from the start.
          if (!through && out.room() < original && out.pos > out_start) return false;
          if (through) {
            // A stored block is no more than its bytes: they go through in the pieces the input comes in, with
            // no need to hold the block.
            const uint8_t* head = need(container_header_size);
            if (!head) return wait();
            if (get_u32(head) == mode_stored && stored == original + container_header_size) {
              XXH3_64bits_reset(&s.body_hash);
              XXH3_64bits_update(&s.body_hash, head, container_header_size);
              done(container_header_size);
              s.stored_left = original;
              s.at = phase::stored_through;
              continue;
            }
          }
          // The body and its checksum: in the input (the usual case) or gathered from pieces.
          const uint8_t* body = need(stored + tail);
          if (!body) return wait();
          // Every byte of the qarn file is checked before it is read, its unread fields too.
          if (stream_check(body, stored) != s.block.body_check) throw qarn_error(failure::checksum_mismatch);
          // A body gathered from pieces is the context's own, free to be changed while it is decoded.
          // Straight through, its bytes go on as they are decoded. Else they are restored straight into out when
          // it has room (out takes them only once the checksum agrees), or into the context's buffer, given out
          // from there.
          const bool into_out = !through && out.room() >= original;
          if (!through && !into_out && s.restored.size() < original) s.restored = byte_buffer(s.frame.block_size);
          window_sink window(into_out ? out.p + out.pos : s.restored.data());
          checking_sink sink = summing(through ? *through : window, original);
          if (body == s.gather.data())
            decompress_in_place(s.gather.data(), stored, sink, s.workers);
          else
            decompress_to(body, stored, sink, s.workers);
          if (sink.used() != original) corrupt();
          block_passed(summed ? body + stored : nullptr);
          done(stored + tail);
          s.at = phase::block_header;
          if (into_out) {
            out.pos += original;
          } else if (!through) {
            s.restored_n = original;
            s.given = 0;
            s.ready = true;
          }
          continue;
        }
        case phase::stored_through: {
          const bool summed = s.frame.flags & frame_has_block_checksums;
          checking_sink sink = summing(*through, static_cast<size_t>(s.stored_left));
          while (s.stored_left > 0) {
            if (in.left() == 0) return wait();
            const size_t k = static_cast<size_t>(std::min<uint64_t>(s.stored_left, in.left()));
            frame_update(&s.body_hash, in.p + in.pos, k);
            sink.write(in.p + in.pos, k);
            in.pos += k;
            s.stored_left -= k;
          }
          // The whole qarn file was fed to its check, which a damaged one fails here, its bytes already gone out;
          // as when the block is held, a block cut short is damage whatever its bytes.
          const uint8_t* c = summed ? need(checksum_size) : nullptr;
          if (summed && !c) return wait();
          if (static_cast<uint32_t>(frame_digest(&s.body_hash)) != s.block.body_check)
            throw qarn_error(failure::checksum_mismatch);
          block_passed(c);
          if (summed) done(checksum_size);
          s.at = phase::block_header;
          continue;
        }
        case phase::frame_checksum: {
          const uint8_t* c = need(checksum_size);
          if (!c) return wait();
          if (get_u64(c) != frame_digest(&s.frame_hash)) throw qarn_error(failure::checksum_mismatch);
          done(checksum_size);
          s.at = phase::between;
          continue;
        }
        case phase::plain: {
          // The whole file, up to the size limit, then its restored bytes; nothing may follow it.
          while (in.left() > 0) {
            if (s.gathered == s.gather.size()) {
              if (s.gathered >= static_cast<size_t>(input_size_limit) - 1) corrupt();
              regrow(s.gather,
                     std::min<size_t>(std::max<size_t>(size_t{1} << 20, 2 * s.gather.size()),
                                      static_cast<size_t>(input_size_limit)),
                     0, s.gathered);
            }
            const size_t k = std::min(s.gather.size() - s.gathered, in.left());
            std::memcpy(s.gather.data() + s.gathered, in.p + in.pos, k);
            s.gathered += k;
            in.pos += k;
          }
          if (!last) return false;
          const size_t n = s.gathered;
          if (n >= static_cast<size_t>(input_size_limit)) corrupt();
          // Nothing may follow the file: an image or mixed file's header gives its own length.
          if (file_extent(s.gather.data(), n) < n) throw qarn_error(failure::trailing_data);
          const uint64_t claimed = restored_length(s.gather.data(), n);
          if (!through) s.restored = byte_buffer(static_cast<size_t>(claimed) + 1);
          window_sink window(s.restored.data());
          checking_sink sink(through ? *through : window, static_cast<size_t>(claimed), nullptr, nullptr);
          decompress_in_place(s.gather.data(), n, sink, s.workers);
          if (sink.used() != claimed) corrupt();
          s.gather = byte_buffer();
          s.gathered = 0;
          if (!through) {
            s.restored_n = sink.used();
            s.given = 0;
            s.ready = s.restored_n > 0;
          }
          s.at = phase::plain_done;
          continue;
        }
        case phase::plain_done:
          if (in.left() > 0) throw qarn_error(failure::trailing_data);
          return true;
        case phase::failed: corrupt();
      }
    }
  } catch (...) {
    s.at = phase::failed;
    throw;
  }
}

}  // namespace qarn
