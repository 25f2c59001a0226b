#pragma once
// Reads a container back and checks every layout invariant a player relies on:
// record sizes and alignment, packet sizes from their mode bits filling each
// record exactly, the largest record, the codebook block, padding, seek-table
// offsets pointing at records, and the file size.

#include <cstdint>
#include <string>
#include <vector>

#include "converter/container.h"

namespace clipvane::testing {

struct CheckedRecord {
  uint64_t offset = 0;
  uint16_t blockCount = 0;
  std::vector<uint8_t> video;  // the payload before the audio
  std::vector<uint8_t> audio;  // all packets, in block and channel order
};

struct CheckedContainer {
  ContainerHeader header;
  std::vector<CheckedRecord> records;
  std::vector<uint8_t> codebookBlock;
  std::vector<SeekEntry> seekTable;
  uint64_t fileSize = 0;
};

// Returns an empty string when the file is a valid container, else what is wrong.
// `videoBytes(i)` gives record i's expected video payload size (the input
// frame's size minus 4, or 0); the checker needs it to split video from audio.
std::string CheckContainer(const std::string& path, const std::vector<uint32_t>& videoPayloadBytes,
                           CheckedContainer& out);

std::vector<uint8_t> ReadWholeFile(const std::string& path);

}  // namespace clipvane::testing
