// The codebook phase: whether to rebuild the side file, training each channel
// on a worker thread, and installing the codebooks for a pass over the input.

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "codebook/trainer.h"
#include "converter/movie_converter.h"
#include "platform/files.h"

namespace clipvane {

bool CMovieConverter::DecideCodebookRebuild(bool forceRebuild, bool forceKeep) {
  codebookFilePath_ = CodebookPathFor(inputPath_);
  if (forceRebuild) return true;
  std::optional<platform::FileTime> sideFileTime = platform::LastWriteTime(codebookFilePath_);
  if (!sideFileTime) return true;  // nothing to reuse, whatever "nocodebook" says
  if (inputLastWriteTime_.IsNewerThan(*sideFileTime)) return !forceKeep;
  return false;
}

bool CMovieConverter::LoadCodebook() {
  seekCursor_ = 0;
  frameIndex_ = 0;
  if (header_.audioSampleRate == 0) return true;

  codebookBlock_.clear();
  channelGrabbers_.clear();
  ownedGrabbers_.clear();
  const std::size_t channels = header_.audioChannels;
  encoderStates_.resize(channels);
  ownedGrabbers_.push_back(std::make_unique<CAviAudioGrabber>(*movie_, int32_t(channels)));
  channelGrabbers_.assign(channels, ownedGrabbers_.back().get());

  std::FILE* sideFile = codebookFilePath_.empty() ? nullptr : platform::OpenFile(codebookFilePath_, "rb");
  for (std::size_t c = 0; c < channels; ++c) {
    CodebookImage image;
    ChannelCodebook codebook;
    if (sideFile != nullptr) {
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
    codebookBlock_.insert(codebookBlock_.end(), image.begin(), image.end());
    if (debugSoundOn_ && c < decoderStates_.size()) decoderStates_[c].codebook = codebook;
  }
  if (sideFile != nullptr) std::fclose(sideFile);
  return true;
}

void CMovieConverter::StartTrainer(int32_t channel) {
  trainingChannel_ = channel;
  trainerActive_ = true;
  stopTraining_.store(false);
  AudioEncoderState* state = &encoderStates_[std::size_t(channel)];
  if (!trainer_.Start([this, state] { TrainChannelCodebook(*state, &stopTraining_); })) {
    // No thread to be had: train here, which only costs the progress display.
    TrainChannelCodebook(*state, &stopTraining_);
  }
}

void CMovieConverter::StopTrainer() {
  stopTraining_.store(true);
  trainer_.Join();
  trainerActive_ = false;
}

bool CMovieConverter::WriteSideFileImage(int32_t channel) {
  // The images go to a temporary file that replaces the side file only once
  // every channel is written, so a cancelled or failed build never leaves a
  // side file with too few images for later runs to trip over.
  if (channel == 0) sideFileTempPath_ = codebookFilePath_ + ".part";
  std::FILE* file = platform::OpenFile(sideFileTempPath_, channel == 0 ? "wb" : "ab");
  if (file == nullptr) return false;
  CodebookImage image = ToImage(encoderStates_[std::size_t(channel)].decoder.codebook);
  bool written = std::fwrite(image.data(), 1, image.size(), file) == image.size();
  written = std::fclose(file) == 0 && written;
  return written;
}

bool CMovieConverter::BuildStep() {
  if (!trainerActive_) StartTrainer(0);
  if (!trainer_.WaitFor(100)) return true;
  trainerActive_ = false;
  if (!WriteSideFileImage(trainingChannel_)) return false;
  if (trainingChannel_ + 1 < int32_t(header_.audioChannels)) {
    StartTrainer(trainingChannel_ + 1);
    return true;
  }
  trainingChannel_ = int32_t(header_.audioChannels);
  // Replaces an older side file.
  if (!platform::RenameFile(sideFileTempPath_, codebookFilePath_)) platform::RemoveFile(sideFileTempPath_);
  sideFileTempPath_.clear();
  return false;
}

float CMovieConverter::BuildProgress() const {
  const int32_t channels = int32_t(header_.audioChannels);
  if (channels == 0 || trainingChannel_ >= channels) return 1.0f;
  float sum = 0.0f;
  for (int32_t c = 0; c <= trainingChannel_ && c < int32_t(encoderStates_.size()); ++c) {
    sum += encoderStates_[std::size_t(c)].trainingProgress.Load();
  }
  return sum / float(channels);
}

}  // namespace clipvane
