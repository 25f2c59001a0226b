// The tool end to end on movies built for the purpose and on corpus movies:
// the codebook side file's life, debug sound, dropped and unreadable frames,
// the container's limits and the usage text. Keys, signals and the terminal
// are in terminal_test.cpp.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <thread>

#include "avi/avi_reader.h"
#include "codec/audio_decoder.h"
#include "tests/e2e/container_checker.h"
#include "tests/e2e/test_avi_writer.h"
#include "tests/e2e/test_movies.h"
#include "tests/e2e/tool_runner.h"

namespace clipvane::testing {
namespace {

namespace fs = std::filesystem;


TEST(Usage, MissingOrUnusableArgumentsPrintTheUsage) {
  ToolResult none = RunTool({});
  EXPECT_EQ(none.status, 1);
  EXPECT_TRUE(Has(none.output, "Syntax: Clipvane <commands>\n"));
  EXPECT_FALSE(Has(none.output, "Invalid option"));
  EXPECT_EQ(std::count(none.output.begin(), none.output.end(), '\n'), 9);

  ToolResult last = RunTool({"-in", "a.avi", "-out"});
  EXPECT_EQ(last.status, 1);
  EXPECT_EQ(last.output.rfind("Invalid option -out...\n", 0), 0u);
  EXPECT_TRUE(Has(last.output, "\t-debugsound <ouputfile.wav>\n"));

  ToolResult stray = RunTool({"-in", "a.avi", "b.avi"});
  EXPECT_EQ(stray.status, 1);
  EXPECT_EQ(stray.output.rfind("Invalid option b.avi...\n", 0), 0u);

  ToolResult empty = RunTool({"-in", "", "-out", "x"});
  EXPECT_EQ(empty.status, 1);
  EXPECT_FALSE(Has(empty.output, "converting"));
}

TEST(Usage, AnEffortOtherThanZeroOneOrTwoTouchesNothing) {
  ScratchDir dir("effort_values");
  const std::string input = dir.Copy(kSilent, "in.avi");
  for (const char* value : {"3", "-1", "one", "1.5"}) {
    const ToolResult r = RunTool({"-in", input, "-out", dir.File("out.qkds"), "-effort", value, "-debugsound",
                                  dir.File("d.wav")});
    EXPECT_EQ(r.status, 1) << value;
    EXPECT_EQ(r.output, "Error: -effort takes 0, 1 or 2\n") << value;
    EXPECT_FALSE(Exists(dir.File("out.qkds")));
    EXPECT_FALSE(Exists(dir.File("in.cbk")));
    EXPECT_FALSE(Exists(dir.File("d.wav")));
  }
}

TEST(OpenFailures, LeaveExactlyWhatTheyShould) {
  ScratchDir dir("open_failures");
  // A missing input creates no output.
  ToolResult missing = RunTool({"-in", dir.File("nothing.avi"), "-out", dir.File("o1")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(Has(missing.output, "Error: can't open file " + dir.File("nothing.avi") + " !\n"));
  EXPECT_FALSE(Exists(dir.File("o1")));

  // An output folder that does not exist.
  std::string input = dir.Copy(kSilent, "in.avi");
  ToolResult noFolder = RunTool({"-in", input, "-out", dir.File("no/such/out")});
  EXPECT_EQ(noFolder.status, 1);
  EXPECT_TRUE(Has(noFolder.output, "Error: cannot open " + dir.File("no/such/out") + " for writting\n"));

  // No key frame at all: the empty output is removed.
  TestMovie noKeys = MakeMovie(5, 0);
  noKeys.keyFrames.assign(5, false);
  ASSERT_TRUE(WriteTestMovie(dir.File("nokeys.avi"), noKeys));
  ToolResult r = RunTool({"-in", dir.File("nokeys.avi"), "-out", dir.File("o2")});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.output, "Error: non standard or corrupted AVI file, please check file format.\n"));
  EXPECT_FALSE(Exists(dir.File("o2")));

  // A zero frame-rate scale would divide by zero: refused the same way.
  TestMovie badScale = MakeMovie(5, 1);
  badScale.scale = 0;
  ASSERT_TRUE(WriteTestMovie(dir.File("scale0.avi"), badScale));
  r = RunTool({"-in", dir.File("scale0.avi"), "-out", dir.File("o3")});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.output, "Error: non standard or corrupted AVI file"));
  EXPECT_FALSE(Exists(dir.File("o3")));

