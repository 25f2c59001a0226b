// What a run may and may not do to the files around it: a refused or failed
// run leaves the output path as it found it, outputs appear only complete,
// devices are written in place and never removed, and a side file or debug
// sound file that cannot be written costs a warning, not the conversion.

#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include <filesystem>
#include <functional>

#include "tests/e2e/container_checker.h"
#include "tests/e2e/test_movies.h"
#include "tests/e2e/tool_runner.h"

namespace clipvane::testing {
namespace {

namespace fs = std::filesystem;

bool IsCharacterDevice(const std::string& path) { return fs::is_character_file(path); }

// The devices and file kinds of POSIX systems (/dev/null, /dev/full, named
// pipes, symbolic links any user may make) that some cases below write to.
#if defined(_WIN32)
constexpr bool kPosixFiles = false;
#else
constexpr bool kPosixFiles = true;
#endif
constexpr const char* kNoPosixFiles = "no /dev/null, /dev/full, named pipes or unprivileged symbolic links on Windows";

// Renames the first chunk or list with tag `from` (after `skip` earlier ones)
// to `to`, keeping its size: the reader then passes over it.
void RenameTag(const std::string& path, const char* from, const char* to, int skip = 0) {
  std::vector<uint8_t> bytes = ReadWholeFile(path);
  for (std::size_t i = 0; i + 4 <= bytes.size(); ++i) {
    if (std::equal(from, from + 4, bytes.begin() + std::ptrdiff_t(i)) && skip-- == 0) {
      std::copy(to, to + 4, bytes.begin() + std::ptrdiff_t(i));
      break;
    }
  }
  std::FILE* f = std::fopen(path.c_str(), "wb");
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

void WriteText(const std::string& path, const std::string& text) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
}

struct RefusedInput {
  const char* name;
  std::function<std::string(const ScratchDir&)> make;  // returns the input path
  const char* message;
};

TEST(RefusedInputs, LeaveTheOutputPathAsItWas) {
  const RefusedInput cases[] = {
      {"missing", [](const ScratchDir& d) { return d.File("none.avi"); }, "Error: can't open file "},
      {"not a movie", [](const ScratchDir& d) { return d.Copy("p16_reject_not_avi_mp4.avi", "in.avi"); },
       "Error: can't open file "},
      {"8-bit audio", [](const ScratchDir& d) { return d.Copy("p12_reject_pcm_u8.avi", "in.avi"); },
       "Error: audio data format not supported, only 16 bits PCM audio is allowed\n"},
      {"other codec", [](const ScratchDir& d) { return d.Copy("p14_reject_fourcc_FMP4.avi", "in.avi"); },
       "Error: unsupported video codec ["},
      {"no key frame",
       [](const ScratchDir& d) {
         TestMovie m = MakeMovie(5, 1);
         m.keyFrames.assign(5, false);
         WriteTestMovie(d.File("in.avi"), m);
         return d.File("in.avi");
       },
       "Error: non standard or corrupted AVI file, please check file format.\n"},
      {"no video format",
       [](const ScratchDir& d) {
         WriteTestMovie(d.File("in.avi"), MakeMovie(5, 1));
         RenameTag(d.File("in.avi"), "strf", "JUNK");
         return d.File("in.avi");
       },
       "Error: non standard or corrupted AVI file, please check file format.\n"},
      {"audio no record can hold",
       [](const ScratchDir& d) {
         TestMovie m = MakeMovie(4, 1);
         m.sampleRate = 100000000;  // 4 million samples a frame
         WriteTestMovie(d.File("in.avi"), m);
         return d.File("in.avi");
       },
       "Error: frame 0 needs a record of at least 312540 bytes, more than the 65537 bytes a frame record can "
       "hold\n"},
      {"cut inside the first frame",
       [](const ScratchDir& d) {
         TestMovie m = MakeMovie(5, 1);
         m.frames[0].assign(4000, 9);
         WriteTestMovie(d.File("in.avi"), m);
         avi::AviReader reader;
         reader.Open(d.File("in.avi"));
         uint64_t cut = reader.VideoChunks()[0].offset + 100;
         reader.Close();
         fs::resize_file(d.File("in.avi"), cut);
         return d.File("in.avi");
       },
       "Error: non standard or corrupted AVI file, please check file format.\n"},
  };
  for (const RefusedInput& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir("refused");
    const std::string input = c.make(dir);
    WriteText(dir.File("o"), "an earlier output");
    ToolResult r = RunTool({"-in", input, "-out", dir.File("o")});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.output, c.message)) << r.output;
    EXPECT_FALSE(Has(r.output, "Collecting"));
    EXPECT_EQ(ReadWholeFile(dir.File("o")), std::vector<uint8_t>({'a', 'n', ' ', 'e', 'a', 'r', 'l', 'i', 'e', 'r',
                                                                  ' ', 'o', 'u', 't', 'p', 'u', 't'}));
    EXPECT_FALSE(Exists(dir.File("o.part")));
    if (kPosixFiles) {
      // A device stays a device, whoever runs the tool.
      r = RunTool({"-in", input, "-out", "/dev/null"});
      EXPECT_EQ(r.status, 1);
      EXPECT_TRUE(IsCharacterDevice("/dev/null"));
    }
  }
}

