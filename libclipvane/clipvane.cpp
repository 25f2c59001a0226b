// The C interface of the player library.

#include "clipvane.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "codec/audio_decoder.h"
#include "format/codebook_image.h"
#include "libclipvane/container_index.h"

using clipvane::player::ByteInput;
using clipvane::player::ContainerIndex;

namespace {

// Reads through the caller's callbacks, keeping one window of the file so that
// the record walk at opening does not cost a callback per record.
class CallbackInput final : public ByteInput {
 public:
  CallbackInput(const clipvane_io& io, void* user) : io_(io), user_(user) {}

  bool Open() {
    const int64_t end = io_.seek(user_, 0, CLIPVANE_SEEK_END);
    if (end < 0) return false;
    size_ = uint64_t(end);
    return true;
  }
  uint64_t Size() const override { return size_; }

  bool ReadAt(uint64_t offset, void* buffer, std::size_t count) override {
    if (count == 0) return true;
    if (offset > size_ || count > size_ - offset) return false;
    if (offset >= windowStart_ && offset + count <= windowStart_ + window_.size()) {
      std::memcpy(buffer, window_.data() + (offset - windowStart_), count);
      return true;
    }
    if (count >= kWindowBytes) return Fetch(offset, buffer, count);
    const std::size_t fill = std::size_t(std::min<uint64_t>(kWindowBytes, size_ - offset));
    window_.resize(fill);
    if (!Fetch(offset, window_.data(), fill)) {
      window_.clear();
      return false;
    }
    windowStart_ = offset;
    std::memcpy(buffer, window_.data(), count);
    return true;
  }

 private:
  static constexpr std::size_t kWindowBytes = 65536;

  bool Fetch(uint64_t offset, void* buffer, std::size_t count) {
    if (io_.seek(user_, int64_t(offset), CLIPVANE_SEEK_SET) != int64_t(offset)) return false;
    auto* out = static_cast<uint8_t*>(buffer);
    while (count > 0) {
      const int64_t got = io_.read(user_, out, count);
      if (got <= 0 || uint64_t(got) > count) return false;
      out += got;
      count -= std::size_t(got);
    }
    return true;
  }

  clipvane_io io_;
  void* user_;
  uint64_t size_ = 0;
  uint64_t windowStart_ = 0;
  std::vector<uint8_t> window_;
};

int64_t FileRead(void* user, void* buffer, size_t size) {
  std::FILE* f = static_cast<std::FILE*>(user);
  const std::size_t got = std::fread(buffer, 1, size, f);
  if (got < size && std::ferror(f)) return -1;
  return int64_t(got);
}

int64_t FileSeek(void* user, int64_t offset, int whence) {
  std::FILE* f = static_cast<std::FILE*>(user);
  const int origin = whence == CLIPVANE_SEEK_SET ? SEEK_SET : whence == CLIPVANE_SEEK_CUR ? SEEK_CUR : SEEK_END;
  if (fseeko(f, off_t(offset), origin) != 0) return -1;
  return int64_t(ftello(f));
}

constexpr clipvane_io kFileIo = {FileRead, FileSeek};

// Paths are UTF-8; on Windows the C library would read a narrow one in the
// code page, so the wide form is opened there.
std::FILE* OpenForReading(const char* path) {
#if defined(_WIN32)
  const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
  if (length <= 0) return nullptr;
  std::wstring wide(std::size_t(length), L'\0');
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide.data(), length) <= 0) return nullptr;
  return _wfopen(wide.c_str(), L"rb");
#else
  return std::fopen(path, "rb");
#endif
}

// A record without a payload is fine only when it is empty.
bool BadRecord(const clipvane_record* record) {
  return record == nullptr || (record->payload == nullptr && record->payloadBytes != 0);
}

