#include "app/driver.h"

#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <string>

#include "app/options.h"
#include "converter/movie_converter.h"
#include "platform/keyboard.h"
#include "platform/signals.h"

namespace clipvane {

namespace {

double Percentage(const CMovieConverter& converter) {
  return double(converter.FrameIndex()) * 100.0 / double(converter.TotalFrameCount());
}

// After every progress line: a space (or Ctrl-C / SIGTERM) cancels the run, and
// so does a console that can no longer be written to.
bool CancelWanted(platform::ConsoleKeyboard& keyboard) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) return true;
  if (platform::CancelRequested()) return true;
  if (keyboard.KeyWaiting() && keyboard.ReadKey() == ' ') return true;
  return platform::CancelRequested();
}

// The line that shows how far a phase has come, rewritten in place. A line
// identical to the one before it adds nothing on a terminal, and into a file
// or a pipe it only piles up (a long movie gives many steps per hundredth of
// a percent), so it is written only when its text changes.
class ProgressLine {
 public:
  void Show(const char* format, double percentage) {
    char text[512];
    std::snprintf(text, sizeof text, format, percentage);
    if (shown_ == text) return;
    shown_ = text;
    std::fputs(text, stdout);
  }

 private:
  std::string shown_;
};

int Cancelled() {
  std::printf("\n");
  return 1;
}

// A run that cannot complete its output: what went wrong, after any warning.
int Failed(const CMovieConverter& converter) {
  std::fputs(converter.Warning().c_str(), stdout);
  std::fputs(converter.Failure().c_str(), stdout);
  return 1;
}

int Convert(const Options& options) {
  std::printf("Clipvane - converting '%s' to '%s'...\n", options.inputPath.c_str(), options.outputPath.c_str());
  std::printf("Press space to cancel\n");
  std::fflush(stdout);
  platform::InstallCancelSignals();
  platform::ConsoleKeyboard keyboard;

  // Destroying the converter on any early return removes an unfinished output.
  auto converter = std::make_unique<CMovieConverter>();
  ProgressLine progress;
  if (const std::string* message =
          converter->Open(options.inputPath, options.outputPath, options.debugSoundPath, options.quality,
                          options.effort)) {
    std::fputs(message->c_str(), stdout);
    return 1;
  }

  if (converter->AudioSampleRate() != 0) {
    if (converter->DecideCodebookRebuild(options.forceRebuild, options.forceKeep)) {
      while (converter->CollectStep()) {
        progress.Show("\rCollecting codebook...%2.2f %%           ", Percentage(*converter));
        if (CancelWanted(keyboard)) return Cancelled();
      }
      std::printf("\r\n");
      while (converter->BuildStep()) {
        progress.Show("\rBuilding codebook...%2.2f %%            ", double(converter->BuildProgress() * 100));
        if (CancelWanted(keyboard)) return Cancelled();
      }
      std::printf("\rBuilding codebook...%2.2f %%              \n", double(converter->BuildProgress() * 100));
      if (converter->Failed()) return Failed(*converter);
    }
    if (!converter->LoadCodebook()) {
      std::printf("Error: cannot read the codebook...         \n");
      std::printf("Error: the codebook file %s holds too few images for this movie; -codebook rebuilds it\n",
                  converter->CodebookFilePath().c_str());
      return 1;
    }
  }

  while (converter->ConvertStep()) {
    progress.Show("\rConverting file...%2.2f %%             ", Percentage(*converter));
    if (CancelWanted(keyboard)) return Cancelled();
  }
  std::printf("\n");
  if (converter->Failed()) return Failed(*converter);
  std::fputs(converter->Warning().c_str(), stdout);
  return 0;
}

}  // namespace

int RunClipvane(const std::vector<std::string>& arguments) {
  ParsedCommandLine parsed = ParseCommandLine(arguments);
  if (!parsed.valid && !parsed.error.empty()) {
    std::fputs(parsed.error.c_str(), stdout);
    return 1;
  }
  if (!parsed.valid) {
    std::printf("Invalid option %s...\n", parsed.invalidArgument.c_str());
    PrintUsage(stdout);
    return 1;
  }
  if (!CanRun(parsed.options)) {
    PrintUsage(stdout);
    return 1;
  }
  int status = 1;
  try {
    status = Convert(parsed.options);
  } catch (const std::bad_alloc&) {
    // The converter is gone by now, and with it every temporary of the run.
    std::printf("\nError: out of memory\n");
  } catch (const std::exception& error) {
    std::printf("\nError: %s\n", error.what());
  }
  std::fflush(stdout);
  // The converter and the keyboard are gone: nothing unfinished is left and
  // the terminal is back. A run cancelled by a signal now ends by it.
  platform::ReraiseCancelSignal();
  return status;
}

}  // namespace clipvane
