#pragma once
// The command line: -in, -out, -debugsound and -quality take the next argument
// as their value; -codebook and -nocodebook are switches. Names are matched
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
  bool forceRebuild = false;
  bool forceKeep = false;
};

struct ParsedCommandLine {
  Options options;
  bool valid = true;
  std::string invalidArgument;  // the first argument that could not be used, as typed
};

// `arguments` excludes the program name.
ParsedCommandLine ParseCommandLine(const std::vector<std::string>& arguments);

// The run starts only with both an input and an output path.
bool CanRun(const Options& options);

void PrintUsage(std::FILE* out);

}  // namespace clipvane