  // A handler of zero tests biCompression; a lower/upper mix is accepted.
  TestMovie mixed = MakeMovie(5, 0);
  mixed.handler = 0x31734B71;  // "qKs1"
  ASSERT_TRUE(WriteTestMovie(dir.File("mixed.avi"), mixed));
  EXPECT_EQ(RunTool({"-in", dir.File("mixed.avi"), "-out", dir.File("o4")}).status, 0);
}

TEST(OpenFailures, PathsThatWouldDestroyWhatTheRunReadsAreRefused) {
  ScratchDir dir("path_clash");
  std::string input = dir.Copy(kMono, "movie.avi");
  const std::vector<uint8_t> original = ReadWholeFile(input);

  ToolResult same = RunTool({"-in", input, "-out", input});
  EXPECT_EQ(same.status, 1);
  EXPECT_TRUE(Has(same.output, "Error: cannot write " + input + ": it is the input file\n"));
  EXPECT_EQ(ReadWholeFile(input), original);

  // Its own side file: rebuilding it would replace the container.
  ToolResult side = RunTool({"-in", input, "-out", dir.File("movie.cbk"), "-codebook"});
  EXPECT_EQ(side.status, 1);
  EXPECT_TRUE(Has(side.output, "Error: cannot write " + dir.File("movie.cbk") + ": it is the codebook file of"));
  EXPECT_FALSE(Exists(dir.File("movie.cbk")));

  // A debug sound file named like the input is not created; the run goes on.
  ToolResult debug = RunTool({"-in", input, "-out", dir.File("o"), "-debugsound", input});
  EXPECT_EQ(debug.status, 0) << debug.output;
  EXPECT_EQ(ReadWholeFile(input), original);
}

TEST(OpenFailures, FramesBeyondTheAnnouncedLengthAreNotPartOfTheMovie) {
  ScratchDir dir("announced");
  TestMovie movie = MakeMovie(40, 1);
  movie.announcedFrames = 15;
  ASSERT_TRUE(WriteTestMovie(dir.File("m.avi"), movie));
  ToolResult r = RunTool({"-in", dir.File("m.avi"), "-out", dir.File("o")});
  ASSERT_EQ(r.status, 0) << r.output;
  CheckedContainer container;
  ASSERT_EQ(CheckContainer(dir.File("o"), PayloadsOf(movie, 15), container), "");
  EXPECT_EQ(container.records.size(), 15u);
  ASSERT_EQ(container.seekTable.size(), 2u);  // key frames 0 and 10, not 20 and 30
  EXPECT_EQ(container.seekTable[1].frame, 10u);

  movie.announcedFrames = 0;
  ASSERT_TRUE(WriteTestMovie(dir.File("empty.avi"), movie));
  r = RunTool({"-in", dir.File("empty.avi"), "-out", dir.File("o2")});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.output, "Error: non standard or corrupted AVI file"));
  EXPECT_FALSE(Exists(dir.File("o2")));
}