TEST(Outputs, AppearOnlyComplete) {
  ScratchDir dir("outputs");
  const std::string input = dir.Copy(kMono, "movie.avi");
  // A killed run's temporary is replaced, and the output is written whole.
  WriteText(dir.File("o.part"), "left by a killed run");
  ToolResult r = RunTool({"-in", input, "-out", dir.File("o")});
  ASSERT_EQ(r.status, 0) << r.output;
  CheckedContainer container;
  EXPECT_EQ(CheckContainer(dir.File("o"), PayloadsOf(input), container), "");
  EXPECT_FALSE(Exists(dir.File("o.part")));
  // A directory is no output.
  r = RunTool({"-in", input, "-out", dir.File("")});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.output, "for writting\n"));
}

TEST(Outputs, ALinkKeepsPointingAtTheOutputAndDevicesAreWrittenInPlace) {
  if (!kPosixFiles) GTEST_SKIP() << kNoPosixFiles;
  ScratchDir dir("outputs_in_place");
  const std::string input = dir.Copy(kMono, "movie.avi");
  ASSERT_EQ(RunTool({"-in", input, "-out", dir.File("o")}).status, 0);
  // A link keeps pointing at the output it names.
  fs::create_symlink(dir.File("o"), dir.File("link"));
  ASSERT_EQ(RunTool({"-in", input, "-out", dir.File("link")}).status, 0);
  EXPECT_TRUE(fs::is_symlink(dir.File("link")));
  EXPECT_EQ(ReadWholeFile(dir.File("link")), ReadWholeFile(dir.File("o")));

  ToolResult r = RunTool({"-in", input, "-out", "/dev/null"});
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(IsCharacterDevice("/dev/null"));
  // A device that cannot take the bytes is a failure, and is not removed.
  r = RunTool({"-in", input, "-out", "/dev/full"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.output, "Error: cannot write /dev/full")) << r.output;
  EXPECT_TRUE(IsCharacterDevice("/dev/full"));
}

TEST(Outputs, ASeekEntryNeverPointsAtAnUnconvertedKeyFrame) {
  ScratchDir dir("unread_key");
  TestMovie movie = MakeMovie(30, 1);
  movie.frames[20].assign(8000, 3);  // key frame 20, cut in the middle
  ASSERT_TRUE(WriteTestMovie(dir.File("m.avi"), movie));
  avi::AviReader reader;
  ASSERT_TRUE(reader.Open(dir.File("m.avi")));
  const uint64_t cut = reader.VideoChunks()[20].offset + 4000;
  reader.Close();
  // Keep the index: move it in front of the cut by cutting only the frame's
  // bytes out of reach of a complete read.
  fs::resize_file(dir.File("m.avi"), cut);
  ToolResult r = RunTool({"-in", dir.File("m.avi"), "-out", dir.File("o")});
  ASSERT_EQ(r.status, 0) << r.output;
  CheckedContainer container;
  ASSERT_EQ(CheckContainer(dir.File("o"), PayloadsOf(movie, 20), container), "");
  ASSERT_EQ(container.records.size(), 20u);
  for (const auto& entry : container.seekTable) {
    if (entry.frame >= 20) {
      EXPECT_EQ(entry.offset, 0u) << "key frame " << entry.frame;
    }
  }
}

