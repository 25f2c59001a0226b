#pragma once
// CMovieConverter holds one conversion from start to end: the input movie, the
// output container, the key-frame list that becomes the seek table, the
// per-channel codec states, the codebook phase and the optional debug sound.
// The driver calls Open, then (with audio) the codebook phase, then
// ConvertStep until it returns false, and finally destroys it. Destruction
// deletes an output file that was not finished.

#include <algorithm>
#include <atomic>
#include <climits>
#include <optional>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "audio_io/audio_grabber.h"
#include "audio_io/debug_sound_file.h"
#include "avi/avi_reader.h"
#include "codec/audio_decoder.h"
#include "codec/encoder/audio_encoder.h"
#include "converter/container.h"
#include "converter/output_file.h"
#include "converter/samples_per_frame.h"
#include "platform/file_time.h"
#include "platform/parallel_lane.h"
#include "platform/staged_path.h"
#include "platform/worker_thread.h"

namespace clipvane {

class CMovieConverter {
 public:
  CMovieConverter();
  ~CMovieConverter();
  CMovieConverter(const CMovieConverter&) = delete;
  CMovieConverter& operator=(const CMovieConverter&) = delete;

  // Validates the input, creates the output and writes the provisional header.
  // Returns nullptr when ready, or the error message (ending in a newline),
  // which stays valid until the converter is destroyed.
  const std::string* Open(const std::string& inputPath, const std::string& outputPath,
                          const std::string& debugSoundPath, float quality, int effort = 0);

  // Codebook phase (inputs with audio only).
  bool DecideCodebookRebuild(bool forceRebuild, bool forceKeep);
  bool CollectStep();
  bool BuildStep();
  float BuildProgress() const;
  bool LoadCodebook();

  // Converts one video frame; false once the input is exhausted, after the
  // output has been completed (or when the run failed: see Failed()).
  bool ConvertStep();

  int32_t FrameIndex() const { return frameIndex_; }
  int32_t TotalFrameCount() const { return totalFrameCount_; }
  uint32_t AudioSampleRate() const { return header_.audioSampleRate; }
  const ContainerHeader& Header() const { return header_; }
  const std::string& CodebookFilePath() const { return codebookFilePath_; }

  // Warnings of a run that still completes its output, one line each: a frame
  // that could not be read (the output is shorter than the input announced),
  // a side file or debug sound file that could not be written.
  const std::string& Warning() const { return warning_; }
  // Set when the run cannot produce a valid file (a container limit, a write
  // failure, a failed training); nothing is then left at the output path.
  bool Failed() const { return !failure_.empty(); }
  const std::string& Failure() const { return failure_; }

  // Lowers the container's size limit so that tests can reach it without
  // writing gigabytes.
  void SetContainerLimitForTesting(uint64_t bytes) { containerLimit_ = bytes; }
  // How many threads the run may use (default: one per processor); 1 keeps
  // everything on the calling thread. The output is the same either way.
  void SetThreadCount(int threads) { threads_ = threads < 1 ? 1 : threads; }
  // Runs the encoder's and the trainer's plain kernels instead of the fastest
  // ones this processor has. The output is the same either way.
  void UsePlainKernels() { plainKernels_ = true; }
  // Replaces the training of a channel, so that tests can make it fail.
  void SetTrainingForTesting(std::function<void(AudioEncoderState&)> training) { training_ = std::move(training); }
  // Blocks per channel that the collection pass has run through the encoder.
  uint64_t CollectedBlocks() const { return collectedBlocks_; }
  // Lowers how much of a silent tail collection keeps, for tests.
  void SetSilentTailForTesting(uint64_t blocks);

 private:
  void Finish();
  void ReleaseInput();
  void StopTrainer();
  SeekEntry* TakeKeyFrame();
  struct PlannedFrame;
  void EncodeBatch(int32_t firstFrame, bool firstIsKey, bool collect);
  void EncodeChannel(uint32_t channel);
  const PlannedFrame& NextFrameAudio(int32_t frame, bool key, bool collect);
  std::size_t AppendFrameAudio(const PlannedFrame& frame);
  bool FrameIsPresent(int32_t frame, uint32_t* bytes) const;
  int32_t NextAllotment();
  void FetchFrameAudio(int32_t samples, std::size_t offset);
  bool WriteSideFile(std::string* reason);
  void StartTrainer(int32_t channel);
  void Fail(std::string message);
  void Warn(const std::string& message);
  const std::string* Refuse(std::string message);
  uint64_t SmallestFirstRecord(uint32_t firstFrameBytes) const;
  void OpenDebugSound(const std::string& path);
  void DebugSoundFailed(const std::string& reason);

