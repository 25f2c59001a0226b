#include "codec/bit_stream.h"

#include "format/packet_format.h"

namespace clipvane {

void OutputBitStream::Reset() {
  pendingBits_ = 0;
  accumulator_ = 0;
  wordCount_ = 0;
  totalBits_ = 0;
}

void OutputBitStream::Put(uint32_t value, int count) {
  if (count == 0) return;
  // Words leave the accumulator only when room is needed, so a field may sit
  // pending across calls; Flush emits the rest.
  while (pendingBits_ >= 16) {
    Emit(static_cast<uint16_t>(accumulator_ >> 16));
    accumulator_ <<= 16;
    pendingBits_ -= 16;
  }
  accumulator_ |= value << (32 - pendingBits_ - count);
  pendingBits_ += count;
  totalBits_ += count;
}

void OutputBitStream::Flush() {
  while (pendingBits_ > 0) {
    Emit(static_cast<uint16_t>(accumulator_ >> 16));
    accumulator_ <<= 16;
    pendingBits_ -= 16;
  }
}

void OutputBitStream::CopyBytes(uint8_t* out, int bytes) const {
  const int available = wordCount_ * 2;
  for (int i = 0; i < bytes; ++i) {
    if (i >= available) {
      out[i] = 0;
      continue;
    }
    const uint16_t word = words_[i / 2];
    out[i] = static_cast<uint8_t>((i & 1) ? word >> 8 : word & 0xFF);
  }
}

InputBitStream::InputBitStream(const uint8_t* packet) : next_(packet), start_(packet) {
  header0_ = FetchWord();
  header1_ = FetchWord();
  fetchLimit_ = 8 * kPacketModeTable[PacketModeOfHeaderWord1(header1_)].bytes;
  accumulator_ = FetchWord() << 16;
  pendingBits_ = 0;
  bitsRead_ = 32;
}

}  // namespace clipvane
