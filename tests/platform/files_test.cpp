// The platform's file API on the names users give: letters beyond ASCII in
// several scripts, and paths longer than 260 characters.

#include "platform/files.h"

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/file_time.h"

namespace clipvane::platform {
namespace {

namespace fs = std::filesystem;

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("clipvane_files_" + std::to_string(std::random_device()()));
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  std::string Path(const std::string& name) const { return Utf8FromPath(root_) + "/" + name; }

  static bool Write(const std::string& path, const std::string& bytes) {
    std::FILE* f = OpenFile(path, "wb");
    if (f == nullptr) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && written;
  }
  static std::string Read(const std::string& path) {
    std::FILE* f = OpenFile(path, "rb");
    if (f == nullptr) return "<missing>";
    std::string bytes;
    char buffer[256];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) bytes.append(buffer, n);
    std::fclose(f);
    return bytes;
  }

  fs::path root_;
};

// UTF-8 names in Latin with accents, Cyrillic, Greek, CJK and a symbol
// outside the Basic Multilingual Plane (a surrogate pair in UTF-16).
const std::vector<std::string> kNames = {
    "d\xC3\xA9j\xC3\xA0 vu.avi",
    "\xD1\x84\xD0\xB8\xD0\xBB\xD1\x8C\xD0\xBC.avi",
    "\xCF\x84\xCE\xB1\xCE\xB9\xCE\xBD\xCE\xAF\xCE\xB1.cbk",
    "\xE6\x98\xA0\xE7\x94\xBB.wav",
    "\xF0\x9F\x8E\xAC clip.qkds",
};

TEST_F(FilesTest, NamesBeyondAsciiOpenRenameAndRemove) {
  for (const std::string& name : kNames) {
    SCOPED_TRACE(name);
    const std::string path = Path(name);
    // Binary: bytes that text mode would change come back unchanged.
    const std::string bytes = std::string("a\r\nb\n\x1A", 6) + name;
    ASSERT_TRUE(Write(path, bytes));
    EXPECT_EQ(Read(path), bytes);
    // The name on disk is the one given, not a code-page rendering of it.
    EXPECT_TRUE(fs::exists(root_ / PathFromUtf8(name)));
    EXPECT_TRUE(IsReadableFile(path));
    EXPECT_TRUE(LastWriteTime(path).has_value());

    // Appending keeps what is there.
    std::FILE* f = OpenFile(path, "ab");
    ASSERT_NE(f, nullptr);
    std::fputs("+", f);
    std::fclose(f);
    EXPECT_EQ(Read(path), bytes + "+");

    // A rename replaces a file already holding the new name.
    const std::string renamed = Path("\xC3\xBC" + name);
    ASSERT_TRUE(Write(renamed, "old"));
    EXPECT_TRUE(RenameFile(path, renamed));
    EXPECT_EQ(Read(renamed), bytes + "+");
    EXPECT_FALSE(IsReadableFile(path));

    EXPECT_TRUE(RemoveFile(renamed));
    EXPECT_FALSE(IsReadableFile(renamed));
    EXPECT_FALSE(RemoveFile(renamed)) << "a missing file cannot be removed";
    EXPECT_FALSE(RenameFile(renamed, path)) << "a missing file cannot be renamed";
  }
  EXPECT_EQ(OpenFile(Path("missing \xC3\xA9.avi"), "rb"), nullptr);
}

// Folders are made and removed here in the form that takes long paths on
// Windows (\\?\ and an absolute path); the API under test does that itself.
fs::path LongForm(const fs::path& path) {
#if defined(_WIN32)
  return fs::path(L"\\\\?\\" + fs::absolute(path).lexically_normal().make_preferred().wstring());
#else
  return path;
#endif
}

TEST_F(FilesTest, PathsLongerThan260Characters) {
  std::string folder = Path("");
  std::vector<fs::path> folders;
  fs::path native = root_;
  for (int level = 0; level < 5; ++level) {
    const std::string part(50, char('a' + level));
    folder += part + "/";
    native /= part;
    folders.push_back(native);
    ASSERT_TRUE(fs::create_directory(LongForm(native)));
  }
  const std::string path = folder + "\xC3\xA9" "cran " + std::string(40, 'x') + ".avi";
  ASSERT_GT(path.size(), 300u);
  ASSERT_TRUE(Write(path, "long"));
  EXPECT_EQ(Read(path), "long");
  EXPECT_TRUE(IsReadableFile(path));
  ASSERT_TRUE(LastWriteTime(path).has_value());
  const std::string relativeUp = folder + "../" + std::string(50, 'e') + "/second.avi";
  ASSERT_TRUE(RenameFile(path, relativeUp)) << "'..' inside a long path is resolved";
  EXPECT_EQ(Read(folder + "second.avi"), "long");
  EXPECT_TRUE(RemoveFile(folder + "second.avi"));
  EXPECT_FALSE(IsReadableFile(path));
  // Deepest first, one by one: Wine lists folders this deep wrongly, so a
  // recursive removal cannot be trusted with them.
  for (auto at = folders.rbegin(); at != folders.rend(); ++at) EXPECT_TRUE(fs::remove(LongForm(*at)));
}

TEST(PathConversion, Utf8SurvivesTheRoundTripThroughStdFilesystem) {
  for (const std::string& name : kNames) {
    const fs::path path = PathFromUtf8("folder/" + name);
    EXPECT_EQ(Utf8FromPath(path), "folder/" + name);
    EXPECT_EQ(Utf8FromPath(path.filename()), name);
    EXPECT_EQ(Utf8FromPath(fs::path(path).replace_extension(".cbk").filename()),
              name.substr(0, name.rfind('.')) + ".cbk");
  }
}

}  // namespace
}  // namespace clipvane::platform
