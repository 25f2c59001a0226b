// The tool as a person and as a script meet it: keys typed on a terminal,
// Ctrl-C, Ctrl-Z and `fg`, signals from elsewhere, standard input that is a
// pipe or a file, closed standard streams, and progress lines written into a
// pipe. Whatever ends a run early, nothing unfinished is left on disk and the
// terminal gets its settings back.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>

#include "tests/e2e/container_checker.h"
#include "tests/e2e/test_movies.h"
#include "tests/e2e/tool_runner.h"

namespace clipvane::testing {
namespace {

// A movie long enough that a run is still busy when the test acts on it.
TestMovie LongMovie(int frames, uint16_t channels) {
  TestMovie movie;
  movie.channels = channels;
  for (int i = 0; i < frames; ++i) {
    movie.frames.push_back(std::vector<uint8_t>(40 + std::size_t(i % 5) * 9, uint8_t(i)));
    movie.keyFrames.push_back(i % 25 == 0);
  }
  const std::size_t sampleFrames = channels == 0 ? 0 : std::size_t(frames) * movie.sampleRate / movie.rate;
  for (std::size_t n = 0; n < sampleFrames; ++n) {
    for (uint16_t c = 0; c < channels; ++c) {
      movie.samples.push_back(int16_t(5000.0 * std::sin(double(n) * (0.05 + 0.03 * c)) + double(n % 97) * 20.0));
    }
  }
  return movie;
}

// Nothing of an unfinished run: no output, no side file, no half-written side file.
void ExpectNothingLeft(const ScratchDir& dir, const std::string& output, const std::string& movieName) {
  EXPECT_FALSE(Exists(dir.File(output))) << "the unfinished output is still there";
  EXPECT_FALSE(Exists(dir.File(output + ".part"))) << "its temporary is still there";
  EXPECT_FALSE(Exists(dir.File(movieName + ".cbk")));
  EXPECT_FALSE(Exists(dir.File(movieName + ".cbk.part")));
}

struct KeyCase {
  const char* name;
  const char* movie;
  std::string keys;          // typed before the start; the tool reads one per poll
  const char* shown;         // a progress line the run reached
  const char* notShown;      // a phase it never reached
  int carriageReturns;       // progress lines written, or -1
};

TEST(Keys, OnlyTheSpaceCancelsAndTheRunLeavesNothing) {
  const KeyCase cases[] = {
      // Other keys are ignored; the space on the fourth poll cancels.
      {"converting", kSilent, "abc def", "Converting file...", "Collecting", 4},
      {"collecting", kStereo, " ", "Collecting codebook...", "Building", 1},
      // 150 collecting polls read 150 other keys; the space comes while the
      // second channel trains (two channels always give a building poll).
      {"building", kStereo, std::string(150, 'x') + " ", "\rBuilding codebook...", "Converting", -1},
  };
  for (const KeyCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir(std::string("keys_") + c.name);
    const std::string input = dir.Copy(c.movie, "movie.avi");
    ToolLaunch launch({"-in", input, "-out", dir.File("o")});
    launch.input = Input::kTerminal;
    launch.text = c.keys;
    ToolProcess process(launch);
    const ToolResult r = process.Wait();
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_TRUE(Has(r.output, c.shown)) << r.output;
    EXPECT_FALSE(Has(r.output, c.notShown)) << r.output;
    if (c.carriageReturns >= 0) {
      EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\r'), c.carriageReturns);
    }
    EXPECT_EQ(r.output.back(), '\n');
    ExpectNothingLeft(dir, "o", "movie");
    EXPECT_TRUE(process.TerminalCooked()) << "the terminal keeps the tool's key mode";
  }
}

TEST(Keys, ACancelledRunLeavesNoDebugSoundAndKeepsAnEarlierOne) {
  ScratchDir dir("keys_debug");
  const std::string input = dir.Copy(kMono, "movie.avi");
  ASSERT_EQ(RunTool({"-in", input, "-out", dir.File("o"), "-debugsound", dir.File("o.wav")}).status, 0);
  const std::vector<uint8_t> output = ReadWholeFile(dir.File("o"));
  const std::vector<uint8_t> sound = ReadWholeFile(dir.File("o.wav"));
  const ToolResult r = RunToolWithKeys({"-in", input, "-out", dir.File("o"), "-debugsound", dir.File("o.wav")}, "xx ");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(ReadWholeFile(dir.File("o")), output);
  EXPECT_EQ(ReadWholeFile(dir.File("o.wav")), sound);
  EXPECT_FALSE(Exists(dir.File("o.part")));
  EXPECT_FALSE(Exists(dir.File("o.wav.part")));
}

struct SignalCase {
  const char* name;
  const char* waitFor;  // the progress text after which the signal comes
  const char* typed;    // keys typed on the terminal, or nullptr
  int sent;             // a signal sent from elsewhere, or 0
  int expected;         // the signal the tool must die of
};

// Ctrl-C (and SIGTERM, SIGHUP) ends the run by the signal itself once it has
// cleaned up, so a shell loop around the tool stops (status 130 for Ctrl-C).
TEST(Signals, EndTheRunByTheSignalWithNothingLeft) {
  ScratchDir dir("signals");
  ASSERT_TRUE(WriteTestMovie(dir.File("long.avi"), LongMovie(1500, 2)));
  const SignalCase cases[] = {
      {"Ctrl-C", "Collecting codebook...", "\x03", 0, SIGINT},
      {"SIGTERM", "Collecting codebook...", nullptr, SIGTERM, SIGTERM},
      {"SIGHUP", "Collecting codebook...", nullptr, SIGHUP, SIGHUP},
  };
  for (const SignalCase& c : cases) {
    SCOPED_TRACE(c.name);
    ToolLaunch launch({"-in", dir.File("long.avi"), "-out", dir.File("o")}, Input::kTerminal);
    ToolProcess process(launch);
    ASSERT_TRUE(process.ReadUntil(c.waitFor));
    if (c.typed != nullptr) {
      ASSERT_TRUE(process.Type(c.typed));
    }
    if (c.sent != 0) process.Signal(c.sent);
    const ToolResult r = process.Wait();
    EXPECT_EQ(r.signal, c.expected) << r.output;
    EXPECT_EQ(r.status, 128 + c.expected);
    ExpectNothingLeft(dir, "o", "long");
    EXPECT_TRUE(process.TerminalCooked());
  }
}

// A second signal before the driver has cleaned up ends the process at once,
// and still nothing unfinished is left. Sent while the tool is stopped in the
// middle of training (the side file's first image is written), both arrive
// together when it continues.
TEST(Signals, ASecondOneEndsTheRunAtOnceWithNothingLeft) {
  ScratchDir dir("signals_twice");
  ASSERT_TRUE(WriteTestMovie(dir.File("long.avi"), LongMovie(1500, 2)));
  ToolLaunch launch({"-in", dir.File("long.avi"), "-out", dir.File("o")}, Input::kTerminal);
  ToolProcess process(launch);
  ASSERT_TRUE(process.ReadUntil("Collecting codebook"));
  process.Signal(SIGSTOP);
  ASSERT_TRUE(process.AwaitStop());
  ASSERT_TRUE(Exists(dir.File("o.part")));
  process.Signal(SIGINT);
  process.Signal(SIGTERM);
  ASSERT_TRUE(process.Foreground());
  const ToolResult r = process.Wait();
  // Each thread may take one of them; the one that comes second is the one the process dies of.
  EXPECT_TRUE(r.signal == SIGINT || r.signal == SIGTERM) << r.status << " " << r.output;
  EXPECT_FALSE(Has(r.output, "Converting"));
  ExpectNothingLeft(dir, "o", "long");
  EXPECT_TRUE(process.TerminalCooked());
}

struct StopCase {
  const char* name;
  const char* typed;  // Ctrl-Z on the terminal, or nullptr
  int sent;           // or a stop sent from elsewhere
  int cookedAtStop;   // whether the tool could give the terminal back before stopping
};

// After a stop and `fg`, whatever the shell did to the terminal meanwhile,
// the space bar cancels again.
TEST(StopAndContinue, TheSpaceStillCancelsAfterward) {
  ScratchDir dir("stop");
  ASSERT_TRUE(WriteTestMovie(dir.File("long.avi"), LongMovie(1500, 2)));
  const StopCase cases[] = {
      {"Ctrl-Z", "\x1a", 0, 1},
      {"SIGSTOP", nullptr, SIGSTOP, 0},  // cannot be caught: the terminal stays as it was
  };
  for (const StopCase& c : cases) {
    SCOPED_TRACE(c.name);
    ToolLaunch launch({"-in", dir.File("long.avi"), "-out", dir.File("o")}, Input::kTerminal);
    ToolProcess process(launch);
    ASSERT_TRUE(process.ReadUntil("Collecting codebook..."));
    if (c.typed != nullptr) {
      ASSERT_TRUE(process.Type(c.typed));
    }
    if (c.sent != 0) process.Signal(c.sent);
    ASSERT_TRUE(process.AwaitStop());
    EXPECT_EQ(process.CookedAtStop(), c.cookedAtStop);
    ASSERT_TRUE(process.Foreground());
    ASSERT_TRUE(process.Type(" "));
    const ToolResult r = process.Wait();
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_TRUE(Has(r.output, "Collecting codebook...")) << r.output;
    EXPECT_FALSE(Has(r.output, "Converting")) << "the space was not seen: " << r.output;
    ExpectNothingLeft(dir, "o", "long");
    EXPECT_TRUE(process.TerminalCooked());
  }
}

TEST(Signals, AConsoleThatGoesAwayCancels) {
  ScratchDir dir("console_gone");
  ASSERT_TRUE(WriteTestMovie(dir.File("long.avi"), LongMovie(1500, 1)));
  ToolProcess process({"-in", dir.File("long.avi"), "-out", dir.File("o")});
  ASSERT_TRUE(process.ReadUntil("Collecting codebook..."));
  process.CloseOutput();
  EXPECT_EQ(process.Wait().status, 1);
  ExpectNothingLeft(dir, "o", "long");
}

// Standard input that is not a terminal belongs to whoever runs the tool: a
// space in it cancels nothing and none of it is read.
TEST(Input, APipeOrAFileIsNeverReadAsKeys) {
  const struct {
    const char* name;
    Input input;
    std::string text;
  } cases[] = {
      {"pipe", Input::kPipe, "  \nb.avi\n"},
      {"file", Input::kFile, " x \n"},
      {"null", Input::kNull, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir(std::string("input_") + c.name);
    const std::string input = dir.Copy(kMono, "movie.avi");
    ToolLaunch launch({"-in", input, "-out", dir.File("o")});
    launch.input = c.input;
    launch.text = c.text;
    ToolProcess process(launch);
    const ToolResult r = process.Wait();
    EXPECT_EQ(r.status, 0) << r.output;
    CheckedContainer container;
    EXPECT_EQ(CheckContainer(dir.File("o"), PayloadsOf(input), container), "");
    EXPECT_EQ(process.InputLeft(), c.text) << "the tool read its standard input";
  }
}

TEST(Input, AShellLoopReadingNamesConvertsEveryMovie) {
  ScratchDir dir("shell_loop");
  dir.Copy(kSilent, "a.avi");
  dir.Copy(kSilent, "b.avi");
  dir.Copy(kSilent, "c.avi");
  ToolLaunch launch;
  launch.program = "/bin/sh";
  launch.hostProgram = true;
  launch.args = {"-c", "while read f; do " + LauncherPrefix() + "'" + CLIPVANE_TOOL_PATH +
                           "' -in \"$f\" -out \"$f.out\"; done"};
  launch.input = Input::kPipe;
  launch.text = "a.avi\nb.avi\nc.avi\n";
  launch.dir = dir.Path();
  const ToolResult r = RunToolAs(launch);
  EXPECT_EQ(r.status, 0) << r.output;
  for (const char* name : {"a.avi", "b.avi", "c.avi"}) {
    CheckedContainer container;
    EXPECT_EQ(CheckContainer(dir.File(std::string(name) + ".out"), PayloadsOf(dir.File(name)), container), "")
        << name;
  }
}

// A closed standard stream gets /dev/null at the start, so neither the movie
// nor the output takes its number (progress lines written into the output, or
// the movie read as standard input).
TEST(StandardStreams, AClosedOneLendsItsNumberToNoFile) {
  for (int closed : {0, 1, 2}) {
    SCOPED_TRACE(closed);
    ScratchDir dir("closed_" + std::to_string(closed));
    const std::string input = dir.Copy(kMono, "movie.avi");
    ToolLaunch launch({"-in", input, "-out", dir.File("o"), "-debugsound", dir.File("o.wav")});
    launch.closedDescriptors = {closed};
    const ToolResult r = RunToolAs(launch);
    EXPECT_EQ(r.status, 0) << r.output;
    if (closed != 1) {
      EXPECT_TRUE(Has(r.output, "\rConverting file...100.00 %             \n"));
    }
    CheckedContainer container;
    EXPECT_EQ(CheckContainer(dir.File("o"), PayloadsOf(input), container), "");
    // The debug sound file was completed, and nothing else was written into it.
    const std::vector<uint8_t> sound = ReadWholeFile(dir.File("o.wav"));
    ASSERT_GT(sound.size(), 44u);
    EXPECT_EQ(LoadLE32(&sound[4]), sound.size() - 8);
  }
}

// Progress lines split at their carriage returns and line ends.
std::vector<std::string> ProgressLines(const std::string& output) {
  std::vector<std::string> lines;
  std::string line;
  for (char ch : output) {
    if (ch == '\r' || ch == '\n') {
      if (!line.empty()) lines.push_back(line);
      line.clear();
    } else {
      line += ch;
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

// Into a pipe, a line identical to the one before it is not written again:
// a movie with more frames than hundredths of a percent, and the training
// phase, whose progress moves slower than the driver polls.
TEST(Progress, IntoAPipeNoLineIsWrittenTwiceInARow) {
  ScratchDir dir("progress");
  TestMovie many = LongMovie(25000, 0);
  ASSERT_TRUE(WriteTestMovie(dir.File("many.avi"), many));
  dir.Copy(kStereo, "stereo.avi");
  const struct {
    const char* movie;
    const char* last;
    std::size_t maxLines;
  } cases[] = {
      // Every hundredth of a percent once, plus the banner lines.
      {"many.avi", "Converting file...100.00 %             ", 10001 + 2},
      {"stereo.avi", "Building codebook...100.00 %              ", 1000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.movie);
    const ToolResult r = RunTool({"-in", dir.File(c.movie), "-out", dir.File("o")});
    ASSERT_EQ(r.status, 0) << r.output.substr(0, 2000);
    const std::vector<std::string> lines = ProgressLines(r.output);
    EXPECT_LE(lines.size(), c.maxLines);
    EXPECT_NE(std::find(lines.begin(), lines.end(), c.last), lines.end());
    for (std::size_t i = 1; i < lines.size(); ++i) {
      ASSERT_NE(lines[i], lines[i - 1]) << "line " << i;
    }
  }
}

}  // namespace
}  // namespace clipvane::testing
