#include <string>
#include <vector>

#include "app/driver.h"

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  return clipvane::RunClipvane(arguments);
}
