#include <string>
#include <vector>

#include "app/driver.h"
#include "platform/files.h"

int main(int argc, char** argv) {
  // Paths are UTF-8 inside, whatever the system hands over.
  clipvane::platform::UseUtf8Console();
  return clipvane::RunClipvane(clipvane::platform::CommandLineArguments(argc, argv));
}
