#pragma once
// clipvane-probe: what is in a container, and is it right. Each command
// returns the process's exit status; errors go to standard error.

#include <string>
#include <vector>

namespace clipvane::probe {

int RunProbe(const std::vector<std::string>& arguments);

}  // namespace clipvane::probe
