// One video frame per step: the conversion step writes a frame record, the
// collection step runs the same walk with the encoder collecting training data.

#include <cstdio>
#include <cstring>

#include "converter/movie_converter.h"
#include "converter/samples_per_frame.h"

namespace clipvane {

bool CMovieConverter::IsKeyFrameAndAdvance() {
  if (seekCursor_ < keyFrames_.size() && keyFrames_[seekCursor_].frame == uint32_t(frameIndex_)) {
    ++seekCursor_;
    return true;
  }
  return false;
}

bool CMovieConverter::FrameIsPresent(int32_t frame, uint32_t* bytes) const {
  if (frame < 0 || frame >= framesAvailable_ || !movie_->FrameSize(frame, bytes)) return false;
  // A chunk that runs past the end of the file (a truncated movie) is where
  // both passes stop.
  const avi::ChunkRef& chunk = movie_->VideoChunks()[std::size_t(frame)];
  return inputFileBytes_ == 0 || chunk.offset + chunk.size <= inputFileBytes_;
}

int32_t CMovieConverter::NextAllotment() {
  float samplesPerFrame = float(header_.audioSampleRate) / framesPerSecond_;
  return SamplesPerFrame(samplesPerFrame, kBlockSamples);
}

void CMovieConverter::FetchFrameAudio(int32_t samples) {
  // Every channel asks for its samples plus one block of look-ahead and
  // consumes one block fewer than it got, so the look-ahead is delivered again
  // at the start of the next frame. The grabber serves channels 0, 1, 0, 1...
  channelSamples_.resize(header_.audioChannels);
  for (uint32_t c = 0; c < header_.audioChannels; ++c) {
    std::vector<int16_t>& buffer = channelSamples_[c];
    buffer.resize(std::size_t(samples) + kBlockSamples);
    int32_t count = samples + kBlockSamples;
    const int16_t* delivered = channelGrabbers_[c]->GetSamples(count);
    if (count < 0) count = 0;
    if (count > 0) std::memcpy(buffer.data(), delivered, std::size_t(count) * sizeof(int16_t));
    std::fill(buffer.begin() + count, buffer.end(), int16_t(0));
    channelGrabbers_[c]->ConsumeSamples(count > kBlockSamples ? count - kBlockSamples : 0);
  }
}

bool CMovieConverter::CollectStep() {
  bool keyFrame = IsKeyFrameAndAdvance();
  uint32_t frameBytes = 0;
  if (!FrameIsPresent(frameIndex_, &frameBytes)) return false;
  ++frameIndex_;
  if (header_.audioSampleRate == 0) return true;

  int32_t samples = NextAllotment();
  int32_t blocks = samples / kBlockSamples;
  packetBuffer_.resize(std::size_t(blocks) * header_.audioChannels * kMaxPacketBytes + kMaxPacketBytes);
  FetchFrameAudio(samples);
  std::size_t position = 0;
  for (int32_t b = 0; b < blocks; ++b) {
    for (uint32_t c = 0; c < header_.audioChannels; ++c) {
      position += std::size_t(EncodeAudioBlock(encoderStates_[c], &channelSamples_[c][std::size_t(b) * kBlockSamples],
                                               &packetBuffer_[position], keyFrame && b == 0, true, quality_));
    }
  }
  return true;
}

bool CMovieConverter::ConvertStep() {
  if (!output_.IsOpen() || Failed()) return false;

  bool keyFrame = false;
  if (seekCursor_ < keyFrames_.size() && keyFrames_[seekCursor_].frame == uint32_t(frameIndex_)) {
    keyFrame = true;
    keyFrames_[seekCursor_].offset = uint32_t(output_.Position());
    ++seekCursor_;
  }

  uint32_t frameBytes = 0;
  bool present = FrameIsPresent(frameIndex_, &frameBytes);
  if (!present || (frameBytes > 0 && !movie_->ReadFrame(frameIndex_, frameBuffer_))) {
    if (frameIndex_ < totalFrameCount_) {
      char text[200];
      std::snprintf(text, sizeof text,
                    "Warning: frame %d cannot be read; the input announces %d frames, the output holds the "
                    "first %d\n",
                    frameIndex_, totalFrameCount_, frameIndex_);
      warning_ = text;
    }
    Finish();
    return false;
  }
  // A frame of 0 bytes is a dropped frame: it keeps its place in the timeline
  // with an empty video payload, and its audio.
  record_.Begin(frameBuffer_.data(), frameBytes);
  int32_t frameNumber = frameIndex_;
  ++frameIndex_;

  uint16_t blockCount = 0;
  if (header_.audioSampleRate != 0) {
    int32_t samples = NextAllotment();
    int32_t blocks = samples / kBlockSamples;
    uint32_t channels = header_.audioChannels;
    packetBuffer_.resize(std::size_t(blocks) * channels * kMaxPacketBytes + kMaxPacketBytes);
    FetchFrameAudio(samples);
    std::size_t position = 0;
    int16_t decoded[kBlockSamples];
    for (int32_t b = 0; b < blocks; ++b) {
      for (uint32_t c = 0; c < channels; ++c) {
        uint8_t* packet = &packetBuffer_[position];
        position += std::size_t(EncodeAudioBlock(encoderStates_[c], &channelSamples_[c][std::size_t(b) * kBlockSamples],
                                                 packet, keyFrame, false, quality_));
        if (debugSoundOn_) {
          DecodeAudioPacket(decoderStates_[c], packet, decoded);
          for (int j = 0; j < kBlockSamples; ++j) debugFrame_[c + std::size_t(j) * channels] = decoded[j];
        }
      }
      if (debugSoundOn_) debugSoundFile_.WriteSamples(int32_t(channels * kBlockSamples * 2), debugFrame_.data());
      keyFrame = false;
    }
    if (blocks > 0xFFFF) {
      Fail("Error: frame " + std::to_string(frameNumber) + " holds more than 65535 audio blocks\n");
      return false;
    }
    blockCount = uint16_t(blocks);
    record_.AppendAudio(packetBuffer_.data(), position);
  }

  std::size_t recordBytes = record_.Complete(blockCount);
  if (recordBytes > kMaxFrameRecordBytes) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "Error: frame %d needs a record of %zu bytes, more than the %u bytes a frame record can hold\n",
                  frameNumber, recordBytes, unsigned(kMaxFrameRecordBytes));
    Fail(text);
    return false;
  }
  uint64_t tail = uint64_t(header_.audioChannels) * kCodebookImageBytes + keyFrames_.size() * kSeekEntryBytes;
  if (output_.Position() + recordBytes + tail > containerLimit_) {
    Fail("Error: frame " + std::to_string(frameNumber) +
         " would take the output past 4 GiB, the most its 32-bit offsets can address\n");
    return false;
  }
  output_.Write(record_.Data(), recordBytes);
  if (output_.HadError()) {
    Fail("Error: cannot write " + outputPath_ + "\n");
    return false;
  }
  if (recordBytes > header_.maxFrameRecordSize) header_.maxFrameRecordSize = uint32_t(recordBytes);
  return true;
}

}  // namespace clipvane
