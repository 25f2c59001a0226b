#include "converter/movie_converter.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "converter/samples_per_frame.h"
#include "platform/files.h"
#include "platform/signals.h"

namespace clipvane {

namespace {

constexpr uint16_t kWaveFormatPcm = 1;
constexpr uint16_t kWaveFormatExtensible = 0xFFFE;
constexpr std::size_t kBitmapHeaderBytes = 40;
constexpr std::size_t kVideoFormatArea = 44;
// Beyond the audio it holds, a movie's collection pass keeps at most this many
// blocks per channel of its silent tail (about 3 minutes at 48 kHz).
constexpr uint64_t kSilentTailBlocks = 65536;
// What a quality of 0 or below stands for.
constexpr float kLowestQuality = 1e-30f;
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

CMovieConverter::CMovieConverter() : silentTailBlocks_(kSilentTailBlocks) {}

void CMovieConverter::SetSilentTailForTesting(uint64_t blocks) {
  collectLimitBlocks_ = collectLimitBlocks_ - silentTailBlocks_ + blocks;
  silentTailBlocks_ = blocks;
}

CMovieConverter::~CMovieConverter() {
  // A trainer still working on the encoder states must end before they go.
  StopTrainer();
  // An unfinished output was written under its temporary name (or in place,
  // for a device): the temporary goes, nothing else is touched.
  if (output_.IsOpen()) {
    output_.Close();
    ReleaseInput();
  }
  outputStage_.Discard();
  debugSoundFile_.Close();
  debugSoundStage_.Discard();
}

void CMovieConverter::ReleaseInput() {
  channelGrabbers_.clear();
  ownedGrabbers_.clear();
  movie_.reset();
}

void CMovieConverter::Fail(std::string message) {
  if (failure_.empty()) failure_ = std::move(message);
}

void CMovieConverter::Warn(const std::string& message) { warning_ += message; }

const std::string* CMovieConverter::Refuse(std::string message) {
  movie_.reset();
  message_ = std::move(message);
  return &message_;
}

const std::string* CMovieConverter::Open(const std::string& inputPath, const std::string& outputPath,
                                         const std::string& debugSoundPath, float quality, int effort) {
  // A quality of 0 or below (or not a number) would let the largest packet win
  // every block; it weighs rate as heavily as the smallest positive one.
  encoderSettings_ = MakeEncoderSettings(quality > 0.0f ? quality : kLowestQuality, effort);
  inputPath_ = inputPath;
  outputPath_ = outputPath;

  // The whole input is checked before the output path is touched, so a
  // refused input leaves whatever stands there as it was.
  const std::string cannotOpenInput = "Error: can't open file " + inputPath + " !\n";
  std::optional<platform::FileTime> inputTime = platform::LastWriteTime(inputPath);
  if (!inputTime) return Refuse(cannotOpenInput);
  inputLastWriteTime_ = *inputTime;

  movie_ = std::make_unique<avi::AviReader>();
  if (!movie_->Open(inputPath)) return Refuse(cannotOpenInput);
  if (!movie_->HasVideo()) return Refuse("Error: can't retrieve video stream...\n");

  // Writing over the input (or over the side file the run may rebuild) would
  // destroy what the run reads.
  if (SameFile(outputPath, inputPath)) {
    return Refuse("Error: cannot write " + outputPath + ": it is the input file\n");
  }
  if (movie_->HasAudio() && SameFile(outputPath, CodebookPathFor(inputPath))) {
    return Refuse("Error: cannot write " + outputPath + ": it is the codebook file of " + inputPath + "\n");
  }
  const avi::StreamHeader& video = movie_->VideoHeader();
  totalFrameCount_ = int32_t(video.length);

  uint8_t format[kVideoFormatArea] = {};
  const std::vector<uint8_t>& videoFormat = movie_->VideoFormat();
  std::copy_n(videoFormat.begin(), std::min(videoFormat.size(), kVideoFormatArea), format);
  uint32_t biCompression = LoadLE32(format + 16);

  uint32_t tag = video.fccHandler != 0 ? video.fccHandler : biCompression;
  if (!TagIsQks1(tag)) return Refuse("Error: unsupported video codec [" + TagText(tag) + "] !\n");

  const std::string corrupted = "Error: non standard or corrupted AVI file, please check file format.\n";
  // A bitmap header cut short, or a frame rate that divides by zero, cannot be
  // converted correctly.
  if (videoFormat.size() < kBitmapHeaderBytes || video.scale == 0 || video.rate == 0) return Refuse(corrupted);

  // Frames beyond the announced length are not part of the movie.
  framesAvailable_ = std::min(movie_->IndexedFrameCount(), std::max(totalFrameCount_, 0));
  keyFrames_.clear();
  for (int32_t position = movie_->FindKeyFrame(0); position >= 0 && position < framesAvailable_;
       position = movie_->FindKeyFrame(position + 1)) {
    keyFrames_.push_back(SeekEntry{uint32_t(position), 0});
  }
  if (keyFrames_.empty()) return Refuse(corrupted);

  header_ = ContainerHeader{};
  header_.frameCount = video.length;
  header_.width = int32_t(LoadLE32(format + 4));
  header_.height = int32_t(LoadLE32(format + 8));
  header_.frameRate = FrameRate16x16(video.rate, video.scale);
  header_.videoCodecData = videoFormat.size() >= kVideoFormatArea ? LoadLE32(format + 40) : 0;

  const float framesPerSecond = float(double(video.rate) / double(video.scale));
  if (movie_->HasAudio()) {
    const avi::StreamHeader& audio = movie_->AudioHeader();
    uint16_t formatTag = movie_->AudioFormatTag();
    uint16_t channels = movie_->AudioChannels();
    bool pcm = formatTag == kWaveFormatPcm || (formatTag == kWaveFormatExtensible && movie_->AudioSubFormatIsPcm());
    // The codec path carries one or two channels of 16-bit samples.
    bool supported = movie_->AudioFormat().size() >= 16 && pcm && movie_->AudioBitsPerSample() == 16 &&
                     channels >= 1 && channels <= 2 && movie_->AudioBlockAlign() == channels * 2;
    if (!supported) return Refuse("Error: audio data format not supported, only 16 bits PCM audio is allowed\n");
    if (audio.scale == 0 || audio.rate / audio.scale == 0) return Refuse(corrupted);
    header_.audioSampleRate = audio.rate / audio.scale;
    header_.audioChannels = channels;
    samplesPerFrame_ = float(header_.audioSampleRate) / framesPerSecond;
    if (!(samplesPerFrame_ <= kMaxSamplesPerFrame)) return Refuse(corrupted);
  }

  uint32_t firstFrameBytes = 0;
  if (!FrameIsPresent(0, &firstFrameBytes)) {
    return Refuse("Error: the first frame of " + inputPath + " cannot be read\n");
  }
  // The first frame's record is known from the headers: when even its
  // smallest packets cannot fit, no frame can be converted.
  const uint64_t smallestRecord = SmallestFirstRecord(firstFrameBytes);
  if (smallestRecord > kMaxFrameRecordBytes) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "Error: frame 0 needs a record of at least %llu bytes, more than the %u bytes a frame record can "
                  "hold\n",
                  static_cast<unsigned long long>(smallestRecord), unsigned(kMaxFrameRecordBytes));
    return Refuse(text);
  }
  // Collection keeps training data for the audio the file holds plus a
  // bounded silent tail, so a movie announcing far more audio than it carries
  // cannot exhaust memory.
  if (header_.audioChannels != 0) {
    const uint64_t samplesHeld = movie_->AudioBytes() / (uint64_t(header_.audioChannels) * 2);
    collectLimitBlocks_ = (samplesHeld + kBlockSamples - 1) / kBlockSamples + silentTailBlocks_;
  }

