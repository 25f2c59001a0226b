#pragma once

#include <string>
#include <vector>

namespace clipvane {

// Runs the whole tool: parse, open, codebook phase, conversion. Returns the
// exit status (0 when the output file was completed, 1 on every other path).
int RunClipvane(const std::vector<std::string>& arguments);

}  // namespace clipvane
