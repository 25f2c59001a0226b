// libFuzzer target: single packets with a random codebook image. The first
// 3124 bytes are the image; then each packet is one length byte and that many
// bytes, copied to a buffer of exactly that length, so that the sanitizers see
// any read past the length the caller gave.

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "clipvane.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < CLIPVANE_CODEBOOK_IMAGE_BYTES) return 0;
  clipvane_decoder* d = nullptr;
  if (clipvane_decoder_create_from_codebooks(data, 1, &d) != CLIPVANE_OK) std::abort();
  size_t at = CLIPVANE_CODEBOOK_IMAGE_BYTES;
  int16_t samples[CLIPVANE_BLOCK_SAMPLES];
  while (at < size) {
    size_t length = data[at++] % 24;
    if (length > size - at) length = size - at;
    std::unique_ptr<uint8_t[]> packet(new uint8_t[length == 0 ? 1 : length]);
    for (size_t i = 0; i < length; ++i) packet[i] = data[at + i];
    at += length;
    const int got = clipvane_decode_packet(d, 0, packet.get(), length, samples);
    if (length >= 4) {
      const int sizes[4] = {20, 14, 12, 10};
      const int packetSize = sizes[(packet[3] >> 4) & 3];
      if (got != (int(length) >= packetSize ? packetSize : CLIPVANE_ERROR_PACKET)) std::abort();
    } else if (got != CLIPVANE_ERROR_PACKET) {
      std::abort();
    }
  }
  clipvane_decoder_destroy(d);
  return 0;
}