  std::string inputPath_;
  std::string outputPath_;
  std::string codebookFilePath_;
  std::string debugSoundPath_;
  platform::StagedPath outputStage_{platform::TemporarySlot::kOutput};
  platform::StagedPath debugSoundStage_{platform::TemporarySlot::kDebugSound};
  OutputFile output_;
  std::unique_ptr<avi::AviReader> movie_;
  std::vector<SeekEntry> keyFrames_;
  std::size_t seekCursor_ = 0;
  int32_t frameIndex_ = 0;
  ContainerHeader header_;
  float samplesPerFrame_ = 0.0f;  // audio samples per video frame
  // Shared by the collection and the conversion pass of this conversion, so
  // that conversion continues the sequence collection began; a second
  // converter in the same process starts afresh.
  FrameAllotment allotment_;
  platform::FileTime inputLastWriteTime_;
  int32_t totalFrameCount_ = 0;
  int32_t framesAvailable_ = 0;  // frames the input can deliver (index and announced length)
  std::vector<AudioEncoderState> encoderStates_;
  std::vector<CAudioGrabber*> channelGrabbers_;
  std::vector<std::unique_ptr<CAudioGrabber>> ownedGrabbers_;
  EncoderSettings encoderSettings_;  // the quality's rate weight and the effort, for every channel
  std::vector<uint8_t> codebookBlock_;
  // The images trained by this run, channel 0 first; the conversion uses
  // them whether or not the side file could be written.
  std::vector<CodebookImage> trainedImages_;
  uint64_t collectLimitBlocks_ = 0;  // blocks per channel the collection pass keeps
  uint64_t collectedBlocks_ = 0;
  std::vector<std::unique_ptr<platform::WorkerThread>> trainers_;  // one per channel
  bool trainerActive_ = false;
  bool trainParallel_ = false;  // every channel's trainer started at once
  std::atomic<bool> stopTraining_{false};
  int32_t trainingChannel_ = 0;  // the channel whose training is awaited next
  int32_t startedTrainers_ = 0;
  bool debugSoundOn_ = false;
  std::vector<AudioDecoderState> decoderStates_;
  DebugSoundFile debugSoundFile_;
  std::vector<int16_t> debugFrame_;
  std::string message_;
  std::string warning_;
  std::string failure_;
  uint64_t containerLimit_ = kMaxContainerBytes;
  uint64_t silentTailBlocks_;
  std::function<void(AudioEncoderState&)> training_;

  // Threads the conversion may use: channels side by side, training of the
  // channels at the same time. The output does not depend on it.
  int threads_ = platform::ProcessorCount();
  bool plainKernels_ = false;
  platform::ParallelLane lane_;  // encodes channel 0 while this thread does channel 1

  // The audio of the frames ahead, encoded a batch at a time.
  struct PlannedFrame {
    int32_t blocks = 0;
    bool key = false;      // its first block is a key block
    bool encoded = false;  // collection past the silent tail encodes nothing
    std::size_t firstBlock = 0;    // its first block among the batch's blocks
    std::size_t sampleOffset = 0;  // where its samples start in each channel's batch
  };
  // One channel's share of the batch.
  struct ChannelBatch {
    std::vector<int16_t> samples;  // each frame's samples and its look-ahead
    std::vector<uint8_t> packets;  // the channel's packets, one after the other
    std::vector<uint8_t> sizes;    // the size of each block's packet
    std::vector<int16_t> decoded;  // with debug sound: the decoded blocks
    std::size_t read = 0;          // packets already put into records
  };
  // A batch is about this much work per channel, and never more frames.
  static constexpr std::size_t kBatchBlocks = 1024;
  static constexpr std::size_t kBatchFrames = 64;
  std::vector<PlannedFrame> batch_;
  std::size_t batchNext_ = 0;
  std::vector<ChannelBatch> channelBatches_;
  bool batchCollects_ = false;
  bool batchDecodes_ = false;

  // Per-step buffers, kept between steps so a step allocates nothing once warm.
  std::vector<uint8_t> frameBuffer_;
  FrameRecordBuilder record_;
};

// The side file's path: the input path with its extension replaced by ".cbk"
// ("a.b.avi" gives "a.b.cbk", "clip" gives "clip.cbk"), in the input's folder.
std::string CodebookPathFor(const std::string& inputPath);

}  // namespace clipvane
