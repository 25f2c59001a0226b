#include "app/options.h"

#include <cstdlib>
#include <strings.h>

namespace clipvane {

namespace {

bool NameIs(const std::string& argument, const char* name) {
  return strcasecmp(argument.c_str() + 1, name) == 0;
}

}  // namespace

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
  ParsedCommandLine parsed;
  Options& o = parsed.options;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    bool hasValue = i + 1 < arguments.size();
    bool matched = false;
    if (!argument.empty() && argument[0] == '-') {
      matched = true;
      if (NameIs(argument, "in") && hasValue) {
        o.inputPath = arguments[++i];
      } else if (NameIs(argument, "out") && hasValue) {
        o.outputPath = arguments[++i];
      } else if (NameIs(argument, "debugsound") && hasValue) {
        o.debugSoundPath = arguments[++i];
      } else if (NameIs(argument, "codebook")) {
        o.forceRebuild = true;
      } else if (NameIs(argument, "nocodebook")) {
        o.forceKeep = true;
      } else if (NameIs(argument, "effort") && hasValue) {
        const std::string& value = arguments[++i];
        if (value != "0" && value != "1" && value != "2") {
          parsed.valid = false;
          parsed.error = "Error: -effort takes 0, 1 or 2\n";
          return parsed;
        }
        o.effort = value[0] - '0';
      } else if (NameIs(argument, "quality") && hasValue) {
        // Text that is not a number gives 0.0; any value is accepted.
        o.quality = float(std::strtod(arguments[++i].c_str(), nullptr));
      } else {
        matched = false;
      }
    }
    if (!matched) {
      parsed.valid = false;
      parsed.invalidArgument = argument;
      return parsed;
    }
  }
  return parsed;
}

bool CanRun(const Options& options) { return !options.inputPath.empty() && !options.outputPath.empty(); }

void PrintUsage(std::FILE* out) {
  std::fputs("Clipvane v 1.6.0.5 - movie converter for video codec 'qks1'\n", out);
  std::fputs("Syntax: Clipvane <commands>\n", out);
  std::fputs("<commands> can be:\n", out);
  std::fputs("\t-in <inputfile>\n", out);
  std::fputs("\t-out <outputfile>\n", out);
  std::fputs("\t-codebook (force to rebuild the codebook)\n", out);
  std::fputs("\t-nocodebook (force to not rebuild the codebook)\n", out);
  std::fputs("\t-quality <quality factor> (default 128.f)\n", out);
  std::fputs("\t-debugsound <ouputfile.wav>\n", out);
}

}  // namespace clipvane