  std::string reason;
  if (!outputStage_.Begin(outputPath, &reason) || !output_.Create(outputStage_.WritePath())) {
    return Refuse("Error: cannot open " + outputPath + " for writting\n");
  }
  outputStage_.Created();
  uint8_t headerBytes[kContainerHeaderBytes];
  SerializeHeader(header_, headerBytes);
  output_.Write(headerBytes, sizeof headerBytes);

  if (!debugSoundPath.empty() && header_.audioSampleRate != 0) {
    OpenDebugSound(debugSoundPath);
    decoderStates_.assign(header_.audioChannels, AudioDecoderState{});
    debugFrame_.assign(std::size_t(header_.audioChannels) * kBlockSamples, 0);
    debugSoundOn_ = true;
  } else {
    debugSoundOn_ = false;
  }

  LoadCodebook();
  return nullptr;
}

uint64_t CMovieConverter::SmallestFirstRecord(uint32_t firstFrameBytes) const {
  uint64_t payload = firstFrameBytes > 4 ? firstFrameBytes - 4 : 0;
  if (header_.audioSampleRate != 0) {
    FrameAllotment fresh;  // the first frame's share, as a run that starts here gives it
    const uint64_t blocks = uint64_t(fresh.Next(samplesPerFrame_, kBlockSamples)) / kBlockSamples;
    payload += blocks * header_.audioChannels * uint64_t(kMinPacketBytes);
  }
  return kRecordHeaderBytes + (payload + 3) / 4 * 4;
}