TEST(SideFile, IsWrittenReusedForcedAndKept) {
  ScratchDir dir("side_file");
  std::string input = dir.Copy(kStereo, "movie.avi");
  std::string output = dir.File("out.qkds");
  std::string side = dir.File("movie.cbk");

  ToolResult first = RunTool({"-in", input, "-out", output});
  ASSERT_EQ(first.status, 0) << first.output;
  EXPECT_TRUE(Has(first.output, "\rCollecting codebook...100.00 %           \r\n"));
  EXPECT_TRUE(Has(first.output, "\rBuilding codebook...100.00 %              \n"));
  EXPECT_TRUE(Has(first.output, "\rConverting file...100.00 %             \n"));
  ASSERT_EQ(SizeOf(side), 2 * kCodebookImageBytes);
  std::vector<uint8_t> trained = ReadWholeFile(side);
  CheckedContainer container;
  ASSERT_EQ(CheckContainer(output, PayloadsOf(input), container), "");
  EXPECT_EQ(container.codebookBlock, trained);
  EXPECT_FALSE(Exists(side + ".part"));

  // Reused while it is at least as new as the input.
  CopyWriteTime(input, side);
  ToolResult second = RunTool({"-in", input, "-out", output});
  ASSERT_EQ(second.status, 0);
  EXPECT_FALSE(Has(second.output, "Collecting"));
  EXPECT_FALSE(Has(second.output, "Building"));
  ASSERT_EQ(CheckContainer(output, PayloadsOf(input), container), "");
  EXPECT_EQ(container.codebookBlock, trained);

  // Training is deterministic: a forced rebuild writes the same images.
  ToolResult forced = RunTool({"-in", input, "-out", output, "-CODEBOOK", "-nocodebook"});
  ASSERT_EQ(forced.status, 0);
  EXPECT_TRUE(Has(forced.output, "Collecting"));
  EXPECT_EQ(ReadWholeFile(side), trained);

  // An input newer than the side file rebuilds, unless told to keep it.
  MakeOlder(side, std::chrono::seconds(100));
  ToolResult kept = RunTool({"-in", input, "-out", output, "-nocodebook"});
  EXPECT_FALSE(Has(kept.output, "Collecting"));
  ToolResult rebuilt = RunTool({"-in", input, "-out", output});
  EXPECT_TRUE(Has(rebuilt.output, "Collecting"));

  // A side file with one image for a two-channel input cannot be used.
  std::vector<uint8_t> one(trained.begin(), trained.begin() + kCodebookImageBytes);
  std::FILE* f = std::fopen(side.c_str(), "wb");
  std::fwrite(one.data(), 1, one.size(), f);
  std::fclose(f);
  // The earlier output stays as it was: a failed run replaces nothing.
  const std::vector<uint8_t> earlier = ReadWholeFile(output);
  ToolResult shortSide = RunTool({"-in", input, "-out", output});
  EXPECT_EQ(shortSide.status, 1);
  EXPECT_TRUE(Has(shortSide.output, "Error: cannot read the codebook...         \nError: the codebook file " + side +
                                        " holds too few images for this movie; -codebook rebuilds it\n"));
  EXPECT_EQ(ReadWholeFile(output), earlier);
  EXPECT_FALSE(Exists(output + ".part"));
}

TEST(DebugSound, HoldsExactlyWhatAPlayerDecodes) {
  ScratchDir dir("debug_sound");
  std::string input = dir.Copy(kStereo, "movie.avi");
  std::string output = dir.File("out.qkds");
  std::string wav = dir.File("out.wav");
  ASSERT_EQ(RunTool({"-in", input, "-out", output, "-debugsound", wav}).status, 0);

  CheckedContainer container;
  ASSERT_EQ(CheckContainer(output, PayloadsOf(input), container), "");
  std::vector<uint8_t> sound = ReadWholeFile(wav);
  ASSERT_GE(sound.size(), 44u);
  const uint32_t channels = 2;
  std::size_t blocks = 0;
  for (const CheckedRecord& r : container.records) blocks += r.blockCount;
  EXPECT_EQ(std::string(sound.begin(), sound.begin() + 4), "RIFF");
  EXPECT_EQ(LoadLE32(&sound[4]), blocks * channels * 256 + 36);
  EXPECT_EQ(std::string(sound.begin() + 8, sound.begin() + 16), "WAVEfmt ");
  EXPECT_EQ(LoadLE16(&sound[22]), channels);
  EXPECT_EQ(LoadLE32(&sound[24]), 44100u);
  EXPECT_EQ(LoadLE32(&sound[28]), 44100u * 4);
  EXPECT_EQ(LoadLE16(&sound[32]), 4);
  EXPECT_EQ(LoadLE16(&sound[34]), 16);
  EXPECT_EQ(LoadLE32(&sound[40]), blocks * channels * 256);
  ASSERT_EQ(sound.size(), 44 + blocks * channels * 256);

  // A fresh decode of the container's packets with its own codebook block.
  std::vector<AudioDecoderState> decoders(channels);
  for (uint32_t c = 0; c < channels; ++c) {
    InitDecoderState(decoders[c], ReadCodebookImage(&container.codebookBlock[c * kCodebookImageBytes]));
  }
  std::size_t at = 44;
  for (const CheckedRecord& r : container.records) {
    // The decoder may look up to 20 bytes ahead of a packet's start.
    std::vector<uint8_t> audio = r.audio;
    audio.resize(audio.size() + kMaxPacketBytes);
    std::size_t p = 0;
    for (uint32_t b = 0; b < r.blockCount; ++b) {
      int16_t decoded[2][128];
      for (uint32_t c = 0; c < channels; ++c) p += std::size_t(DecodeAudioPacket(decoders[c], &audio[p], decoded[c]));
      for (int j = 0; j < 128; ++j) {
        for (uint32_t c = 0; c < channels; ++c, at += 2) {
          ASSERT_EQ(int16_t(LoadLE16(&sound[at])), decoded[c][j]) << "block " << b;
        }
      }
    }
  }
}

