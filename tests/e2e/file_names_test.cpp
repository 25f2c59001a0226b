// File names as users have them: letters beyond ASCII (on Windows these reach
// the tool as wide arguments and its files through the wide API) and paths
// longer than the old 260-character limit.

#include <gtest/gtest.h>

#include <filesystem>

#include "avi/avi_reader.h"
#include "tests/e2e/container_checker.h"
#include "tests/e2e/test_movies.h"
#include "tests/e2e/tool_runner.h"

namespace clipvane::testing {
namespace {

// A folder's path in the form that takes any length: on Windows a long one
// needs the \\?\ form, which only an absolute path can take.
std::filesystem::path LongForm(const std::string& folder) {
  std::filesystem::path path = std::filesystem::absolute(platform::PathFromUtf8(folder));
#if defined(_WIN32)
  path = std::filesystem::path(L"\\\\?\\" + path.lexically_normal().make_preferred().wstring());
#endif
  return path;
}

void MakeFolder(const std::string& folder) { std::filesystem::create_directories(LongForm(folder)); }

// Converts `input` (already in place) with debug sound and checks that every
// file the run writes is where its name says, and that a second run reuses the
// side file it finds under the derived name.
void ConvertAndCheck(const std::string& input, const std::string& stem) {
  const std::string output = stem + ".qkds";
  const std::string wav = stem + ".wav";
  const std::string side = stem + ".cbk";  // the input is stem + ".avi"
  ToolResult first = RunTool({"-in", input, "-out", output, "-debugsound", wav});
  ASSERT_EQ(first.status, 0) << first.output;
  EXPECT_NE(first.output.find("converting '" + input + "' to '" + output + "'"), std::string::npos) << first.output;
  EXPECT_NE(first.output.find("Collecting codebook"), std::string::npos);
  ASSERT_TRUE(Exists(side));
  EXPECT_EQ(SizeOf(side), 3124u);
  EXPECT_FALSE(Exists(side + ".part"));
  ASSERT_TRUE(Exists(wav));
  EXPECT_GT(SizeOf(wav), 44u);
  CheckedContainer container;
  EXPECT_TRUE(avi::AviReader().Open(input)) << "the input opens through its name";
  ASSERT_EQ(CheckContainer(output, PayloadsOf(input), container), "");
  EXPECT_EQ(container.codebookBlock, ReadWholeFile(side));

  // The side file's time is read back through the same names: it is reused.
  ToolResult second = RunTool({"-in", input, "-out", output});
  ASSERT_EQ(second.status, 0) << second.output;
  EXPECT_EQ(second.output.find("Collecting"), std::string::npos) << second.output;

  // A run that fails leaves the earlier output as it was and no temporary
  // beside it, found and removed by name: a side file too short for the
  // movie's channel.
  const std::vector<uint8_t> earlier = ReadWholeFile(output);
  std::FILE* shortSide = platform::OpenFile(side, "wb");
  ASSERT_NE(shortSide, nullptr);
  std::fputs("too short", shortSide);
  std::fclose(shortSide);
  ToolResult failed = RunTool({"-in", input, "-out", output, "-nocodebook"});
  EXPECT_EQ(failed.status, 1) << failed.output;
  EXPECT_NE(failed.output.find("Error: cannot read the codebook"), std::string::npos) << failed.output;
  EXPECT_EQ(ReadWholeFile(output), earlier);
  EXPECT_FALSE(Exists(output + ".part"));
}

TEST(FileNames, LettersBeyondAsciiInFolderAndFileNames) {
  ScratchDir dir("names");
  const std::string folder = dir.File("Fichiers d\xC3\xA9j\xC3\xA0 vus \xE2\x80\x93 \xD0\xBA\xD0\xB8\xD0\xBD\xD0\xBE");
  MakeFolder(folder);
  // "Ünïcödé 映画 ✓"
  const std::string stem = folder + "/\xC3\x9Cn\xC3\xAF" "c\xC3\xB6" "d\xC3\xA9 \xE6\x98\xA0\xE7\x94\xBB \xE2\x9C\x93";
  const std::string input = stem + ".avi";
  std::filesystem::copy_file(std::string(CLIPVANE_TEST_DATA_DIR) + "/" + kMono, platform::PathFromUtf8(input));
  ConvertAndCheck(input, stem);
}

TEST(FileNames, PathsLongerThan260Characters) {
  ScratchDir dir("long_path");
  std::string folder = dir.File("");
  // Five folders of 60 characters: well past 260 with the file name.
  std::vector<std::string> folders;
  for (int level = 0; level < 5; ++level) {
    folder += std::string(59, char('a' + level)) + "/";
    folders.push_back(folder.substr(0, folder.size() - 1));  // without the final separator
  }
  MakeFolder(folder);
  const std::string stem = folder + "movie";
  ASSERT_GT(stem.size() + 5, 300u);
  const std::string input = stem + ".avi";
  std::FILE* copy = platform::OpenFile(input, "wb");
  ASSERT_NE(copy, nullptr);
  const std::vector<uint8_t> movie = ReadWholeFile(std::string(CLIPVANE_TEST_DATA_DIR) + "/" + kMono);
  ASSERT_EQ(std::fwrite(movie.data(), 1, movie.size(), copy), movie.size());
  std::fclose(copy);
  ConvertAndCheck(input, stem);

  // Removed file by file and folder by folder, deepest first: Wine lists
  // folders this deep wrongly, so a recursive removal cannot be trusted.
  for (const char* extension : {".avi", ".qkds", ".wav", ".cbk"}) {
    platform::RemoveFile(stem + extension);
  }
  for (auto at = folders.rbegin(); at != folders.rend(); ++at) EXPECT_TRUE(std::filesystem::remove(LongForm(*at)));
}

}  // namespace
}  // namespace clipvane::testing
