#pragma once
// Bit writer and reader of the audio packets. A packet is a sequence of 16-bit
// little-endian words filled from their most significant bit; fields are
// written most significant bit first and may straddle two words.

#include <cstdint>
#include <span>

#include "format/packet_format.h"

namespace clipvane {

class OutputBitStream {
 public:
  void Reset();
  // Appends the low `count` bits of `value` (0 <= count <= 16). The value must
  // be below 2^count: the writer does not mask it.
  void Put(uint32_t value, int count);
  // Emits the pending bits, the last word padded with zero bits.
  void Flush();

  std::span<const uint16_t> Words() const { return {words_, static_cast<std::size_t>(wordCount_)}; }
  int TotalBits() const { return totalBits_; }
  // Copies the first `bytes` bytes of the words' little-endian image.
  void CopyBytes(uint8_t* out, int bytes) const;

 private:
  // The words of one packet live in the writer itself, so packing never
  // allocates; words beyond the largest packet are not kept.
  static constexpr int kCapacityWords = kMaxPacketBytes / 2;
  void Emit(uint16_t word) {
    if (wordCount_ < kCapacityWords) words_[wordCount_++] = word;
  }

  int32_t pendingBits_ = 0;
  uint32_t accumulator_ = 0;
  uint16_t words_[kCapacityWords] = {};
  int32_t wordCount_ = 0;
  int32_t totalBits_ = 0;
};

class InputBitStream {
 public:
  // Set up on a packet's first byte: the first two words are the header, the
  // reader then holds the next word. It never fetches beyond the packet's own
  // size, which the header's packet mode gives (10 to 20 bytes).
  explicit InputBitStream(const uint8_t* packet);

  uint32_t HeaderWord0() const { return header0_; }
  uint32_t HeaderWord1() const { return header1_; }
  // Returns the next `count` bits (1..16), most significant first.
  uint32_t Read(int count);
  int BitsRead() const { return bitsRead_; }

 private:
  uint32_t FetchWord();

  int32_t pendingBits_ = 0;
  uint32_t accumulator_ = 0;
  const uint8_t* next_;
  const uint8_t* start_;
  int32_t bitsRead_ = 0;
  int32_t fetchLimit_ = 160;  // bits; set from the packet mode
  uint32_t header0_ = 0;
  uint32_t header1_ = 0;
};

// The reader sits on the decoder's hot path, so it is defined here to inline.
inline uint32_t InputBitStream::FetchWord() {
  // Past the fetch limit the reader supplies zeros: it runs one word ahead of
  // the bits it hands out, and the word after a packet is not the packet's.
  if ((next_ - start_) * 8 >= fetchLimit_) return 0;
  const uint32_t word = static_cast<uint32_t>(next_[0]) | (static_cast<uint32_t>(next_[1]) << 8);
  next_ += 2;
  return word;
}

inline uint32_t InputBitStream::Read(int count) {
  const uint32_t result = accumulator_ >> (32 - count);
  accumulator_ <<= count;
  pendingBits_ -= count;
  bitsRead_ += count;
  if (pendingBits_ < 0) {
    accumulator_ |= FetchWord() << -pendingBits_;
    pendingBits_ += 16;
  }
  return result;
}

}  // namespace clipvane
