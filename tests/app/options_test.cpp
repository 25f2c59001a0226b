#include <gtest/gtest.h>

#include "app/options.h"

namespace clipvane {
namespace {

ParsedCommandLine Parse(std::vector<std::string> args) { return ParseCommandLine(args); }

TEST(CommandLine, ReadsEveryOptionIgnoringCase) {
  ParsedCommandLine p = Parse({"-IN", "a.avi", "-Out", "b.qk", "-DebugSound", "d.wav", "-QUALITY", "64",
                               "-CodeBook", "-NOCODEBOOK"});
  ASSERT_TRUE(p.valid);
  EXPECT_EQ(p.options.inputPath, "a.avi");
  EXPECT_EQ(p.options.outputPath, "b.qk");
  EXPECT_EQ(p.options.debugSoundPath, "d.wav");
  EXPECT_EQ(p.options.quality, 64.0f);
  EXPECT_TRUE(p.options.forceRebuild);
  EXPECT_TRUE(p.options.forceKeep);
  EXPECT_TRUE(CanRun(p.options));
}

TEST(CommandLine, DefaultsAndLaterValuesWin) {
  ParsedCommandLine p = Parse({"-in", "first", "-in", "second"});
  ASSERT_TRUE(p.valid);
  EXPECT_EQ(p.options.inputPath, "second");
  EXPECT_EQ(p.options.quality, 128.0f);
  EXPECT_FALSE(p.options.forceRebuild);
  EXPECT_FALSE(p.options.forceKeep);
  EXPECT_FALSE(CanRun(p.options));  // no output path
}

TEST(CommandLine, ValuesMayLookLikeOptions) {
  ParsedCommandLine p = Parse({"-in", "-out", "-out", "-codebook"});
  ASSERT_TRUE(p.valid);
  EXPECT_EQ(p.options.inputPath, "-out");
  EXPECT_EQ(p.options.outputPath, "-codebook");
  EXPECT_FALSE(p.options.forceRebuild);
}

TEST(CommandLine, QualityAcceptsAnyText) {
  EXPECT_EQ(Parse({"-quality", "abc"}).options.quality, 0.0f);
  EXPECT_EQ(Parse({"-quality", "-2.5"}).options.quality, -2.5f);
  EXPECT_EQ(Parse({"-quality", "12xyz"}).options.quality, 12.0f);
  EXPECT_TRUE(Parse({"-quality", "abc"}).valid);
}

TEST(CommandLine, FirstUnusableArgumentIsReportedAsTyped) {
  // A value-taking option with nothing after it.
  ParsedCommandLine p = Parse({"-in", "a", "-out"});
  EXPECT_FALSE(p.valid);
  EXPECT_EQ(p.invalidArgument, "-out");

  // An argument that does not begin with '-', where an option is expected.
  p = Parse({"-in", "a", "b", "-bogus"});
  EXPECT_FALSE(p.valid);
  EXPECT_EQ(p.invalidArgument, "b");

  EXPECT_EQ(Parse({"-"}).invalidArgument, "-");
  EXPECT_EQ(Parse({"-inx", "a"}).invalidArgument, "-inx");
  EXPECT_EQ(Parse({"--in", "a"}).invalidArgument, "--in");
  EXPECT_EQ(Parse({""}).invalidArgument, "");
  EXPECT_FALSE(Parse({""}).valid);
}

TEST(CommandLine, EffortTakesZeroOneOrTwo) {
  EXPECT_EQ(Parse({}).options.effort, 0);
  for (const char* name : {"-effort", "-EFFORT", "-Effort"}) {
    for (int effort = 0; effort <= 2; ++effort) {
      const ParsedCommandLine p = Parse({name, std::to_string(effort), "-in", "a"});
      ASSERT_TRUE(p.valid) << name;
      EXPECT_EQ(p.options.effort, effort);
      EXPECT_EQ(p.options.inputPath, "a");
    }
  }
  for (const char* value : {"3", "-1", "1.0", "01", "one", "", " 1", "2x"}) {
    const ParsedCommandLine p = Parse({"-in", "a", "-effort", value, "-out", "b"});
    EXPECT_FALSE(p.valid) << value;
    EXPECT_EQ(p.error, "Error: -effort takes 0, 1 or 2\n") << value;
  }
  // Without a value it is an unusable argument, as every value-taking option.
  const ParsedCommandLine p = Parse({"-in", "a", "-effort"});
  EXPECT_FALSE(p.valid);
  EXPECT_EQ(p.error, "");
  EXPECT_EQ(p.invalidArgument, "-effort");
}

TEST(CommandLine, EmptyPathsDoNotRun) {
  EXPECT_FALSE(CanRun(Parse({}).options));
  EXPECT_FALSE(CanRun(Parse({"-in", "", "-out", "b"}).options));
  EXPECT_FALSE(CanRun(Parse({"-in", "a", "-out", ""}).options));
}

}  // namespace
}  // namespace clipvane
