#include <string>
#include <vector>

#include "probe/probe.h"

int main(int argc, char** argv) {
  return clipvane::probe::RunProbe(std::vector<std::string>(argv + 1, argv + argc));
}