struct UnwritableSideFile {
  const char* name;
  std::function<void(const ScratchDir&)> prepare;
  const char* reason;
};

TEST(SideFile, ThatCannotBeWrittenServesThisRunOnly) {
  ScratchDir reference("side_reference");
  const std::string referenceInput = reference.Copy(kStereo, "movie.avi");
  ASSERT_EQ(RunTool({"-in", referenceInput, "-out", reference.File("o")}).status, 0);
  const std::vector<uint8_t> expected = ReadWholeFile(reference.File("o"));

  std::vector<UnwritableSideFile> cases = {
      {"a directory", [](const ScratchDir& d) { fs::create_directory(d.File("movie.cbk")); },
       "(it is not a regular file)"},
      {"temporary name taken", [](const ScratchDir& d) { fs::create_directory(d.File("movie.cbk.part")); },
       "is taken)"},
  };
#if !defined(_WIN32)
  cases.push_back({"a pipe", [](const ScratchDir& d) { ASSERT_EQ(mkfifo(d.File("movie.cbk").c_str(), 0600), 0); },
                   "(it is not a regular file)"});
#endif
  for (const UnwritableSideFile& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir("side_unwritable");
    const std::string input = dir.Copy(kStereo, "movie.avi");
    c.prepare(dir);
    // Told to keep a side file that is not one: it is rebuilt all the same.
    ToolResult r = RunTool({"-in", input, "-out", dir.File("o"), "-nocodebook"});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(Has(r.output, "Collecting"));
    EXPECT_TRUE(Has(r.output, "Warning: cannot write the codebook file " + dir.File("movie.cbk") + " "));
    EXPECT_TRUE(Has(r.output, std::string(c.reason) + "; the trained codebook is used for this run only\n"))
        << r.output;
    EXPECT_EQ(ReadWholeFile(dir.File("o")), expected);
    EXPECT_FALSE(fs::is_regular_file(dir.File("movie.cbk")));
  }
}

TEST(DebugSound, ThatCannotBeWrittenWarnsAndTheConversionGoesOn) {
  ScratchDir dir("debug_unwritable");
  const std::string input = dir.Copy(kMono, "movie.avi");
  struct Case {
    std::string path;
    const char* reason;
  };
  std::vector<Case> cases = {
      {dir.File("no/such/folder/x.wav"), "(No such file or directory)"},
      {input, "(it is a file this run reads or writes)"},
  };
  if (kPosixFiles) cases.push_back({"/dev/full", "(No space left on device)"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    ToolResult r = RunTool({"-in", input, "-out", dir.File("o"), "-debugsound", c.path});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(Has(r.output, "Warning: cannot write the debug sound file " + c.path + " " + c.reason + "\n"))
        << r.output;
    CheckedContainer container;
    EXPECT_EQ(CheckContainer(dir.File("o"), PayloadsOf(input), container), "");
  }
  if (kPosixFiles) {
    EXPECT_TRUE(IsCharacterDevice("/dev/full"));
  }
  EXPECT_FALSE(Exists(dir.File("no")));
}

TEST(Quality, ZeroNegativeAndNonNumbersWeighRateLikeTheSmallestPositive) {
  ScratchDir dir("quality");
  const std::string input = dir.Copy(kMono, "movie.avi");
  ASSERT_EQ(RunTool({"-in", input, "-out", dir.File("smallest"), "-quality", "1e-30"}).status, 0);
  const std::vector<uint8_t> smallest = ReadWholeFile(dir.File("smallest"));
  for (const char* quality : {"0", "-0", "-3", "-inf", "nan", "abc"}) {
    SCOPED_TRACE(quality);
    ASSERT_EQ(RunTool({"-in", input, "-out", dir.File("o"), "-quality", quality, "-codebook"}).status, 0);
    EXPECT_EQ(ReadWholeFile(dir.File("o")), smallest);
  }
  // The lowest setting gives the smallest file, not the largest.
  ASSERT_EQ(RunTool({"-in", input, "-out", dir.File("default"), "-codebook"}).status, 0);
  EXPECT_LT(smallest.size(), SizeOf(dir.File("default")));
}

}  // namespace
}  // namespace clipvane::testing
