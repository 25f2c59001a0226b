#include "audio_io/audio_grabber.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "avi/avi_reader.h"

namespace clipvane {
namespace {

const std::string kDataDir = CLIPVANE_TEST_DATA_DIR;
const std::string kMono = kDataDir + "/p01_ff_mpeg4_25fps_speech_mono22050.avi";
const std::string kStereo = kDataDir + "/p02_ff_mpeg4_2997fps_chord_stereo44100.avi";
const std::string kScaleIsAlignment = kDataDir + "/p11_ff_audio_scale_blockalign_speech_mono22050.avi";

// The audio of a movie as this test finds it on its own: the '01wb' chunks of
// the movi lists, in file order, taken straight from the bytes. Knows nothing
// of the reader's indexes.
struct RawAudio {
  std::vector<std::vector<int16_t>> chunks;  // the samples of each non-empty chunk, interleaved
  std::vector<int16_t> all;
};

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

void WalkChunks(const std::vector<uint8_t>& file, size_t from, size_t to, RawAudio& audio) {
  size_t at = from;
  while (at + 8 <= to) {
    const std::string id(file.begin() + at, file.begin() + at + 4);
    const size_t size = Le32(file, at + 4);
    const size_t end = std::min(to, at + 8 + size);
    if ((id == "LIST" || id == "RIFF") && at + 12 <= end) {
      const std::string type(file.begin() + at + 8, file.begin() + at + 12);
      if (type == "movi" || type == "rec " || type == "AVI " || type == "AVIX") {
        WalkChunks(file, at + 12, end, audio);
      }
    } else if (id == "01wb" && size > 0) {
      std::vector<int16_t> samples;
      for (size_t i = at + 8; i + 1 < end; i += 2) {
        samples.push_back(int16_t(uint16_t(file[i] | file[i + 1] << 8)));
      }
      audio.all.insert(audio.all.end(), samples.begin(), samples.end());
      audio.chunks.push_back(std::move(samples));
    }
    at += 8 + size + (size & 1);
  }
}

RawAudio ReadRawAudio(const std::string& path) {
  std::vector<uint8_t> file;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  EXPECT_NE(f, nullptr) << path;
  if (f) {
    uint8_t buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof(buffer), f)) > 0) file.insert(file.end(), buffer, buffer + got);
    std::fclose(f);
  }
  RawAudio audio;
  WalkChunks(file, 0, file.size(), audio);
  return audio;
}

std::vector<int16_t> Channel(const std::vector<int16_t>& interleaved, int channel, int channels) {
  std::vector<int16_t> out;
  for (size_t i = size_t(channel); i < interleaved.size(); i += size_t(channels)) out.push_back(interleaved[i]);
  return out;
}

// Pulls every sample of every channel the way the conversion does: per step
// ask for `step` plus a 128-sample look-ahead, keep the first `step`, consume
// them, and at the very end take what is left.
std::vector<std::vector<int16_t>> DrainLikeTheConverter(CAudioGrabber& grabber, int channels,
                                                         const std::vector<int32_t>& steps) {
  constexpr int32_t kLookAhead = 128;
  std::vector<std::vector<int16_t>> out(static_cast<size_t>(channels));
  size_t stepIndex = 0;
  for (;;) {
    const int32_t step = steps[stepIndex++ % steps.size()];
    bool exhausted = false;
    for (int c = 0; c < channels; ++c) {
      int32_t count = step + kLookAhead;
      const int16_t* samples = grabber.GetSamples(count);
      EXPECT_NE(samples, nullptr);
      EXPECT_GE(count, 0);
      EXPECT_LE(count, step + kLookAhead);
      if (count < step + kLookAhead) {
        exhausted = true;
        out[size_t(c)].insert(out[size_t(c)].end(), samples, samples + count);
        grabber.ConsumeSamples(count);
      } else {
        out[size_t(c)].insert(out[size_t(c)].end(), samples, samples + step);
        grabber.ConsumeSamples(step);
      }
    }
    if (exhausted) break;
  }
  return out;
}

class AudioGrabberTest : public ::testing::Test {
 protected:
  void OpenMovie(const std::string& path, int expectedChannels) {
    ASSERT_TRUE(reader_.Open(path)) << path;
    ASSERT_TRUE(reader_.HasAudio());
    ASSERT_EQ(reader_.AudioChannels(), expectedChannels);
    ASSERT_EQ(reader_.AudioBitsPerSample(), 16);
    raw_ = ReadRawAudio(path);
    ASSERT_GE(raw_.chunks.size(), 3u) << "the test needs several audio chunks";
  }
  avi::AviReader reader_;
  RawAudio raw_;
};

TEST_F(AudioGrabberTest, MonoSamplesAreTheChunkBytesInOrder) {
  OpenMovie(kMono, 1);
  CAviAudioGrabber grabber(reader_, 1);
  // 882 samples is one frame at 25 fps; the odd sizes cut across chunk boundaries.
  const auto got = DrainLikeTheConverter(grabber, 1, {882, 1, 5000, 128, 3001});
  ASSERT_EQ(got[0].size(), raw_.all.size());
  EXPECT_TRUE(got[0] == raw_.all);
}

TEST_F(AudioGrabberTest, StereoIsSplitIntoLeftAndRight) {
  OpenMovie(kStereo, 2);
  CAviAudioGrabber grabber(reader_, 2);
  const auto got = DrainLikeTheConverter(grabber, 2, {1471, 1472, 7, 4096});
  const std::vector<int16_t> left = Channel(raw_.all, 0, 2), right = Channel(raw_.all, 1, 2);
  ASSERT_EQ(got[0].size(), left.size());
  ASSERT_EQ(got[1].size(), right.size());
  EXPECT_TRUE(got[0] == left);
  EXPECT_TRUE(got[1] == right);
  EXPECT_NE(left, right) << "the corpus chord differs between channels, or the test proves nothing";
}

