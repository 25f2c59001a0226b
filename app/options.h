#pragma once
// The command line: -in, -out, -debugsound, -quality and -effort take the next
// argument as their value; -codebook and -nocodebook are switches. Names are matched
// ignoring letter case.

#include <cstdio>
#include <string>
#include <vector>

namespace clipvane {

struct Options {
  std::string inputPath;
  std::string outputPath;
  std::string debugSoundPath;
  float quality = 128.0f;
  int effort = 0;  // the encoder's search effort, 0..2
  bool forceRebuild = false;
  bool forceKeep = false;
};

struct ParsedCommandLine {
  Options options;
  bool valid = true;
  std::string invalidArgument;  // the first argument that could not be used, as typed
  std::string error;            // or, when set, the message for a value out of range (valid is false)
};

// `arguments` excludes the program name.
ParsedCommandLine ParseCommandLine(const std::vector<std::string>& arguments);

// The run starts only with both an input and an output path.
bool CanRun(const Options& options);

void PrintUsage(std::FILE* out);

}  // namespace clipvane
