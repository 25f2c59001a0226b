// libFuzzer target: a whole container through the player library, as a player
// meets an untrusted file: open it, walk every record, find the video payload
// sizes the audio is consistent with and decode each record's audio with them,
// look up key frames. Record payloads are copied to buffers of their exact size
// so that the sanitizers see any read past them.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "clipvane.h"

namespace {

struct Memory {
  const uint8_t* data;
  size_t size;
  int64_t position;
};

int64_t Read(void* user, void* buffer, size_t count) {
  auto* m = static_cast<Memory*>(user);
  if (m->position < 0 || uint64_t(m->position) >= m->size) return 0;
  const size_t n = count < m->size - size_t(m->position) ? count : m->size - size_t(m->position);
  std::memcpy(buffer, m->data + m->position, n);
  m->position += int64_t(n);
  return int64_t(n);
}

int64_t Seek(void* user, int64_t offset, int whence) {
  auto* m = static_cast<Memory*>(user);
  const int64_t base = whence == CLIPVANE_SEEK_SET ? 0 : whence == CLIPVANE_SEEK_CUR ? m->position : int64_t(m->size);
  if (base + offset < 0) return -1;
  m->position = base + offset;
  return m->position;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Memory memory{data, size, 0};
  const clipvane_io io = {Read, Seek};
  clipvane_container* c = nullptr;
  if (clipvane_open_io(&io, &memory, &c) != CLIPVANE_OK) return 0;
  clipvane_header h;
  clipvane_get_header(c, &h);
  clipvane_decoder* d = nullptr;
  if (h.audioSampleRate != 0 && clipvane_decoder_create(c, &d) != CLIPVANE_OK) std::abort();
  std::vector<int16_t> samples;
  clipvane_record r;
  int status;
  while ((status = clipvane_next_record(c, &r)) == 1) {
    std::vector<uint8_t> exact(r.payload, r.payload + r.payloadBytes);
    clipvane_record copy = r;
    copy.payload = exact.data();
    uint32_t sizes[8];
    const int found = clipvane_find_video_sizes(c, &copy, sizes, 8);
    if (found < 0) std::abort();
    if (clipvane_key_frame_at_or_before(c, r.frame) > int64_t(r.frame)) std::abort();
    if (d == nullptr) continue;
    samples.resize(size_t(r.blockCount) * CLIPVANE_BLOCK_SAMPLES * h.audioChannels);
    // A size the layout check accepted must decode: the first and the last
    // of them (decoding them all would slow the run down several times).
    const int last = found < 8 ? found - 1 : 7;
    for (int k = 0; k <= last; k += last > 0 ? last : 1) {
      if (clipvane_decode_record(d, &copy, sizes[k], samples.data(), samples.size()) != int64_t(r.blockCount) * 128) {
        std::abort();
      }
    }
    clipvane_decode_record(d, &copy, 0, samples.data(), samples.size());
  }
  if (status < 0) std::abort();  // the file was checked at opening and cannot change here
  clipvane_decoder_destroy(d);
  clipvane_close(c);
  return 0;
}
