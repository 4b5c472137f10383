// stream_windows_test.cpp — the streaming calls with the output windows qz gives them: each block goes straight
// into the caller's window, so a call that has written a block returns before the next one instead of coding or
// restoring it into the context's own memory (which would cost a copy of every block but the first).
#include "helpers.h"
#include "libqarn.h"

namespace {

constexpr size_t block = 65536;
constexpr size_t blocks = 4;
constexpr size_t frame_header = 24;  // with the content size
constexpr size_t block_header = 16;
constexpr size_t block_overhead = block_header + 4 + 8;  // block header, stored mode's header, checksum

// The compressing calls, with the whole input offered at once and an output window of qarn_cstream_out_size, and the
// restoring calls, with the whole stream offered and a window of one block.
TEST(StreamWindows, EachCallTakesOneBlockIntoAnEmptiedWindow) {
  qarn_params* params = qarn_params_create();
  ASSERT_NE(nullptr, params);
  ASSERT_EQ(QARN_OK, qarn_params_set(params, QARN_PARAM_BLOCK_SIZE, block));
  ASSERT_EQ(QARN_OK, qarn_params_set(params, QARN_PARAM_MODE, QARN_MODE_STORED));
  const bytes input = random_bytes(blocks * block, 1);

  // Compression: the header alone first (the first block does not fit beside it), then one whole block a call.
  qarn_cstream* c = qarn_cstream_create(params);
  ASSERT_NE(nullptr, c);
  ASSERT_EQ(QARN_OK, qarn_cstream_set_content_size(c, input.size()));
  bytes window(qarn_cstream_out_size(params)), stream;
  qarn_in_buffer in{input.data(), input.size(), 0};
  std::vector<size_t> outs, taken;
  for (size_t pending = 1; pending > 0;) {
    qarn_out_buffer out{window.data(), window.size(), 0};
    const size_t before = in.pos;
    ASSERT_EQ(QARN_OK, qarn_compress_stream(c, &out, &in, QARN_END, &pending));
    stream.insert(stream.end(), window.begin(), window.begin() + out.pos);
    outs.push_back(out.pos);
    taken.push_back(in.pos - before);
    ASSERT_LT(outs.size(), 20u);
  }
  qarn_cstream_free(c);
  std::vector<size_t> expected_outs = {frame_header}, expected_taken = {0};
  for (size_t i = 0; i < blocks; i++) {
    expected_outs.push_back(block + block_overhead);
    expected_taken.push_back(block);
  }
  // The end mark and the frame checksum, in a window that the last block filled: a call of their own.
  expected_outs.push_back(block_header + 8);
  expected_taken.push_back(0);
  EXPECT_EQ(expected_outs, outs);
  EXPECT_EQ(expected_taken, taken);

  // Restoring: one block a call, straight into the window; the next block is not taken before the window is
  // emptied.
  qarn_dstream* d = qarn_dstream_create(nullptr);
  ASSERT_NE(nullptr, d);
  bytes restored, room(block);
  qarn_in_buffer from{stream.data(), stream.size(), 0};
  std::vector<size_t> consumed;
  for (int finished = 0; !finished;) {
    qarn_out_buffer out{room.data(), room.size(), 0};
    const size_t before = from.pos;
    ASSERT_EQ(QARN_OK, qarn_decompress_stream(d, &out, &from, 1, &finished));
    restored.insert(restored.end(), room.begin(), room.begin() + out.pos);
    consumed.push_back(from.pos - before);
    ASSERT_LT(consumed.size(), 20u);
  }
  qarn_dstream_free(d);
  EXPECT_BYTES_EQ(input, restored);
  // A call reads the next block's header before it finds that the block must wait.
  std::vector<size_t> expected_consumed(blocks, block + block_overhead);
  expected_consumed.front() += frame_header + block_header;
  expected_consumed.back() += 8;
  EXPECT_EQ(expected_consumed, consumed);
  qarn_params_free(params);
}

}  // namespace
