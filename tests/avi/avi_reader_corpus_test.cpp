// The reader against real movies written by independent muxers. The expected
// values are facts about the sample files (their headers, how many frames and
// key frames each muxer wrote, how much audio), not the reader's own output.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "avi/avi_reader.h"

namespace clipvane::avi {
namespace {

std::string DataPath(const std::string& name) { return std::string(CLIPVANE_TEST_DATA_DIR) + "/" + name; }

std::vector<int32_t> KeyFrames(const AviReader& reader) {
  std::vector<int32_t> keys;
  for (int32_t k = reader.FindKeyFrame(0); k >= 0; k = reader.FindKeyFrame(k + 1)) keys.push_back(k);
  return keys;
}

std::vector<int32_t> EveryNth(int32_t step, int32_t count) {
  std::vector<int32_t> keys;
  for (int32_t k = 0; k < count; k += step) keys.push_back(k);
  return keys;
}

struct MovieFacts {
  const char* name;
  const char* handler;  // four bytes in file order
  uint32_t rate, scale, length;
  int32_t frames;
  int32_t keyStep;  // key frames at 0, keyStep, 2 keyStep, ...
  uint32_t minFrame, maxFrame;
  bool hasAudio;
  uint16_t channels, bits, blockAlign;
  uint32_t audioRate, audioScale;
  uint64_t audioBytes;
  size_t audioChunks;
  IndexSource index;
};

const MovieFacts kMovies[] = {
    {"p01_ff_mpeg4_25fps_speech_mono22050.avi", "qks1", 25, 1, 100, 100, 12, 73, 4807, true, 1, 16, 2, 22050, 1,
     176400, 44, IndexSource::kIdx1Relative},
    {"p02_ff_mpeg4_2997fps_chord_stereo44100.avi", "qks1", 30000, 1001, 150, 150, 15, 1837, 8202, true, 2, 16, 4,
     44100, 1, 882000, 216, IndexSource::kIdx1Relative},
    {"p03_ff_mjpeg_15fps_sweep_mono16000.avi", "qks1", 15, 1, 45, 45, 1, 1140, 1140, true, 1, 16, 2, 16000, 1,
     96000, 24, IndexSource::kIdx1Relative},
    {"p04_ff_QKS1_upper_24fps_speech_noise_stereo48000.avi", "QKS1", 24, 1, 72, 72, 24, 51, 4616, true, 2, 16, 4,
     48000, 1, 576000, 141, IndexSource::kIdx1Relative},
    {"p05_ff_mpeg4_12fps_noaudio.avi", "qks1", 12, 1, 72, 72, 6, 154, 4807, false, 0, 0, 0, 0, 0, 0, 0,
     IndexSource::kIdx1Relative},
    {"p06_gst_avimux_mpeg4_25fps_speech_mono32000.avi", "qks1", 25, 1, 75, 75, 10, 968, 5750, true, 1, 16, 2,
     32000, 1, 192000, 47, IndexSource::kIdx1Absolute},
    {"p07_menc_mpeg4_25fps_speech_mono11025.avi", "qks1", 25, 1, 99, 99, 10, 79, 4807, true, 1, 16, 2, 11025, 1,
     88200, 9, IndexSource::kIdx1Relative},
    {"p08_ff_audio_longer_than_video_mono8000.avi", "qks1", 25, 1, 50, 50, 12, 934, 5505, true, 1, 16, 2, 8000, 1,
     80000, 20, IndexSource::kIdx1Relative},
    {"p09_ff_video_longer_than_audio_clipping_stereo32000.avi", "qks1", 15, 1, 75, 75, 15, 17, 1278, true, 2, 16,
     4, 32000, 1, 192000, 47, IndexSource::kIdx1Relative},
    {"p10_ff_handler0_bicompression_qks1_silence_mono8000.avi", "\0\0\0\0", 25, 1, 50, 50, 12, 102, 4807, true, 1,
     16, 2, 8000, 1, 32000, 8, IndexSource::kIdx1Relative},
    {"p11_ff_audio_scale_blockalign_speech_mono22050.avi", "qks1", 25, 1, 75, 75, 12, 934, 5750, true, 1, 16, 2,
     44100, 2, 132300, 33, IndexSource::kIdx1Relative},
    {"p12_reject_pcm_u8.avi", "qks1", 25, 1, 50, 50, 12, 102, 4807, true, 1, 8, 1, 22050, 1, 44100, 22,
     IndexSource::kIdx1Relative},
    {"p14_reject_fourcc_FMP4.avi", "FMP4", 25, 1, 50, 50, 12, 102, 4807, true, 1, 16, 2, 22050, 1, 88200, 22,
     IndexSource::kIdx1Relative},
};

class CorpusMovie : public ::testing::TestWithParam<MovieFacts> {};

TEST_P(CorpusMovie, HeadersIndexAndDataMatchTheFile) {
  const MovieFacts& facts = GetParam();
  AviReader reader;
  ASSERT_TRUE(reader.Open(DataPath(facts.name)));
  ASSERT_TRUE(reader.HasVideo());
  const StreamHeader& video = reader.VideoHeader();
  EXPECT_EQ(video.fccHandler, FourCC(facts.handler[0], facts.handler[1], facts.handler[2], facts.handler[3]));
  EXPECT_EQ(video.rate, facts.rate);
  EXPECT_EQ(video.scale, facts.scale);
  EXPECT_EQ(video.length, facts.length);
  // Every sample movie stores a bare 40-byte bitmap header.
  ASSERT_EQ(reader.VideoFormat().size(), 40u);
  EXPECT_EQ(reader.VideoFormat()[0], 40);
  EXPECT_EQ(reader.VideoIndexSource(), facts.index);

  ASSERT_EQ(reader.IndexedFrameCount(), facts.frames);
  EXPECT_EQ(KeyFrames(reader), EveryNth(facts.keyStep, facts.frames));
  EXPECT_EQ(reader.FindKeyFrame(facts.frames), -1);

  // Reading every frame proves the offsets: each frame of these streams
  // begins with an MPEG-4 start code (00 00 01) or a JPEG start marker.
  uint32_t smallest = UINT32_MAX, largest = 0;
  std::vector<uint8_t> frame;
  for (int32_t f = 0; f < facts.frames; ++f) {
    uint32_t size = 0;
    ASSERT_TRUE(reader.FrameSize(f, &size));
    ASSERT_TRUE(reader.ReadFrame(f, frame)) << f;
    ASSERT_EQ(frame.size(), size);
    ASSERT_GE(frame.size(), 3u);
    const bool mpeg4 = frame[0] == 0 && frame[1] == 0 && frame[2] == 1;
    const bool jpeg = frame[0] == 0xFF && frame[1] == 0xD8;
    EXPECT_TRUE(mpeg4 || jpeg) << "frame " << f;
    smallest = std::min(smallest, size);
    largest = std::max(largest, size);
  }
  EXPECT_EQ(smallest, facts.minFrame);
  EXPECT_EQ(largest, facts.maxFrame);
  EXPECT_FALSE(reader.ReadFrame(facts.frames, frame));
  EXPECT_FALSE(reader.ReadFrame(-1, frame));

  ASSERT_EQ(reader.HasAudio(), facts.hasAudio);
  if (!facts.hasAudio) return;
  EXPECT_EQ(reader.AudioFormatTag(), 1);
  EXPECT_EQ(reader.AudioChannels(), facts.channels);
  EXPECT_EQ(reader.AudioBitsPerSample(), facts.bits);
  EXPECT_EQ(reader.AudioBlockAlign(), facts.blockAlign);
  EXPECT_EQ(reader.AudioHeader().rate, facts.audioRate);
  EXPECT_EQ(reader.AudioHeader().scale, facts.audioScale);
  EXPECT_EQ(reader.AudioBytes(), facts.audioBytes);
  EXPECT_EQ(reader.AudioChunks().size(), facts.audioChunks);
  // Reading chunk by chunk, as the grabber does, delivers every byte once.
  uint64_t total = 0;
  size_t reads = 0;
  std::vector<uint8_t> audio;
  for (int64_t position = 0;;) {
    const uint32_t bytes = reader.ReadAudioChunk(position, audio);
    if (bytes == 0) break;
    ASSERT_EQ(audio.size(), bytes);
    ASSERT_EQ(bytes % facts.blockAlign, 0u);
    total += bytes;
    ++reads;
    position += bytes / facts.blockAlign;
  }
  EXPECT_EQ(total, facts.audioBytes);
  EXPECT_EQ(reads, facts.audioChunks);
}

INSTANTIATE_TEST_SUITE_P(SampleFiles, CorpusMovie, ::testing::ValuesIn(kMovies),
                         [](const ::testing::TestParamInfo<MovieFacts>& info) {
                           return std::string(info.param.name).substr(0, 3);
                         });

TEST(CorpusRejects, FilesThatAreNotAviMoviesDoNotOpen) {
  for (const char* name : {"p16_reject_not_avi_mp4.avi", "p17_reject_empty.avi", "p18_reject_wav_renamed.avi",
                           "no_such_file.avi"}) {
    AviReader reader;
    EXPECT_FALSE(reader.Open(DataPath(name))) << name;
    EXPECT_FALSE(reader.HasVideo());
    EXPECT_FALSE(reader.HasAudio());
    EXPECT_EQ(reader.IndexedFrameCount(), 0);
  }
}

TEST(CorpusFormats, CompressedAudioAndAudioOnlyMoviesStillDescribeTheirStreams) {
  AviReader adpcm;
  ASSERT_TRUE(adpcm.Open(DataPath("p13_reject_adpcm_ima.avi")));
  EXPECT_EQ(adpcm.AudioFormatTag(), 0x11);
  EXPECT_EQ(adpcm.AudioBitsPerSample(), 4);
  EXPECT_EQ(adpcm.AudioBlockAlign(), 1024);
  EXPECT_EQ(adpcm.AudioBytes(), 22528u);

  AviReader audioOnly;
  ASSERT_TRUE(audioOnly.Open(DataPath("p15_reject_audio_only.avi")));
  EXPECT_FALSE(audioOnly.HasVideo());
  EXPECT_EQ(audioOnly.IndexedFrameCount(), 0);
  EXPECT_EQ(audioOnly.FindKeyFrame(0), -1);
  ASSERT_TRUE(audioOnly.HasAudio());
  EXPECT_EQ(audioOnly.AudioBytes(), 88200u);  // its audio stream is stream 0: chunks '00wb'
}

TEST(CorpusTruncated, MovieCutInsideTheMovieListKeepsWhatIsThere) {
  // No idx1 survived the cut: 59 whole frames, 25 whole audio chunks of 4096
  // bytes and the first 2596 bytes of the chunk the cut went through.
  AviReader reader;
  ASSERT_TRUE(reader.Open(DataPath("p19_trunc_mid_movi.avi")));
  EXPECT_EQ(reader.VideoIndexSource(), IndexSource::kScan);
  EXPECT_EQ(reader.VideoHeader().length, 100u);
  ASSERT_EQ(reader.IndexedFrameCount(), 59);
  EXPECT_EQ(KeyFrames(reader), std::vector<int32_t>{0});
  std::vector<uint8_t> frame;
  for (int32_t f = 0; f < 59; ++f) ASSERT_TRUE(reader.ReadFrame(f, frame)) << f;
  EXPECT_EQ(reader.AudioBytes(), 25u * 4096u + 2596u);
}

TEST(CorpusTruncated, MovieCutInsideTheHeadersDoesNotOpen) {
  AviReader reader;
  EXPECT_FALSE(reader.Open(DataPath("p20_trunc_in_headers.avi")));
  EXPECT_EQ(reader.IndexedFrameCount(), 0);
}

}  // namespace
}  // namespace clipvane::avi