TEST(DebugSound, IsNotCreatedWithoutAudio) {
  ScratchDir dir("debug_silent");
  std::string input = dir.Copy(kSilent, "movie.avi");
  ASSERT_EQ(RunTool({"-in", input, "-out", dir.File("o"), "-debugsound", dir.File("o.wav")}).status, 0);
  EXPECT_FALSE(Exists(dir.File("o.wav")));
}

TEST(Frames, DroppedFramesKeepTheirPlaceAndTheirAudio) {
  ScratchDir dir("dropped");
  TestMovie movie = MakeMovie(30, 1);
  movie.frames[3].clear();        // dropped frame
  movie.frames[4].assign(2, 7);   // shorter than the 4 bytes that are dropped
  movie.frames[10].clear();       // a dropped key frame
  ASSERT_TRUE(WriteTestMovie(dir.File("m.avi"), movie));
  ToolResult r = RunTool({"-in", dir.File("m.avi"), "-out", dir.File("o")});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_FALSE(Has(r.output, "Warning"));
  CheckedContainer container;
  ASSERT_EQ(CheckContainer(dir.File("o"), PayloadsOf(movie, 30), container), "");
  ASSERT_EQ(container.records.size(), 30u);
  EXPECT_TRUE(container.records[3].video.empty());
  EXPECT_GT(container.records[3].blockCount, 0);
  EXPECT_TRUE(container.records[4].video.empty());
  EXPECT_EQ(container.seekTable[1].offset, container.records[10].offset);
}

TEST(Frames, AnUnreadableFrameEndsTheOutputWithAWarning) {
  ScratchDir dir("unreadable");
  TestMovie movie = MakeMovie(30, 1);
  ASSERT_TRUE(WriteTestMovie(dir.File("m.avi"), movie));
  // Cut the file inside frame 20's chunk: the index (at the end) goes too, so
  // the reader finds the frames by walking the movie data.
  avi::AviReader reader;
  ASSERT_TRUE(reader.Open(dir.File("m.avi")));
  uint64_t cut = reader.VideoChunks()[20].offset + 10;
  reader.Close();
  fs::resize_file(dir.File("m.avi"), cut);
  ToolResult r = RunTool({"-in", dir.File("m.avi"), "-out", dir.File("o")});
  ASSERT_TRUE(r.status == 0 || r.status == 1) << r.output;
  if (r.status == 0) {
    CheckedContainer container;
    ASSERT_EQ(CheckContainer(dir.File("o"), PayloadsOf(movie, 20), container), "");
    EXPECT_EQ(container.header.frameCount, 30u);
    EXPECT_TRUE(Has(r.output, "Warning: frame " + std::to_string(container.records.size()) +
                                  " cannot be read; the input announces 30 frames"))
        << r.output;
    EXPECT_LE(container.records.size(), 20u);
  } else {
    EXPECT_TRUE(Has(r.output, "Error: "));
    EXPECT_FALSE(Exists(dir.File("o")));
  }
}

TEST(Frames, AnUnreadableFrameKeepsAnEarlierWarning) {
  ScratchDir dir("unreadable_debug");
  TestMovie movie = MakeMovie(30, 1);
  ASSERT_TRUE(WriteTestMovie(dir.File("m.avi"), movie));
  avi::AviReader reader;
  ASSERT_TRUE(reader.Open(dir.File("m.avi")));
  uint64_t cut = reader.VideoChunks()[20].offset + 10;
  reader.Close();
  fs::resize_file(dir.File("m.avi"), cut);
  // The debug sound cannot be written (its folder is missing): both warnings are printed.
  ToolResult r = RunTool({"-in", dir.File("m.avi"), "-out", dir.File("o"), "-debugsound",
                          dir.File("missing/o.wav")});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(Has(r.output, "Warning: cannot write the debug sound file ")) << r.output;
  EXPECT_TRUE(Has(r.output, " cannot be read; the input announces 30 frames")) << r.output;
}

