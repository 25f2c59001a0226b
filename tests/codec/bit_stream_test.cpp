#include "codec/bit_stream.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "format/packet_format.h"
#include "guarded_buffer.h"

namespace clipvane {
namespace {

std::vector<uint8_t> Bytes(const OutputBitStream& out) {
  std::vector<uint8_t> bytes(out.Words().size() * 2);
  out.CopyBytes(bytes.data(), static_cast<int>(bytes.size()));
  return bytes;
}

TEST(OutputBitStream, KeyHeaderFieldsGiveKnownBytes) {
  OutputBitStream out;
  for (auto [value, count] : {std::pair{127u, 7}, {0u, 3}, {0u, 6}, {0u, 2}, {0u, 2}, {0u, 6}, {0u, 6}}) {
    out.Put(value, count);
  }
  out.Flush();
  // The first bit of a packet is bit 7 of its second byte: words are little-endian.
  EXPECT_EQ(Bytes(out), (std::vector<uint8_t>{0x00, 0xFE, 0x00, 0x00}));
  EXPECT_EQ(out.TotalBits(), 32);
}

TEST(OutputBitStream, FieldsStraddleWordsMostSignificantFirst) {
  OutputBitStream out;
  out.Put(0xABC, 12);  // 1010 1011 1100
  out.Put(0x5A, 8);    // 0101 1010: four bits finish word 0, four start word 1
  out.Put(0x1, 1);
  out.Flush();
  ASSERT_EQ(out.Words().size(), 2u);
  EXPECT_EQ(out.Words()[0], 0xABC5);
  EXPECT_EQ(out.Words()[1], 0xA800);  // 1010 then the 1-bit field, padded with zeros
  EXPECT_EQ(Bytes(out), (std::vector<uint8_t>{0xC5, 0xAB, 0x00, 0xA8}));
}

TEST(OutputBitStream, WordsAreEmittedLazily) {
  OutputBitStream out;
  out.Put(0xFFFF, 16);
  EXPECT_TRUE(out.Words().empty()) << "a full word waits for the next Put or Flush";
  out.Put(0, 0);
  EXPECT_TRUE(out.Words().empty()) << "a zero-bit Put does nothing at all";
  out.Put(1, 1);
  ASSERT_EQ(out.Words().size(), 1u);
  EXPECT_EQ(out.Words()[0], 0xFFFF);
  out.Put(0x7FFF, 15);  // pending is exactly 16 again
  EXPECT_EQ(out.Words().size(), 1u);
  out.Flush();
  ASSERT_EQ(out.Words().size(), 2u);
  EXPECT_EQ(out.Words()[1], 0xFFFF);
  EXPECT_EQ(out.TotalBits(), 32);
}

TEST(OutputBitStream, FlushWithoutPendingBitsEmitsNothing) {
  OutputBitStream out;
  out.Flush();
  EXPECT_TRUE(out.Words().empty());
  out.Put(0x1234, 16);
  out.Flush();
  EXPECT_EQ(out.Words().size(), 1u);
  out.Flush();
  EXPECT_EQ(out.Words().size(), 1u);
}

TEST(OutputBitStream, ResetStartsAnEmptyPacket) {
  OutputBitStream out;
  out.Put(0x3, 2);
  out.Flush();
  out.Reset();
  EXPECT_TRUE(out.Words().empty());
  EXPECT_EQ(out.TotalBits(), 0);
  out.Put(0x1, 1);
  out.Flush();
  ASSERT_EQ(out.Words().size(), 1u);
  EXPECT_EQ(out.Words()[0], 0x8000) << "no bits of the earlier packet survive";
}

TEST(OutputBitStream, ValueWiderThanCountCorruptsEarlierBits) {
  // The writer does not mask: callers must keep values below 2^count.
  OutputBitStream out;
  out.Put(0, 1);
  out.Put(3, 1);
  out.Flush();
  EXPECT_EQ(out.Words()[0], 0xC000);
}

TEST(OutputBitStream, CopyBytesPadsBeyondTheWordsWithZeros) {
  OutputBitStream out;
  out.Put(0xBEEF, 16);
  out.Flush();
  uint8_t bytes[4] = {9, 9, 9, 9};
  out.CopyBytes(bytes, 4);
  EXPECT_EQ(bytes[0], 0xEF);
  EXPECT_EQ(bytes[1], 0xBE);
  EXPECT_EQ(bytes[2], 0);
  EXPECT_EQ(bytes[3], 0);
}

TEST(InputBitStream, ReadsBackWhatTheWriterPut) {
  std::mt19937 rng(1);
  for (int trial = 0; trial < 500; ++trial) {
    OutputBitStream out;
    const uint32_t header = rng() & ~0x3000u;  // packet mode 0: all 160 bits are the packet's
    out.Put(header >> 16, 16);
    out.Put(header & 0xFFFF, 16);
    std::vector<std::pair<uint32_t, int>> fields;
    int bits = 32;
    while (true) {
      const int count = 1 + static_cast<int>(rng() % 16);
      if (bits + count > 160) break;
      const uint32_t value = rng() & ((1u << count) - 1);
      out.Put(value, count);
      fields.emplace_back(value, count);
      bits += count;
    }
    out.Flush();
    uint8_t packet[20] = {};
    out.CopyBytes(packet, 20);

    InputBitStream in(packet);
    EXPECT_EQ(in.HeaderWord0(), header >> 16);
    EXPECT_EQ(in.HeaderWord1(), header & 0xFFFF);
    EXPECT_EQ(in.BitsRead(), 32);
    for (const auto& [value, count] : fields) ASSERT_EQ(in.Read(count), value) << "trial " << trial;
    EXPECT_EQ(in.BitsRead(), bits);
  }
}

TEST(InputBitStream, NeverFetchesBeyondItsPacket) {
  // Each packet sits at the very end of readable memory: all bits set but the
  // packet mode, so any byte beyond it would crash or show up as ones.
  for (int mode = 0; mode < kPacketModes; ++mode) {
    const int bytes = kPacketModeTable[mode].bytes;
    testing::GuardedBuffer buffer{std::size_t(bytes)};
    ASSERT_TRUE(buffer.ok());
    uint8_t packet[20];
    for (auto& b : packet) b = 0xFF;
    packet[3] = uint8_t(0xCF | mode << 4);
    buffer.Fill(packet);
    InputBitStream in(buffer.data());
    EXPECT_EQ(in.HeaderWord1(), uint32_t(0xCFFF | mode << 12));
    const int pulseWords = bytes / 2 - 2;
    for (int i = 0; i < pulseWords; ++i) EXPECT_EQ(in.Read(16), 0xFFFFu) << "mode " << mode << " word " << i;
    // Past the packet the reader supplies zeros and touches nothing.
    for (int i = 0; i < 4; ++i) EXPECT_EQ(in.Read(13), 0u) << "mode " << mode;
    EXPECT_EQ(in.BitsRead(), bytes * 8 + 52);
  }
}

TEST(InputBitStream, HeaderWordsAreLittleEndian) {
  const uint8_t packet[20] = {0x34, 0x12, 0x78, 0x56, 0xCD, 0xAB};
  InputBitStream in(packet);
  EXPECT_EQ(in.HeaderWord0(), 0x1234u);
  EXPECT_EQ(in.HeaderWord1(), 0x5678u);
  EXPECT_EQ(in.Read(4), 0xAu);
  EXPECT_EQ(in.Read(12), 0xBCDu);
}

}  // namespace
}  // namespace clipvane
