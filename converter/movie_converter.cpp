#include "converter/movie_converter.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "converter/samples_per_frame.h"
#include "platform/files.h"

namespace clipvane {

namespace {

constexpr uint16_t kWaveFormatPcm = 1;
constexpr uint16_t kWaveFormatExtensible = 0xFFFE;
constexpr std::size_t kBitmapHeaderBytes = 40;
constexpr std::size_t kVideoFormatArea = 44;
// No sensible movie gives a frame more than ~95 s of 44.1 kHz audio; beyond
// this the per-frame sample arithmetic would overflow.
constexpr float kMaxSamplesPerFrame = 4194304.0f;

std::string TagText(uint32_t tag) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    unsigned char c = uint8_t(tag >> (8 * i));
    // A control character (a zero tag above all) would cut or garble the line.
    text.push_back(std::isprint(c) ? char(c) : '?');
  }
  return text;
}

bool TagIsQks1(uint32_t tag) {
  const char* expected = "qks1";
  for (int i = 0; i < 4; ++i) {
    unsigned char c = uint8_t(tag >> (8 * i));
    if (std::tolower(c) != expected[i]) return false;
  }
  return true;
}

// True when two paths name one file, whether or not it exists yet.
bool SameFile(const std::string& a, const std::string& b) {
  namespace fs = std::filesystem;
  std::error_code error;
  if (fs::equivalent(platform::PathFromUtf8(a), platform::PathFromUtf8(b), error)) return true;
  std::error_code errorA, errorB;
  fs::path canonicalA = fs::weakly_canonical(platform::PathFromUtf8(a), errorA);
  fs::path canonicalB = fs::weakly_canonical(platform::PathFromUtf8(b), errorB);
  return !errorA && !errorB && canonicalA == canonicalB;
}

}  // namespace

std::string CodebookPathFor(const std::string& inputPath) {
  return platform::Utf8FromPath(platform::PathFromUtf8(inputPath).replace_extension(".cbk"));
}

CMovieConverter::CMovieConverter() = default;

CMovieConverter::~CMovieConverter() {
  // A trainer still working on the encoder states must end before they go.
  StopTrainer();
  if (output_.IsOpen()) {
    output_.Close();
    ReleaseInput();
    platform::RemoveFile(outputPath_);
  }
  if (!sideFileTempPath_.empty()) platform::RemoveFile(sideFileTempPath_);
  debugSoundFile_.Close();
}

void CMovieConverter::ReleaseInput() {
  channelGrabbers_.clear();
  ownedGrabbers_.clear();
  movie_.reset();
}

void CMovieConverter::Fail(std::string message) {
  if (failure_.empty()) failure_ = std::move(message);
}