void CMovieConverter::OpenDebugSound(const std::string& path) {
  debugSoundPath_ = path;
  // A debug sound file named like the input, the output or the side file
  // would destroy what the run reads or writes.
  std::string reason;
  if (SameFile(path, inputPath_) || SameFile(path, outputPath_) || SameFile(path, CodebookPathFor(inputPath_))) {
    reason = "it is a file this run reads or writes";
  } else if (debugSoundStage_.Begin(path, &reason)) {
    if (debugSoundFile_.Create(debugSoundStage_.WritePath(), int32_t(header_.audioSampleRate),
                               int32_t(header_.audioChannels), 16)) {
      debugSoundStage_.Created();
      return;
    }
    reason = std::strerror(debugSoundFile_.LastError());
    debugSoundStage_.Discard();
  }
  DebugSoundFailed(reason);
}

void CMovieConverter::DebugSoundFailed(const std::string& reason) {
  debugSoundFile_.Close();
  debugSoundStage_.Discard();
  Warn("Warning: cannot write the debug sound file " + debugSoundPath_ + " (" + reason + ")\n");
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
    SerializeSeekEntry(keyFrames_[i], &table[i * kSeekEntryBytes]);
  }
  output_.Write(table.data(), table.size());
  uint8_t headerBytes[kContainerHeaderBytes];
  SerializeHeader(header_, headerBytes);
  output_.WriteAt(0, headerBytes, sizeof headerBytes);
  std::string reason;
  if (!output_.Close()) {
    // A short write (a full disk) must not pass for a finished file.
    outputStage_.Discard();
    Fail("Error: cannot write " + outputPath_ + "\n");
  } else if (!outputStage_.Commit(&reason)) {
    Fail("Error: cannot write " + outputPath_ + " (" + reason + ")\n");
  }
  ReleaseInput();
  if (debugSoundFile_.IsOpen()) {
    if (Failed()) {
      debugSoundFile_.Close();
      debugSoundStage_.Discard();
    } else if (!debugSoundFile_.Complete()) {
      DebugSoundFailed(std::strerror(debugSoundFile_.LastError()));
    } else if (!debugSoundStage_.Commit(&reason)) {
      DebugSoundFailed(reason);
    }
  }
}

}  // namespace clipvane
