#pragma once
// Integer arithmetic of the codec. Every product and sum of the decoder (and of
// each encoder step that mirrors it) is a 32-bit signed value that wraps modulo
// 2^32 on overflow, exactly as the player's 32-bit arithmetic does; the work is
// done in uint32_t so that wrapping is defined behaviour. Right shifts of the
// results are arithmetic (towards minus infinity) and nothing is rounded.

#include <cstdint>

namespace clipvane {

inline constexpr int32_t WrapMul(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}

inline constexpr int32_t WrapAdd(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

inline constexpr int32_t WrapSub(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

inline constexpr int16_t ClipToSample(int32_t value) {
  return static_cast<int16_t>(value > 32767 ? 32767 : (value < -32768 ? -32768 : value));
}

}  // namespace clipvane
