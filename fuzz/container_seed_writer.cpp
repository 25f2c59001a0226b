// Writes small containers (a few records each, mono, stereo and without audio)
// as seeds for container_fuzzer: the converted sample movies are large, and
// the fuzzer gets through many more small inputs in its bounded time.
// Usage: container_seed_writer <directory>

#include <cstdio>
#include <string>

#include "tests/libclipvane/synthetic_container.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: container_seed_writer <directory>\n");
    return 2;
  }
  using clipvane::testing::SyntheticFrame;
  const std::vector<SyntheticFrame> layouts[] = {
      {{40, 2, true}, {13, 1, false}, {0, 3, false}},
      {{90, 3, true}, {7, 0, false}, {31, 2, true}, {2, 1, false}},
      {{5, 1, true}},
  };
  int written = 0;
  for (uint32_t channels = 0; channels <= 2; ++channels) {
    for (std::size_t i = 0; i < std::size(layouts); ++i) {
      std::vector<SyntheticFrame> frames = layouts[i];
      if (channels == 0) {
        for (SyntheticFrame& f : frames) f.blocks = 0;
      }
      const auto c = clipvane::testing::BuildContainer(frames, channels, uint32_t(10 * channels + i));
      const std::string path = std::string(argv[1]) + "/synthetic_" + std::to_string(channels) + "_" +
                               std::to_string(i) + ".qkds";
      std::FILE* f = std::fopen(path.c_str(), "wb");
      if (f == nullptr || std::fwrite(c.bytes.data(), 1, c.bytes.size(), f) != c.bytes.size()) return 1;
      std::fclose(f);
      ++written;
    }
  }
  std::printf("synthetic container seeds: %d\n", written);
  return 0;
}
