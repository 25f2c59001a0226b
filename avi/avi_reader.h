#pragma once
// Our own AVI reader: walks the RIFF structure, builds a compact per-frame and
// per-audio-chunk index (idx1, OpenDML super/standard indexes, or a scan of the
// movi list when there is no usable index) and reads frame and audio bytes on
// demand. Memory grows with the number of chunks, never with the file size.
// Hostile input is normal input: a truncated or hand-crafted file never
// crashes it, never makes it allocate more than the file could hold, and never
// makes it loop forever.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace clipvane::avi {

inline constexpr uint32_t FourCC(char a, char b, char c, char d) {
  return uint32_t(uint8_t(a)) | uint32_t(uint8_t(b)) << 8 | uint32_t(uint8_t(c)) << 16 |
         uint32_t(uint8_t(d)) << 24;
}

// The fields of an AVI stream header ('strh') that the converter uses.
struct StreamHeader {
  uint32_t fccType = 0;
  uint32_t fccHandler = 0;  // four bytes in file order, little-endian value
  uint32_t flags = 0;
  uint32_t scale = 0;
  uint32_t rate = 0;
  uint32_t start = 0;
  uint32_t length = 0;  // frames (video) or samples (audio); OpenDML 'dmlh'-independent
  uint32_t suggestedBufferSize = 0;
  uint32_t sampleSize = 0;
};

// Where one stored chunk of a stream lies in the file.
struct ChunkRef {
  uint64_t offset = 0;  // absolute file offset of the chunk's data (after its 8-byte header)
  uint32_t size = 0;    // data bytes
  bool key = false;
};

// Where a stream's chunk list came from.
enum class IndexSource {
  kNone,          // the stream is absent
  kOpenDml,       // 'indx' super index and its 'ix##' standard indexes
  kIdx1Relative,  // 'idx1' with offsets counted from the 'movi' list
  kIdx1Absolute,  // 'idx1' with offsets counted from the start of the file
  kScan,          // no usable index: the 'movi' lists were walked
};

class AviReader {
 public:
  AviReader();
  ~AviReader();
  AviReader(const AviReader&) = delete;
  AviReader& operator=(const AviReader&) = delete;

  // Opens a RIFF 'AVI ' file and indexes its first video and first audio
  // stream. Returns false when the file is not a movie this reader can open.
  bool Open(const std::string& path);
  // The same for a movie held in memory (the reader keeps the bytes).
  bool OpenBuffer(std::vector<uint8_t> bytes);
  void Close();

  bool HasVideo() const { return hasVideo_; }
  bool HasAudio() const { return hasAudio_; }

  // Video stream.
  const StreamHeader& VideoHeader() const { return videoHeader_; }
  // The raw 'strf' bytes of the video stream (BITMAPINFOHEADER and whatever follows).
  const std::vector<uint8_t>& VideoFormat() const { return videoFormat_; }
  // Number of frames found in the index (may differ from VideoHeader().length).
  int32_t IndexedFrameCount() const { return int32_t(videoChunks_.size()); }
  // First key frame at or after `position`, or -1 when there is none.
  int32_t FindKeyFrame(int32_t position) const;
  // Byte size of frame `frame`; false when the frame does not exist.
  bool FrameSize(int32_t frame, uint32_t* bytes) const;
  // True when frame `frame` exists and all its bytes lie inside the file (a
  // truncated movie indexes frames it no longer holds).
  bool FrameInFile(int32_t frame) const;
  // Reads frame `frame` into `out` (resized to the frame's size); false when
  // the frame does not exist or its bytes cannot be read in full.
  bool ReadFrame(int32_t frame, std::vector<uint8_t>& out);

  // Audio stream (the first one).
  const StreamHeader& AudioHeader() const { return audioHeader_; }
  // The raw 'strf' bytes of the audio stream (WAVEFORMAT or WAVEFORMATEX, possibly 16 bytes).
  const std::vector<uint8_t>& AudioFormat() const { return audioFormat_; }
  uint16_t AudioFormatTag() const;      // wFormatTag (0 when the format is too short)
  uint16_t AudioChannels() const;       // nChannels
  uint16_t AudioBitsPerSample() const;  // wBitsPerSample
  uint16_t AudioBlockAlign() const;     // nBlockAlign
  // For WAVE_FORMAT_EXTENSIBLE (0xFFFE): true when the sub-format is PCM.
  bool AudioSubFormatIsPcm() const;
  // Total audio bytes in the index.
  uint64_t AudioBytes() const { return audioBytes_; }

  // "Convenient" read: the bytes from sample frame `position` to the end of the
  // stored chunk that holds it (one chunk at a time). A sample frame is
  // AudioBlockAlign() bytes (channels x bits / 8 when the format's alignment is 0).
  // A sample frame split between two stored chunks is returned whole, joined
  // from both; a partial frame at the very end of the stream is never returned.
  // Returns the number of bytes appended to `out` (out is resized to exactly
  // that), 0 at the end of the stream or on a read failure.
  uint32_t ReadAudioChunk(int64_t position, std::vector<uint8_t>& out);
  // Bytes that ReadAudioChunk(position) would return, without reading.
  uint32_t AudioChunkBytesAt(int64_t position) const;
  uint32_t AudioFrameBytes() const;

  // Index access for tests and tools.
  const std::vector<ChunkRef>& VideoChunks() const { return videoChunks_; }
  const std::vector<ChunkRef>& AudioChunks() const { return audioChunks_; }
  IndexSource VideoIndexSource() const { return videoIndexSource_; }
  IndexSource AudioIndexSource() const { return audioIndexSource_; }

 private:
  struct Impl;
  bool OpenSource();
  uint64_t AudioPieceRange(int64_t position, uint64_t* start) const;

  std::unique_ptr<Impl> impl_;
  IndexSource videoIndexSource_ = IndexSource::kNone;
  IndexSource audioIndexSource_ = IndexSource::kNone;
  bool hasVideo_ = false;
  bool hasAudio_ = false;
  StreamHeader videoHeader_;
  StreamHeader audioHeader_;
  std::vector<uint8_t> videoFormat_;
  std::vector<uint8_t> audioFormat_;
  std::vector<ChunkRef> videoChunks_;
  std::vector<ChunkRef> audioChunks_;
  std::vector<uint64_t> audioChunkStart_;  // first byte of each audio chunk within the stream
  uint64_t audioBytes_ = 0;
};

}  // namespace clipvane::avi