TEST(Frames, FirstFrameNotAKeyFrameStillConvertsInStep) {
  ScratchDir dir("late_key");
  TestMovie movie = MakeMovie(30, 1);
  movie.keyFrames.assign(30, false);
  movie.keyFrames[5] = true;
  ASSERT_TRUE(WriteTestMovie(dir.File("m.avi"), movie));
  ToolResult r = RunTool({"-in", dir.File("m.avi"), "-out", dir.File("o"), "-debugsound", dir.File("o.wav")});
  ASSERT_EQ(r.status, 0) << r.output;
  CheckedContainer container;
  ASSERT_EQ(CheckContainer(dir.File("o"), PayloadsOf(movie, 30), container), "");
  ASSERT_EQ(container.seekTable.size(), 1u);
  EXPECT_EQ(container.seekTable[0].frame, 5u);
  // Before the first key block a player hears silence, and so does the debug sound.
  std::vector<uint8_t> sound = ReadWholeFile(dir.File("o.wav"));
  std::size_t early = 0;
  for (int i = 0; i < 5; ++i) early += container.records[std::size_t(i)].blockCount;
  for (std::size_t s = 0; s < early * 128; ++s) ASSERT_EQ(LoadLE16(&sound[44 + 2 * s]), 0);
  bool audible = false;
  for (std::size_t s = early * 128; s + 1 < (sound.size() - 44) / 2; ++s) audible |= LoadLE16(&sound[44 + 2 * s]) != 0;
  EXPECT_TRUE(audible);
}

TEST(Limits, ARecordTooLargeForItsSizeFieldIsRefused) {
  ScratchDir dir("big_record");
  TestMovie movie = MakeMovie(4, 1);
  movie.frames[2].assign(65536, 1);  // 65532 payload bytes plus audio cannot fit 16 bits
  ASSERT_TRUE(WriteTestMovie(dir.File("m.avi"), movie));
  ToolResult r = RunTool({"-in", dir.File("m.avi"), "-out", dir.File("o")});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.output, "Error: frame 2 needs a record of")) << r.output;
  EXPECT_FALSE(Exists(dir.File("o")));

  // The largest record that still fits is accepted.
  TestMovie fits = MakeMovie(2, 0);
  fits.frames[1].assign(65536, 1);  // 65532 payload bytes: a record of exactly 65536
  ASSERT_TRUE(WriteTestMovie(dir.File("fits.avi"), fits));
  r = RunTool({"-in", dir.File("fits.avi"), "-out", dir.File("o")});
  EXPECT_EQ(r.status, 0) << r.output;
  CheckedContainer container;
  ASSERT_EQ(CheckContainer(dir.File("o"), PayloadsOf(fits, 2), container), "");
  EXPECT_EQ(container.header.maxFrameRecordSize, 65536u);
}

TEST(AudioFormats, ExtensiblePcmIsAcceptedAndMoreThanTwoChannelsAreNot) {
  ScratchDir dir("formats");
  // Three channels: the codec path carries one or two.
  TestMovie three = MakeMovie(5, 3);
  ASSERT_TRUE(WriteTestMovie(dir.File("three.avi"), three));
  ToolResult r = RunTool({"-in", dir.File("three.avi"), "-out", dir.File("o")});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.output, "Error: audio data format not supported, only 16 bits PCM audio is allowed\n"));
  EXPECT_FALSE(Exists(dir.File("o")));

  // 16-bit PCM stored with the extensible tag converts like plain PCM.
  TestMovie extensible = MakeMovie(20, 2, 48000);
  extensible.extensible = true;
  ASSERT_TRUE(WriteTestMovie(dir.File("ext.avi"), extensible));
  r = RunTool({"-in", dir.File("ext.avi"), "-out", dir.File("o")});
  EXPECT_EQ(r.status, 0) << r.output;
  CheckedContainer container;
  ASSERT_EQ(CheckContainer(dir.File("o"), PayloadsOf(extensible, 20), container), "");
  EXPECT_EQ(container.header.audioSampleRate, 48000u);
  EXPECT_EQ(container.header.audioChannels, 2u);
}

}  // namespace
}  // namespace clipvane::testing