TEST_F(AudioGrabberTest, ScaleEqualToAlignmentIsStillReadByTheFormatsChannels) {
  OpenMovie(kScaleIsAlignment, 1);
  EXPECT_EQ(reader_.AudioHeader().scale, reader_.AudioBlockAlign());
  CAviAudioGrabber grabber(reader_, reader_.AudioChannels());
  const auto got = DrainLikeTheConverter(grabber, 1, {882});
  EXPECT_TRUE(got[0] == raw_.all);
}

TEST_F(AudioGrabberTest, ChannelOneOnlyServesWhatChannelZerosReadsBrought) {
  OpenMovie(kStereo, 2);
  CAviAudioGrabber grabber(reader_, 2);
  const std::vector<int16_t>& first = raw_.chunks[0];
  int32_t count = 10;
  const int16_t* left = grabber.GetSamples(count);
  ASSERT_EQ(count, 10);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(left[i], first[size_t(2 * i)]);
  grabber.ConsumeSamples(0);

  // One convenient read brought exactly the first chunk; channel 1 may not read more.
  count = 1 << 30;
  const int16_t* right = grabber.GetSamples(count);
  ASSERT_EQ(size_t(count), first.size() / 2);
  for (int32_t i = 0; i < count; ++i) ASSERT_EQ(right[i], first[size_t(2 * i + 1)]) << i;
  grabber.ConsumeSamples(count);

  // Channel 0 still holds the whole first chunk (nothing was consumed).
  count = int32_t(first.size() / 2);
  left = grabber.GetSamples(count);
  ASSERT_EQ(size_t(count), first.size() / 2);
  EXPECT_EQ(left[0], first[0]);
}

TEST_F(AudioGrabberTest, ConsumingNothingOnlyRotates) {
  OpenMovie(kStereo, 2);
  CAviAudioGrabber grabber(reader_, 2);
  const std::vector<int16_t> left = Channel(raw_.all, 0, 2), right = Channel(raw_.all, 1, 2);
  for (int round = 0; round < 3; ++round) {
    int32_t count = 100;
    const int16_t* l = grabber.GetSamples(count);
    ASSERT_EQ(count, 100);
    EXPECT_TRUE(std::equal(l, l + 100, left.begin())) << "round " << round;
    grabber.ConsumeSamples(0);
    count = 100;
    const int16_t* r = grabber.GetSamples(count);
    ASSERT_EQ(count, 100);
    EXPECT_TRUE(std::equal(r, r + 100, right.begin())) << "round " << round;
    grabber.ConsumeSamples(0);
  }
}

TEST_F(AudioGrabberTest, AskingForMoreThanRemainsGivesTheRemainder) {
  OpenMovie(kMono, 1);
  CAviAudioGrabber grabber(reader_, 1);
  const int32_t total = int32_t(raw_.all.size());
  int32_t count = std::numeric_limits<int32_t>::max();
  const int16_t* samples = grabber.GetSamples(count);
  ASSERT_EQ(count, total);
  EXPECT_TRUE(std::equal(samples, samples + count, raw_.all.begin()));
  grabber.ConsumeSamples(0);

  // Asking again reads again, finds nothing more and gives the same.
  count = total + 1000;
  samples = grabber.GetSamples(count);
  ASSERT_EQ(count, total);
  grabber.ConsumeSamples(total - 5);

  count = 100;
  samples = grabber.GetSamples(count);
  ASSERT_EQ(count, 5);
  EXPECT_TRUE(std::equal(samples, samples + 5, raw_.all.end() - 5));
  grabber.ConsumeSamples(5);

  // Nothing left: still a usable address, and no samples.
  count = 128;
  samples = grabber.GetSamples(count);
  EXPECT_EQ(count, 0);
  EXPECT_NE(samples, nullptr);
  grabber.ConsumeSamples(128);  // more than was delivered: clamped, no harm
  count = 1;
  grabber.GetSamples(count);
  EXPECT_EQ(count, 0);
}

TEST_F(AudioGrabberTest, OutOfRangeConsumeIsClamped) {
  OpenMovie(kMono, 1);
  CAviAudioGrabber grabber(reader_, 1);
  const std::vector<int16_t>& first = raw_.chunks[0];
  const std::vector<int16_t>& second = raw_.chunks[1];

  int32_t count = 10;
  grabber.GetSamples(count);
  grabber.ConsumeSamples(-7);  // as if 0
  count = 10;
  const int16_t* samples = grabber.GetSamples(count);
  ASSERT_EQ(count, 10);
  EXPECT_TRUE(std::equal(samples, samples + 10, first.begin()));

  // Far more than queued: the queue (the first chunk) is emptied, no further.
  grabber.ConsumeSamples(1 << 30);
  count = 10;
  samples = grabber.GetSamples(count);
  ASSERT_EQ(count, 10);
  EXPECT_TRUE(std::equal(samples, samples + 10, second.begin()));
}

TEST_F(AudioGrabberTest, OddChannelCountArgumentsAreHeldToOneOrTwo) {
  OpenMovie(kMono, 1);
  CAviAudioGrabber grabber(reader_, 0);  // treated as one channel: rotation never leaves 0
  for (int i = 0; i < 3; ++i) {
    int32_t count = 50;
    const int16_t* samples = grabber.GetSamples(count);
    ASSERT_EQ(count, 50);
    EXPECT_TRUE(std::equal(samples, samples + 50, raw_.all.begin() + 50 * i));
    grabber.ConsumeSamples(50);
  }
}

}  // namespace
}  // namespace clipvane
