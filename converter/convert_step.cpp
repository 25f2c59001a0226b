// One video frame per step: the conversion step writes a frame record, the
// collection step runs the same walk with the encoder collecting training data.

#include <cstdio>
#include <cstring>

#include "converter/movie_converter.h"
#include "converter/samples_per_frame.h"

namespace clipvane {

SeekEntry* CMovieConverter::TakeKeyFrame() {
  if (seekCursor_ < keyFrames_.size() && keyFrames_[seekCursor_].frame == uint32_t(frameIndex_)) {
    return &keyFrames_[seekCursor_++];
  }
  return nullptr;
}

bool CMovieConverter::FrameIsPresent(int32_t frame, uint32_t* bytes) const {
  // A chunk that runs past the end of the file (a truncated movie) is where
  // both passes stop.
  return frame < framesAvailable_ && movie_->FrameInFile(frame) && movie_->FrameSize(frame, bytes);
}

int32_t CMovieConverter::NextAllotment() {
  return allotment_.Next(samplesPerFrame_, kBlockSamples);
}

void CMovieConverter::FetchFrameAudio(int32_t samples, std::size_t offset) {
  // Every channel asks for its samples plus one block of look-ahead and
  // consumes one block fewer than it got, so the look-ahead is delivered again
  // at the start of the next frame. The grabber serves channels 0, 1, 0, 1...
  for (uint32_t c = 0; c < header_.audioChannels; ++c) {
    std::vector<int16_t>& buffer = channelBatches_[c].samples;
    buffer.resize(offset + std::size_t(samples) + kBlockSamples);
    int32_t count = samples + kBlockSamples;
    const int16_t* delivered = channelGrabbers_[c]->GetSamples(count);
    if (count < 0) count = 0;
    if (count > 0) std::memcpy(&buffer[offset], delivered, std::size_t(count) * sizeof(int16_t));
    std::fill(buffer.begin() + std::ptrdiff_t(offset) + count, buffer.end(), int16_t(0));
    channelGrabbers_[c]->ConsumeSamples(count > kBlockSamples ? count - kBlockSamples : 0);
  }
}

void CMovieConverter::EncodeChannel(uint32_t c) {
  ChannelBatch& batch = channelBatches_[c];
  AudioEncoderState& state = encoderStates_[c];
  state.settings = encoderSettings_;
  std::size_t position = 0;
  for (const PlannedFrame& frame : batch_) {
    if (!frame.encoded) continue;
    for (int32_t b = 0; b < frame.blocks; ++b) {
      // Only the first block of a key frame is a key block, in every channel.
      const std::size_t block = frame.firstBlock + std::size_t(b);
      uint8_t* packet = &batch.packets[position];
      const int32_t size = EncodeAudioBlock(state, &batch.samples[frame.sampleOffset + std::size_t(b) * kBlockSamples],
                                            packet, frame.key && b == 0, batchCollects_);
      batch.sizes[block] = uint8_t(size);
      position += std::size_t(size);
      if (batchDecodes_) DecodeAudioPacket(decoderStates_[c], packet, &batch.decoded[block * kBlockSamples]);
    }
  }
}

void CMovieConverter::EncodeBatch(int32_t firstFrame, bool firstIsKey, bool collect) {
  // Frames are encoded a batch at a time: the channels can then be encoded
  // side by side at the cost of one hand-over per batch, not per frame. A
  // batch holds only frames the pass will reach (collection: frames present
  // in the file), since each frame's samples continue the allotment and the
  // grabber, and collected frames fill the training lists.
  const uint32_t channels = header_.audioChannels;
  batch_.clear();
  batchNext_ = 0;
  batchCollects_ = collect;
  // The debug sound hears what the conversion writes, not what collection discards.
  batchDecodes_ = debugSoundOn_ && !collect;
  channelBatches_.resize(channels);
  std::size_t blocks = 0;
  std::size_t samples = 0;
  std::size_t cursor = seekCursor_;
  for (int32_t frame = firstFrame;; ++frame) {
    const bool first = frame == firstFrame;
    if (!first) {
      uint32_t bytes = 0;
      if (blocks >= kBatchBlocks || batch_.size() >= kBatchFrames) break;
      if (collect ? !FrameIsPresent(frame, &bytes) : frame >= framesAvailable_) break;
    }
    PlannedFrame planned;
    planned.key = first ? firstIsKey : cursor < keyFrames_.size() && keyFrames_[cursor].frame == uint32_t(frame);
    if (!first && planned.key) ++cursor;
    const int32_t allotted = NextAllotment();
    planned.blocks = allotted / kBlockSamples;
    // Past what the file's audio can justify, collection keeps the frame's
    // place in the allotment sequence (which the conversion pass continues)
    // and nothing else.
    planned.encoded = !(collect && collectedBlocks_ >= collectLimitBlocks_);
    planned.firstBlock = blocks;
    planned.sampleOffset = samples;
    if (planned.encoded) {
      FetchFrameAudio(allotted, samples);
      samples += std::size_t(allotted) + kBlockSamples;
      blocks += std::size_t(planned.blocks);
      if (collect) collectedBlocks_ += uint64_t(planned.blocks);
    }
    batch_.push_back(planned);
  }
  for (ChannelBatch& batch : channelBatches_) {
    batch.packets.resize(blocks * kMaxPacketBytes + kMaxPacketBytes);
    batch.sizes.resize(blocks);
    if (batchDecodes_) batch.decoded.resize(blocks * kBlockSamples);
    batch.read = 0;
  }

  // The channels share nothing but the samples fetched above, so the second
  // channel can be encoded beside the first and give the same packets.
  if (channels == 2 && threads_ > 1 && blocks > 0 && lane_.Start([this] { EncodeChannel(0); })) {
    lane_.Post();
    try {
      EncodeChannel(1);
    } catch (...) {
      lane_.Wait();
      throw;
    }
    lane_.Wait();
  } else {
    for (uint32_t c = 0; c < channels; ++c) EncodeChannel(c);
  }
}

const CMovieConverter::PlannedFrame& CMovieConverter::NextFrameAudio(int32_t frame, bool key, bool collect) {
  if (batchNext_ >= batch_.size()) EncodeBatch(frame, key, collect);
  return batch_[batchNext_++];
}

std::size_t CMovieConverter::AppendFrameAudio(const PlannedFrame& frame) {
  // Packets go to the record block by block, channel 0 first.
  const uint32_t channels = header_.audioChannels;
  std::size_t bytes = 0;
  for (int32_t b = 0; b < frame.blocks; ++b) {
    const std::size_t block = frame.firstBlock + std::size_t(b);
    for (uint32_t c = 0; c < channels; ++c) {
      ChannelBatch& batch = channelBatches_[c];
      const std::size_t size = batch.sizes[block];
      record_.AppendAudio(&batch.packets[batch.read], size);
      batch.read += size;
      bytes += size;
    }
    if (!batchDecodes_ || !debugSoundFile_.IsOpen()) continue;
    for (uint32_t c = 0; c < channels; ++c) {
      const int16_t* decoded = &channelBatches_[c].decoded[block * kBlockSamples];
      for (int j = 0; j < kBlockSamples; ++j) debugFrame_[c + std::size_t(j) * channels] = decoded[j];
    }
    if (!debugSoundFile_.WriteSamples(int32_t(channels * kBlockSamples * 2), debugFrame_.data()) &&
        !debugSoundFile_.IsOpen()) {
      DebugSoundFailed(std::strerror(debugSoundFile_.LastError()));
    }
  }
  return bytes;
}

bool CMovieConverter::CollectStep() {
  const bool keyFrame = TakeKeyFrame() != nullptr;
  uint32_t frameBytes = 0;
  if (!FrameIsPresent(frameIndex_, &frameBytes)) return false;
  const int32_t frame = frameIndex_++;
  if (header_.audioSampleRate != 0) NextFrameAudio(frame, keyFrame, true);
  return true;
}

bool CMovieConverter::ConvertStep() {
  if (!output_.IsOpen() || Failed()) return false;

  SeekEntry* key = TakeKeyFrame();
  uint32_t frameBytes = 0;
  bool present = FrameIsPresent(frameIndex_, &frameBytes);
  if (!present || (frameBytes > 0 && !movie_->ReadFrame(frameIndex_, frameBuffer_))) {
    // A key frame that was not converted keeps offset 0, like one not reached.
    if (frameIndex_ == 0) {
      Fail("Error: the first frame of " + inputPath_ + " cannot be read\n");
      return false;
    }
    if (frameIndex_ < totalFrameCount_) {
      char text[200];
      std::snprintf(text, sizeof text,
                    "Warning: frame %d cannot be read; the input announces %d frames, the output holds the "
                    "first %d\n",
                    frameIndex_, totalFrameCount_, frameIndex_);
      Warn(text);
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
    // At most 6553 blocks: the opening refuses frames whose audio cannot fit.
    const PlannedFrame& audio = NextFrameAudio(frameNumber, key != nullptr, false);
    blockCount = uint16_t(audio.blocks);
    AppendFrameAudio(audio);
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
  // The seek entry points where this frame's record starts.
  if (key != nullptr) key->offset = uint32_t(output_.Position());
  output_.Write(record_.Data(), recordBytes);
  if (output_.HadError()) {
    Fail("Error: cannot write " + outputPath_ + "\n");
    return false;
  }
  if (recordBytes > header_.maxFrameRecordSize) header_.maxFrameRecordSize = uint32_t(recordBytes);
  return true;
}

}  // namespace clipvane
