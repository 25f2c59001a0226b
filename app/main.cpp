#include <string>
#include <vector>

#include "app/driver.h"
#include "platform/signals.h"

int main(int argc, char** argv) {
  // Before anything is opened: a closed standard stream must not lend its
  // number to the movie or the output.
  clipvane::platform::OpenMissingStandardStreams();
  std::vector<std::string> arguments(argv + 1, argv + argc);
  return clipvane::RunClipvane(arguments);
}