// Runs the body of an entry point so that no C++ exception leaves the C
// interface. The library's own code throws only when an allocation fails
// (std::bad_alloc, or std::length_error for a size no vector can hold); that is
// the out-of-memory code. Anything else can only come from the caller's read or
// seek callbacks and is an input failure.
template <typename Body>
auto AtBoundary(Body&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return CLIPVANE_ERROR_MEMORY;
  } catch (const std::length_error&) {
    return CLIPVANE_ERROR_MEMORY;
  } catch (...) {
    return CLIPVANE_ERROR_IO;
  }
}

}  // namespace

struct clipvane_container {
  std::FILE* file = nullptr;  // owned when opened from a path
  std::unique_ptr<CallbackInput> input;
  ContainerIndex index;
  std::vector<uint8_t> record;  // the current record's bytes
  uint32_t cursor = 0;          // the frame clipvane_next_record reads
};

struct clipvane_decoder {
  std::vector<clipvane::ChannelCodebook> codebooks;
  std::vector<clipvane::AudioDecoderState> states;
};

extern "C" {

int clipvane_version(void) { return CLIPVANE_VERSION; }
const char* clipvane_version_string(void) { return CLIPVANE_VERSION_STRING; }

const char* clipvane_error_string(int code) {
  switch (code) {
    case CLIPVANE_OK: return "no error";
    case CLIPVANE_ERROR_ARGUMENT: return "invalid argument";
    case CLIPVANE_ERROR_MEMORY: return "out of memory";
    case CLIPVANE_ERROR_IO: return "the file cannot be opened, read or sought";
    case CLIPVANE_ERROR_NOT_CONTAINER: return "not a Clipvane container";
    case CLIPVANE_ERROR_HEADER: return "the container header contradicts itself or the file";
    case CLIPVANE_ERROR_RECORDS: return "the frame records do not tile the file";
    case CLIPVANE_ERROR_SEEK_TABLE: return "the seek table is out of order or misses its records";
    case CLIPVANE_ERROR_NO_FRAME: return "no such frame";
    case CLIPVANE_ERROR_PACKET: return "the audio packet is truncated";
    case CLIPVANE_ERROR_AUDIO_LAYOUT: return "the audio packets do not fill the record after the video payload";
    case CLIPVANE_ERROR_BUFFER: return "the buffer is too small";
    case CLIPVANE_ERROR_NO_AUDIO: return "the container has no audio";
    default: return "unknown error code";
  }
}

int clipvane_open_io(const clipvane_io* io, void* user, clipvane_container** out) {
  if (out != nullptr) *out = nullptr;
  if (io == nullptr || io->read == nullptr || io->seek == nullptr || out == nullptr) return CLIPVANE_ERROR_ARGUMENT;
  return AtBoundary([&] {
    auto c = std::make_unique<clipvane_container>();
    c->input = std::make_unique<CallbackInput>(*io, user);
    if (!c->input->Open()) return int(CLIPVANE_ERROR_IO);
    const int status = clipvane::player::ScanContainer(*c->input, c->index, nullptr);
    if (status != 0) return status;
    *out = c.release();
    return int(CLIPVANE_OK);
  });
}

int clipvane_open_file(const char* path, clipvane_container** out) {
  if (out != nullptr) *out = nullptr;
  if (path == nullptr || out == nullptr) return CLIPVANE_ERROR_ARGUMENT;
  return AtBoundary([&] {
    std::FILE* f = OpenForReading(path);
    if (f == nullptr) return int(CLIPVANE_ERROR_IO);
    const int status = clipvane_open_io(&kFileIo, f, out);
    if (status != CLIPVANE_OK) {
      std::fclose(f);
      return status;
    }
    (*out)->file = f;
    return int(CLIPVANE_OK);
  });
}

void clipvane_close(clipvane_container* container) {
  if (container == nullptr) return;
  if (container->file != nullptr) std::fclose(container->file);
  delete container;
}

int clipvane_get_header(const clipvane_container* container, clipvane_header* out) {
  if (container == nullptr || out == nullptr) return CLIPVANE_ERROR_ARGUMENT;
  const clipvane::ContainerHeader& h = container->index.header;
  std::memcpy(out->magic, h.magic, 4);
  out->frameCount = h.frameCount;
  out->width = h.width;
  out->height = h.height;
  out->frameRate = h.frameRate;
  out->videoCodecData = h.videoCodecData;
  out->audioSampleRate = h.audioSampleRate;
  out->audioChannels = h.audioChannels;
  out->maxFrameRecordSize = h.maxFrameRecordSize;
  out->codebookOffset = h.codebookOffset;
  out->seekTableOffset = h.seekTableOffset;
  out->seekEntryCount = h.seekEntryCount;
  return CLIPVANE_OK;
}

uint64_t clipvane_file_size(const clipvane_container* container) {
  return container == nullptr ? 0 : container->index.fileSize;
}

uint32_t clipvane_frame_count(const clipvane_container* container) {
  return container == nullptr ? 0 : uint32_t(container->index.recordOffsets.size());
}

uint32_t clipvane_seek_entry_count(const clipvane_container* container) {
  return container == nullptr ? 0 : uint32_t(container->index.seekTable.size());
}

int clipvane_get_seek_entry(const clipvane_container* container, uint32_t index, clipvane_seek_entry* out) {
  if (container == nullptr || out == nullptr) return CLIPVANE_ERROR_ARGUMENT;
  if (index >= container->index.seekTable.size()) return CLIPVANE_ERROR_NO_FRAME;
  out->frame = container->index.seekTable[index].frame;
  out->offset = container->index.seekTable[index].offset;
  return CLIPVANE_OK;
}

int64_t clipvane_key_frame_at_or_before(const clipvane_container* container, uint32_t frame) {
  if (container == nullptr) return CLIPVANE_ERROR_ARGUMENT;
  const std::vector<uint32_t>& keys = container->index.keyFrames;
  const auto after = std::upper_bound(keys.begin(), keys.end(), frame);
  if (after == keys.begin()) return CLIPVANE_ERROR_NO_FRAME;
  return int64_t(*(after - 1));
}

int clipvane_read_record(clipvane_container* container, uint32_t frame, clipvane_record* out) {
  if (container == nullptr || out == nullptr) return CLIPVANE_ERROR_ARGUMENT;
  const ContainerIndex& index = container->index;
  if (frame >= index.recordOffsets.size()) return CLIPVANE_ERROR_NO_FRAME;
  const uint32_t bytes = index.RecordBytes(frame);
  // Both the record buffer and a callback input's read window may grow here.
  return AtBoundary([&] {
    container->record.resize(bytes);
    if (!container->input->ReadAt(index.recordOffsets[frame], container->record.data(), bytes)) {
      return int(CLIPVANE_ERROR_IO);
    }
    const clipvane::RecordHead head = clipvane::ParseRecordHead(container->record.data());
    // The file may have changed under the reader since it was opened.
    if (head.totalBytes != bytes) return int(CLIPVANE_ERROR_RECORDS);
    out->frame = frame;
    out->offset = index.recordOffsets[frame];
    out->size = bytes;
    out->blockCount = head.blockCount;
    out->keyFrame = index.IsKeyFrame(frame) ? 1 : 0;
    out->payload = container->record.data() + clipvane::kRecordHeaderBytes;
    out->payloadBytes = bytes - uint32_t(clipvane::kRecordHeaderBytes);
    container->cursor = frame + 1;
    return int(CLIPVANE_OK);
  });
}

int clipvane_next_record(clipvane_container* container, clipvane_record* out) {
  if (container == nullptr || out == nullptr) return CLIPVANE_ERROR_ARGUMENT;
  if (container->cursor >= container->index.recordOffsets.size()) return 0;
  const int status = clipvane_read_record(container, container->cursor, out);
  return status == CLIPVANE_OK ? 1 : status;
}

int clipvane_rewind(clipvane_container* container, uint32_t frame) {
  if (container == nullptr) return CLIPVANE_ERROR_ARGUMENT;
  if (frame > container->index.recordOffsets.size()) return CLIPVANE_ERROR_NO_FRAME;
  container->cursor = frame;
  return CLIPVANE_OK;
}

int clipvane_record_audio_bytes(const clipvane_container* container, const clipvane_record* record,
                                uint32_t videoBytes) {
  if (container == nullptr || BadRecord(record)) return CLIPVANE_ERROR_ARGUMENT;
  const uint32_t packets = record->blockCount * container->index.header.audioChannels;
  const int64_t bytes = clipvane::player::AudioBytesAfterVideo(record->payload, record->payloadBytes, videoBytes, packets);
  return bytes < 0 ? CLIPVANE_ERROR_AUDIO_LAYOUT : int(bytes);
}

int clipvane_find_video_sizes(const clipvane_container* container, const clipvane_record* record, uint32_t* sizes,
                              size_t capacity) {
  if (container == nullptr || BadRecord(record) || (sizes == nullptr && capacity > 0)) {
    return CLIPVANE_ERROR_ARGUMENT;
  }
  const uint32_t packets = record->blockCount * container->index.header.audioChannels;
  const uint32_t payload = record->payloadBytes;
  // The packets take between 10 and 20 bytes each, and 0..3 bytes pad them.
  const uint64_t most = uint64_t(packets) * clipvane::kMaxPacketBytes + 3;
  const uint32_t first = most >= payload ? 0 : uint32_t(payload - most);
  const uint64_t least = uint64_t(packets) * clipvane::kMinPacketBytes;
  if (least > payload) return 0;
  const uint32_t last = uint32_t(payload - least);
  // One backward pass: from each offset the packets are parsed one way only, so
  // steps[p] is how many whole packets lead from p to a valid end (zero padding
  // of 0..3 bytes), or kNone. A size is a candidate when that count is exactly
  // the record's packets. Each offset is visited once, so a hostile record
  // costs time in proportion to its size.
  constexpr uint32_t kNone = 0xFFFFFFFFu;
  std::vector<uint32_t> steps;
  const int status = AtBoundary([&] {
    steps.assign(std::size_t(payload - first) + 1, kNone);
    return int(CLIPVANE_OK);
  });
  if (status != CLIPVANE_OK) return status;
  const uint8_t* bytes = record->payload;
  for (uint32_t p = payload + 1; p-- > first;) {
    uint32_t& here = steps[p - first];
    if (payload - p <= 3) {
      bool zero = true;
      for (uint32_t q = p; q < payload; ++q) zero = zero && bytes[q] == 0;
      if (zero) here = 0;
      continue;  // no packet fits in the last 3 bytes
    }
    if (payload - p < uint32_t(clipvane::kPacketHeaderBytes)) continue;
    const uint32_t size = uint32_t(clipvane::AudioPacketSize(bytes + p));
    if (size == 0 || payload - p < size) continue;
    const uint32_t next = steps[p + size - first];
    if (next != kNone) here = next + 1;
  }
  int found = 0;
  for (uint32_t video = first; video <= last; ++video) {
    if (steps[video - first] != packets) continue;
    if (size_t(found) < capacity) sizes[found] = video;
    ++found;
  }
  return found;
}

int clipvane_get_codebook(const clipvane_container* container, uint32_t channel, uint8_t* image) {
  if (container == nullptr || image == nullptr) return CLIPVANE_ERROR_ARGUMENT;
  if (container->index.header.audioSampleRate == 0) return CLIPVANE_ERROR_NO_AUDIO;
  if (channel >= container->index.header.audioChannels) return CLIPVANE_ERROR_ARGUMENT;
  std::memcpy(image, container->index.codebooks.data() + std::size_t(channel) * clipvane::kCodebookImageBytes,
              clipvane::kCodebookImageBytes);
  return CLIPVANE_OK;
}

int clipvane_decoder_create_from_codebooks(const uint8_t* images, uint32_t channels, clipvane_decoder** out) {
  if (out != nullptr) *out = nullptr;
  if (images == nullptr || out == nullptr || channels == 0 || channels > CLIPVANE_MAX_CHANNELS) {
    return CLIPVANE_ERROR_ARGUMENT;
  }
  return AtBoundary([&] {
    auto d = std::make_unique<clipvane_decoder>();
    for (uint32_t c = 0; c < channels; ++c) {
      d->codebooks.push_back(clipvane::ReadCodebookImage(images + std::size_t(c) * clipvane::kCodebookImageBytes));
    }
    d->states.resize(channels);
    *out = d.release();
    clipvane_decoder_reset(*out);
    return int(CLIPVANE_OK);
  });
}

int clipvane_decoder_create(const clipvane_container* container, clipvane_decoder** out) {
  if (out != nullptr) *out = nullptr;
  if (container == nullptr || out == nullptr) return CLIPVANE_ERROR_ARGUMENT;
  if (container->index.header.audioSampleRate == 0) return CLIPVANE_ERROR_NO_AUDIO;
  return clipvane_decoder_create_from_codebooks(container->index.codebooks.data(),
                                                container->index.header.audioChannels, out);
}

void clipvane_decoder_destroy(clipvane_decoder* decoder) { delete decoder; }

uint32_t clipvane_decoder_channels(const clipvane_decoder* decoder) {
  return decoder == nullptr ? 0 : uint32_t(decoder->states.size());
}

void clipvane_decoder_reset(clipvane_decoder* decoder) {
  if (decoder == nullptr) return;
  for (std::size_t c = 0; c < decoder->states.size(); ++c) {
    clipvane::InitDecoderState(decoder->states[c], decoder->codebooks[c]);
  }
}

int64_t clipvane_decode_record(clipvane_decoder* decoder, const clipvane_record* record, uint32_t videoBytes,
                               int16_t* samples, size_t capacity) {
  if (decoder == nullptr || BadRecord(record)) return CLIPVANE_ERROR_ARGUMENT;
  const uint32_t channels = uint32_t(decoder->states.size());
  const uint32_t blocks = record->blockCount;
  if (clipvane::player::AudioBytesAfterVideo(record->payload, record->payloadBytes, videoBytes, blocks * channels) < 0) {
    return CLIPVANE_ERROR_AUDIO_LAYOUT;
  }
  const uint64_t frames = uint64_t(blocks) * clipvane::kBlockSamples;
  if (frames * channels > capacity) return CLIPVANE_ERROR_BUFFER;
  if (blocks > 0 && samples == nullptr) return CLIPVANE_ERROR_ARGUMENT;
  // Every channel's first block of a key frame is a key block, and the encoder
  // reaches back no further than it, so fresh states decode the same samples.
  if (record->keyFrame && blocks > 0) clipvane_decoder_reset(decoder);
  const uint8_t* packet = record->payload + videoBytes;
  int16_t block[clipvane::kBlockSamples];
  for (uint32_t b = 0; b < blocks; ++b) {
    int16_t* out = samples + std::size_t(b) * clipvane::kBlockSamples * channels;
    if (channels == 1) {
      packet += clipvane::DecodeAudioPacket(decoder->states[0], packet, out);
      continue;
    }
    for (uint32_t c = 0; c < channels; ++c) {
      packet += clipvane::DecodeAudioPacket(decoder->states[c], packet, block);
      for (int n = 0; n < clipvane::kBlockSamples; ++n) out[std::size_t(n) * channels + c] = block[n];
    }
  }
  return int64_t(frames);
}

int clipvane_decode_packet(clipvane_decoder* decoder, uint32_t channel, const uint8_t* packet, size_t length,
                           int16_t samples[CLIPVANE_BLOCK_SAMPLES]) {
  if (decoder == nullptr || packet == nullptr || samples == nullptr) return CLIPVANE_ERROR_ARGUMENT;
  if (channel >= decoder->states.size()) return CLIPVANE_ERROR_ARGUMENT;
  if (length < std::size_t(clipvane::kPacketHeaderBytes)) return CLIPVANE_ERROR_PACKET;
  if (length < std::size_t(clipvane::AudioPacketSize(packet))) return CLIPVANE_ERROR_PACKET;
  return clipvane::DecodeAudioPacket(decoder->states[channel], packet, samples);
}

}  // extern "C"
