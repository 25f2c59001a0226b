#include <string>
#include <vector>

#include "app/driver.h"
#include "platform/files.h"
#include "platform/signals.h"

int main(int argc, char** argv) {
  // Before anything is opened: a closed standard stream must not lend its
  // number to the movie or the output.
  clipvane::platform::OpenMissingStandardStreams();
  // Paths are UTF-8 inside, whatever the system hands over.
  clipvane::platform::UseUtf8Console();
  return clipvane::RunClipvane(clipvane::platform::CommandLineArguments(argc, argv));
}