const std::string* CMovieConverter::Open(const std::string& inputPath, const std::string& outputPath,
                                         const std::string& debugSoundPath, float quality) {
  quality_ = quality;
  inputPath_ = inputPath;
  outputPath_ = outputPath;

  auto cannotOpenInput = [&]() {
    message_ = "Error: can't open file " + inputPath + " !\n";
    return &message_;
  };
  std::optional<platform::FileTime> inputTime = platform::LastWriteTime(inputPath);
  if (!inputTime) return cannotOpenInput();
  inputLastWriteTime_ = *inputTime;

  movie_ = std::make_unique<avi::AviReader>();
  if (!movie_->Open(inputPath)) {
    movie_.reset();
    return cannotOpenInput();
  }

  if (!movie_->HasVideo()) {
    movie_.reset();
    message_ = "Error: can't retrieve video stream...\n";
    return &message_;
  }

  // Writing over the input (or over the side file the run may rebuild) would
  // destroy what the run reads: refuse it before anything is created.
  if (SameFile(outputPath, inputPath)) {
    movie_.reset();
    message_ = "Error: cannot open " + outputPath + " for writting\n";
    return &message_;
  }
  if (movie_->HasAudio() && SameFile(outputPath, CodebookPathFor(inputPath))) {
    movie_.reset();
    message_ = "Error: cannot write " + outputPath + ": it is the codebook file of " + inputPath + "\n";
    return &message_;
  }
  if (!output_.Create(outputPath)) {
    movie_.reset();
    message_ = "Error: cannot open " + outputPath + " for writting\n";
    return &message_;
  }

  const avi::StreamHeader& video = movie_->VideoHeader();
  totalFrameCount_ = int32_t(video.length);

  uint8_t format[kVideoFormatArea] = {};
  const std::vector<uint8_t>& videoFormat = movie_->VideoFormat();
  std::memcpy(format, videoFormat.data(), std::min(videoFormat.size(), kVideoFormatArea));
  uint32_t biCompression = LoadLE32(format + 16);

  uint32_t tag = video.fccHandler != 0 ? video.fccHandler : biCompression;
  if (!TagIsQks1(tag)) {
    movie_.reset();
    message_ = "Error: unsupported video codec [" + TagText(tag) + "] !\n";
    return &message_;  // the empty output stays open and goes at destruction
  }

  auto corrupted = [&]() {
    message_ = "Error: non standard or corrupted AVI file, please check file format.\n";
    return &message_;
  };
  // A bitmap header cut short, or a frame rate that divides by zero, cannot be
  // converted correctly.
  if (videoFormat.size() < kBitmapHeaderBytes || video.scale == 0 || video.rate == 0) return corrupted();

  // Frames beyond the announced length are not part of the movie.
  framesAvailable_ = std::min(movie_->IndexedFrameCount(), std::max(totalFrameCount_, 0));
  keyFrames_.clear();
  for (int32_t position = movie_->FindKeyFrame(0); position >= 0 && position < framesAvailable_;
       position = movie_->FindKeyFrame(position + 1)) {
    keyFrames_.push_back(SeekEntry{uint32_t(position), 0});
  }
  if (keyFrames_.empty()) return corrupted();

  header_ = ContainerHeader{};
  header_.frameCount = video.length;
  header_.width = int32_t(LoadLE32(format + 4));
  header_.height = int32_t(LoadLE32(format + 8));
  header_.frameRate = FrameRate16x16(video.rate, video.scale);
  header_.videoCodecData = videoFormat.size() >= kVideoFormatArea ? LoadLE32(format + 40) : 0;
  uint8_t headerBytes[kContainerHeaderBytes];
  SerializeHeader(header_, headerBytes);
  output_.Write(headerBytes, sizeof headerBytes);

  const float framesPerSecond = float(double(video.rate) / double(video.scale));

  if (movie_->HasAudio()) {
    const avi::StreamHeader& audio = movie_->AudioHeader();
    uint16_t formatTag = movie_->AudioFormatTag();
    uint16_t channels = movie_->AudioChannels();
    bool pcm = formatTag == kWaveFormatPcm || (formatTag == kWaveFormatExtensible && movie_->AudioSubFormatIsPcm());
    // The codec path carries one or two channels of 16-bit samples.
    bool supported = movie_->AudioFormat().size() >= 16 && pcm && movie_->AudioBitsPerSample() == 16 &&
                     channels >= 1 && channels <= 2 && movie_->AudioBlockAlign() == channels * 2;
    if (!supported) {
      output_.Close();  // keeps the provisional header
      message_ = "Error: audio data format not supported, only 16 bits PCM audio is allowed\n";
      return &message_;
    }
    if (audio.scale == 0 || audio.rate / audio.scale == 0) return corrupted();
    header_.audioSampleRate = audio.rate / audio.scale;
    header_.audioChannels = channels;
    samplesPerFrame_ = float(header_.audioSampleRate) / framesPerSecond;
    if (!(samplesPerFrame_ <= kMaxSamplesPerFrame)) return corrupted();
  }

  if (!debugSoundPath.empty() && header_.audioSampleRate != 0) {
    // A debug sound file named like the input, the output or the side file
    // counts as one that cannot be created: the conversion goes on without it.
    bool clashes = SameFile(debugSoundPath, inputPath) || SameFile(debugSoundPath, outputPath) ||
                   SameFile(debugSoundPath, CodebookPathFor(inputPath));
    if (!clashes) {
      debugSoundFile_.Create(debugSoundPath, int32_t(header_.audioSampleRate), int32_t(header_.audioChannels), 16);
    }
    decoderStates_.assign(header_.audioChannels, AudioDecoderState{});
    debugFrame_.assign(std::size_t(header_.audioChannels) * kBlockSamples, 0);
    debugSoundOn_ = true;
  } else {
    debugSoundOn_ = false;
  }

  LoadCodebook();
  return nullptr;
}

void CMovieConverter::Finish() {
  if (header_.audioSampleRate != 0) {
    header_.codebookOffset = uint32_t(output_.Position());
    output_.Write(codebookBlock_.data(), codebookBlock_.size());
  }
  static const uint8_t kZeros[4] = {};
  output_.Write(kZeros, (4 - output_.Position() % 4) % 4);
  header_.seekTableOffset = uint32_t(output_.Position());
  header_.seekEntryCount = uint32_t(keyFrames_.size());
  std::vector<uint8_t> table(keyFrames_.size() * kSeekEntryBytes);
  for (std::size_t i = 0; i < keyFrames_.size(); ++i) {
    StoreLE32(&table[i * kSeekEntryBytes], keyFrames_[i].frame);
    StoreLE32(&table[i * kSeekEntryBytes + 4], keyFrames_[i].offset);
  }
  output_.Write(table.data(), table.size());
  uint8_t headerBytes[kContainerHeaderBytes];
  SerializeHeader(header_, headerBytes);
  output_.WriteAt(0, headerBytes, sizeof headerBytes);
  if (!output_.Close()) {
    // A short write (a full disk) must not pass for a finished file.
    platform::RemoveFile(outputPath_);
    Fail("Error: cannot write " + outputPath_ + ", the output file was removed\n");
  }
  ReleaseInput();
  debugSoundFile_.Complete();
}

}  // namespace clipvane
