// Every movie of the sample corpus, converted by the tool as a user runs it:
// the exit status, the exact message, what is left on disk, and for the movies
// that convert, a full read-back of the container.

#include <gtest/gtest.h>

#include <cstring>

#include "avi/avi_reader.h"
#include "codec/audio_decoder.h"
#include "codec/audio_packet.h"
#include "codebook/channel_codebook.h"
#include "tests/e2e/container_checker.h"
#include "tests/e2e/tool_runner.h"

namespace clipvane::testing {
namespace {

enum class Left { Complete, Nothing };

struct CorpusCase {
  const char* file;
  int status;
  const char* message;  // the line printed for a failure, "{input}" standing for the input path
  Left left;
  uint32_t frameCount, width, height, frameRate, sampleRate, channels, seekEntries;
};

const CorpusCase kCases[] = {
    {"p01_ff_mpeg4_25fps_speech_mono22050.avi", 0, nullptr, Left::Complete, 100, 160, 120, 1638400, 22050, 1, 9},
    {"p02_ff_mpeg4_2997fps_chord_stereo44100.avi", 0, nullptr, Left::Complete, 150, 256, 192, 1964116, 44100, 2, 10},
    {"p03_ff_mjpeg_15fps_sweep_mono16000.avi", 0, nullptr, Left::Complete, 45, 160, 120, 983040, 16000, 1, 45},
    {"p04_ff_QKS1_upper_24fps_speech_noise_stereo48000.avi", 0, nullptr, Left::Complete, 72, 160, 120, 1572864, 48000,
     2, 3},
    {"p05_ff_mpeg4_12fps_noaudio.avi", 0, nullptr, Left::Complete, 72, 160, 120, 786432, 0, 0, 12},
    {"p06_gst_avimux_mpeg4_25fps_speech_mono32000.avi", 0, nullptr, Left::Complete, 75, 160, 120, 1638400, 32000, 1,
     8},
    {"p07_menc_mpeg4_25fps_speech_mono11025.avi", 0, nullptr, Left::Complete, 99, 160, 120, 1638400, 11025, 1, 10},
    {"p08_ff_audio_longer_than_video_mono8000.avi", 0, nullptr, Left::Complete, 50, 160, 120, 1638400, 8000, 1, 5},
    {"p09_ff_video_longer_than_audio_clipping_stereo32000.avi", 0, nullptr, Left::Complete, 75, 160, 120, 983040,
     32000, 2, 5},
    {"p10_ff_handler0_bicompression_qks1_silence_mono8000.avi", 0, nullptr, Left::Complete, 50, 160, 120, 1638400,
     8000, 1, 5},
    {"p11_ff_audio_scale_blockalign_speech_mono22050.avi", 0, nullptr, Left::Complete, 75, 160, 120, 1638400, 22050,
     1, 7},
    {"p12_reject_pcm_u8.avi", 1, "Error: audio data format not supported, only 16 bits PCM audio is allowed\n",
     Left::Nothing, 50, 160, 120, 1638400, 0, 0, 0},
    {"p13_reject_adpcm_ima.avi", 1, "Error: audio data format not supported, only 16 bits PCM audio is allowed\n",
     Left::Nothing, 50, 160, 120, 1638400, 0, 0, 0},
    {"p14_reject_fourcc_FMP4.avi", 1, "Error: unsupported video codec [FMP4] !\n", Left::Nothing, 0, 0, 0, 0, 0, 0, 0},
    {"p15_reject_audio_only.avi", 1, "Error: can't retrieve video stream...\n", Left::Nothing, 0, 0, 0, 0, 0, 0, 0},
    {"p16_reject_not_avi_mp4.avi", 1, "Error: can't open file {input} !\n", Left::Nothing, 0, 0, 0, 0, 0, 0, 0},
    {"p17_reject_empty.avi", 1, "Error: can't open file {input} !\n", Left::Nothing, 0, 0, 0, 0, 0, 0, 0},
    {"p18_reject_wav_renamed.avi", 1, "Error: can't open file {input} !\n", Left::Nothing, 0, 0, 0, 0, 0, 0, 0},
};

std::vector<uint32_t> VideoPayloads(const std::string& movie, std::vector<std::vector<uint8_t>>* frames) {
  avi::AviReader reader;
  EXPECT_TRUE(reader.Open(movie));
  std::vector<uint32_t> sizes;
  for (int32_t i = 0; i < reader.IndexedFrameCount(); ++i) {
    std::vector<uint8_t> bytes;
    if (!reader.ReadFrame(i, bytes)) break;
    sizes.push_back(bytes.size() > 4 ? uint32_t(bytes.size() - 4) : 0);
    if (frames != nullptr) frames->push_back(bytes);
  }
  return sizes;
}

class CorpusOutcome : public ::testing::TestWithParam<CorpusCase> {};

TEST_P(CorpusOutcome, MatchesWhatTheMovieDeserves) {
  const CorpusCase& c = GetParam();
  ScratchDir dir(std::string("corpus_") + std::string(c.file).substr(0, 3));
  std::string input = dir.Copy(c.file, "input.avi");
  std::string output = dir.File("output.qkds");
  ToolResult r = RunTool({"-in", input, "-out", output});
  EXPECT_EQ(r.status, c.status) << r.output;
  std::string head = "Clipvane - converting '" + input + "' to '" + output + "'...\nPress space to cancel\n";
  EXPECT_EQ(r.output.substr(0, head.size()), head);

  if (c.message != nullptr) {
    std::string message = c.message;
    std::size_t at = message.find("{input}");
    if (at != std::string::npos) message.replace(at, 7, input);
    EXPECT_EQ(r.output.substr(head.size()), message);
  }

  if (c.left == Left::Nothing) {
    EXPECT_FALSE(Exists(output));
    return;
  }
  ASSERT_TRUE(Exists(output));


  std::vector<std::vector<uint8_t>> frames;
  std::vector<uint32_t> payloads = VideoPayloads(input, &frames);
  CheckedContainer container;
  ASSERT_EQ(CheckContainer(output, payloads, container), "");
  const ContainerHeader& h = container.header;
  EXPECT_EQ(h.frameCount, c.frameCount);
  EXPECT_EQ(uint32_t(h.width), c.width);
  EXPECT_EQ(uint32_t(h.height), c.height);
  EXPECT_EQ(h.frameRate, c.frameRate);
  EXPECT_EQ(h.videoCodecData, 0u);
  EXPECT_EQ(h.audioSampleRate, c.sampleRate);
  EXPECT_EQ(h.audioChannels, c.channels);
  EXPECT_EQ(h.seekEntryCount, c.seekEntries);
  ASSERT_EQ(container.records.size(), std::size_t(c.frameCount));
  for (std::size_t i = 0; i < container.records.size(); ++i) {
    const std::vector<uint8_t>& frame = frames[i];
    std::vector<uint8_t> expected(frame.size() > 4 ? frame.begin() + 4 : frame.end(), frame.end());
    ASSERT_EQ(container.records[i].video, expected) << "record " << i;
  }
  if (c.sampleRate != 0) {
    // The side file was trained on this input and the container carries it.
    std::vector<uint8_t> side = ReadWholeFile(dir.File("input.cbk"));
    EXPECT_EQ(side.size(), c.channels * kCodebookImageBytes);
    EXPECT_EQ(container.codebookBlock, side);
    // Every key frame's record begins with a key block in every channel.
    for (const SeekEntry& e : container.seekTable) {
      const CheckedRecord& record = container.records[e.frame];
      if (record.blockCount == 0) continue;
      std::size_t at = 0;
      for (uint32_t ch = 0; ch < c.channels; ++ch) {
        EXPECT_EQ(record.audio[at + 1] >> 1, kLagCodeKey) << "frame " << e.frame;
        at += std::size_t(AudioPacketSize(&record.audio[at]));
      }
    }
  } else {
    EXPECT_FALSE(Exists(dir.File("input.cbk")));
  }
}

INSTANTIATE_TEST_SUITE_P(Corpus, CorpusOutcome, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<CorpusCase>& info) {
                           return std::string(info.param.file).substr(0, 3);
                         });

// The first run's per-frame block counts continue the allotment sequence that
// the collection pass began (the collection of 100 frames came first).
TEST(CorpusAllotment, FirstRunBlockCountsContinueTheCollectionSequence) {
  ScratchDir dir("allotment");
  std::string input = dir.Copy("p01_ff_mpeg4_25fps_speech_mono22050.avi", "input.avi");
  std::string output = dir.File("output.qkds");
  ASSERT_EQ(RunTool({"-in", input, "-out", output}).status, 0);
  CheckedContainer container;
  ASSERT_EQ(CheckContainer(output, VideoPayloads(input, nullptr), container), "");
  std::vector<int> counts;
  for (const CheckedRecord& r : container.records) counts.push_back(r.blockCount);
  // 882 samples per frame; a block of 128 is taken back every ninth or tenth frame.
  std::vector<int> expected(100, 7);
  for (int i : {0, 9, 18, 27, 37, 46, 55, 64, 73, 82, 91}) expected[std::size_t(i)] = 6;
  EXPECT_EQ(counts, expected);

  // A second run reuses the side file; its pass is the second to use the
  // process-wide allotment, so in a fresh process it starts the sequence anew.
  ASSERT_EQ(RunTool({"-in", input, "-out", output}).status, 0);
  ASSERT_EQ(CheckContainer(output, VideoPayloads(input, nullptr), container), "");
  counts.clear();
  for (const CheckedRecord& r : container.records) counts.push_back(r.blockCount);
  std::vector<int> reused(100, 7);
  for (int i : {9, 18, 27, 36, 45, 54, 63, 73, 82, 91}) reused[std::size_t(i)] = 6;
  EXPECT_EQ(counts, reused);
}

// Truncated movies: never a crash; either a clean error or a valid container
// holding the readable frames, with a warning when it is short.
TEST(CorpusTruncated, NeverCrashesAndNeverLeavesABrokenFile) {
  for (const char* file : {"p19_trunc_mid_movi.avi", "p20_trunc_in_headers.avi"}) {
    ScratchDir dir("truncated");
    std::string input = dir.Copy(file, "input.avi");
    std::string output = dir.File("output.qkds");
    ToolResult r = RunTool({"-in", input, "-out", output});
    ASSERT_TRUE(r.status == 0 || r.status == 1) << file << ": " << r.output;
    if (r.status == 1) {
      EXPECT_NE(r.output.find("Error: "), std::string::npos) << r.output;
      EXPECT_FALSE(Exists(output));
      continue;
    }
    CheckedContainer container;
    ASSERT_EQ(CheckContainer(output, VideoPayloads(input, nullptr), container), "") << file;
    if (container.records.size() < container.header.frameCount) {
      std::string warning = "Warning: frame " + std::to_string(container.records.size()) + " cannot be read";
      EXPECT_NE(r.output.find(warning), std::string::npos) << r.output;
    }
  }
}

}  // namespace
}  // namespace clipvane::testing
