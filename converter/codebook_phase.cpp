// The codebook phase: whether to rebuild the side file, training each channel
// on a worker thread, and installing the codebooks for a pass over the input.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <memory>
#include <new>
#include <system_error>

#include "codebook/channel_codebook.h"
#include "codebook/trainer.h"
#include "codec/encoder/encoder_kernels.h"
#include "converter/movie_converter.h"
#include "platform/files.h"
#include "platform/signals.h"

namespace clipvane {

bool CMovieConverter::DecideCodebookRebuild(bool forceRebuild, bool forceKeep) {
  codebookFilePath_ = CodebookPathFor(inputPath_);
  if (forceRebuild) return true;
  // Only a regular file is a side file: a pipe or a device under its name
  // would hang or feed garbage, so it counts as absent.
  if (!platform::IsRegularFile(codebookFilePath_)) return true;
  std::optional<platform::FileTime> sideFileTime = platform::LastWriteTime(codebookFilePath_);
  if (!sideFileTime) return true;  // nothing to reuse, whatever "nocodebook" says
  if (inputLastWriteTime_.IsNewerThan(*sideFileTime)) return !forceKeep;
  return false;
}

bool CMovieConverter::LoadCodebook() {
  seekCursor_ = 0;
  frameIndex_ = 0;
  collectedBlocks_ = 0;
  batch_.clear();
  batchNext_ = 0;
  if (header_.audioSampleRate == 0) return true;

  codebookBlock_.clear();
  channelGrabbers_.clear();
  ownedGrabbers_.clear();
  const std::size_t channels = header_.audioChannels;
  encoderStates_.resize(channels);
  ownedGrabbers_.push_back(std::make_unique<CAviAudioGrabber>(*movie_, int32_t(channels)));
  channelGrabbers_.assign(channels, ownedGrabbers_.back().get());

  // The images this run trained come first: they are what the side file was
  // written from, and they serve even when it could not be written.
  const bool trained = trainedImages_.size() == channels;
  std::FILE* sideFile = nullptr;
  if (!trained && !codebookFilePath_.empty() && platform::IsRegularFile(codebookFilePath_)) {
    sideFile = platform::OpenFile(codebookFilePath_, "rb");
  }
  for (std::size_t c = 0; c < channels; ++c) {
    CodebookImage image;
    ChannelCodebook codebook;
    if (trained) {
      image = trainedImages_[c];
      codebook = ReadCodebookImage(image.data());
    } else if (sideFile != nullptr) {
      if (std::fread(image.data(), 1, image.size(), sideFile) != image.size()) {
        std::fclose(sideFile);
        return false;
      }
      codebook = ReadCodebookImage(image.data());
    } else {
      codebook = BuiltInCodebook();
      image = ToImage(codebook);
    }
    ResetEncoderState(encoderStates_[c], codebook);
    if (plainKernels_) UseEncoderKernels(encoderStates_[c], PlainEncoderKernels());
    codebookBlock_.insert(codebookBlock_.end(), image.begin(), image.end());
    if (debugSoundOn_ && c < decoderStates_.size()) decoderStates_[c].codebook = codebook;
  }
  if (sideFile != nullptr) std::fclose(sideFile);
  return true;
}

void CMovieConverter::StartTrainer(int32_t channel) {
  const std::size_t c = std::size_t(channel);
  startedTrainers_ = channel + 1;
  AudioEncoderState* state = &encoderStates_[c];
  // Channels trained side by side share the processors between them.
  TrainerOptions options;
  options.threads = std::max(1, trainParallel_ ? threads_ / int32_t(header_.audioChannels) : threads_);
  if (plainKernels_) options.kernels = &PlainNearestEntryKernels();
  auto train = [this, state, options] {
    if (training_) {
      training_(*state);
    } else {
      TrainChannelCodebook(*state, &stopTraining_, options);
    }
  };
  // With no thread to be had the channel trains here, which only costs the
  // progress display.
  trainers_[c]->Start(train);
}

void CMovieConverter::StopTrainer() {
  stopTraining_.store(true);
  for (auto& trainer : trainers_) trainer->Join();
  trainerActive_ = false;
}

bool CMovieConverter::WriteSideFile(std::string* reason) {
  // The images go to a temporary file that replaces the side file only once
  // every channel is written, so a cancelled or failed build never leaves a
  // side file with too few images for later runs to trip over. A pipe or a
  // device under the side file's name is not ours to replace.
  platform::StagedPath stage(platform::TemporarySlot::kSideFile);
  if (!stage.Begin(codebookFilePath_, reason, platform::StagedPath::Others::kRefused)) return false;
  std::FILE* file = platform::OpenFile(stage.WritePath(), "wb");
  if (file == nullptr) {
    *reason = std::strerror(errno);
    return false;
  }
  stage.Created();
  bool written = true;
  for (const CodebookImage& image : trainedImages_) {
    written = written && std::fwrite(image.data(), 1, image.size(), file) == image.size();
  }
  if (!written) *reason = std::strerror(errno);
  if (std::fclose(file) != 0 && written) {
    *reason = std::strerror(errno);
    written = false;
  }
  return written && stage.Commit(reason);
}

bool CMovieConverter::BuildStep() {
  if (Failed()) return false;
  const int32_t channels = int32_t(header_.audioChannels);
  if (!trainerActive_) {
    trainerActive_ = true;
    stopTraining_.store(false);
    trainedImages_.clear();
    trainers_.clear();
    for (int32_t c = 0; c < channels; ++c) trainers_.push_back(std::make_unique<platform::WorkerThread>());
    // Each channel trains from its own lists, so with processors to spare
    // the channels train at the same time and give the same images.
    trainParallel_ = threads_ > 1 && channels > 1;
    trainingChannel_ = 0;
    for (int32_t c = 0; c < (trainParallel_ ? channels : 1); ++c) StartTrainer(c);
  }
  // The channels finish in channel order, one wait of at most 100 ms a call.
  const std::size_t c = std::size_t(trainingChannel_);
  if (!trainers_[c]->WaitFor(100)) return true;
  const std::string failure = trainers_[c]->Failure();
  if (!failure.empty()) {
    // A half-trained image must reach neither the side file nor the output.
    StopTrainer();
    trainedImages_.clear();
    trainingChannel_ = channels;
    Fail("Error: the codebook of " + inputPath_ + " could not be trained (" + failure + ")\n");
    return false;
  }
  trainedImages_.push_back(ToImage(encoderStates_[c].decoder.codebook));
  if (++trainingChannel_ < channels) {
    if (!trainParallel_) StartTrainer(trainingChannel_);
    return true;
  }
  trainerActive_ = false;
  std::string reason;
  if (!WriteSideFile(&reason)) {
    Warn("Warning: cannot write the codebook file " + codebookFilePath_ + " (" + reason +
         "); the trained codebook is used for this run only\n");
  }
  return false;
}

float CMovieConverter::BuildProgress() const {
  const int32_t channels = int32_t(header_.audioChannels);
  if (channels == 0 || trainingChannel_ >= channels) return 1.0f;
  float sum = 0.0f;
  for (int32_t c = 0; c < startedTrainers_ && c < int32_t(encoderStates_.size()); ++c) {
    sum += encoderStates_[std::size_t(c)].trainingProgress.Load();
  }
  return sum / float(channels);
}

}  // namespace clipvane
