// The player library's reading of containers: what it accepts, what it
// refuses (and with which code), and the audio calls' checks.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <new>
#include <set>
#include <stdexcept>
#include <string>

#include "../codec/guarded_buffer.h"
#include "clipvane.h"
#include "codec/audio_decoder.h"
#include "libclipvane/container_index.h"
#include "synthetic_container.h"

extern "C" int clipvane_c_interface_check(void);

namespace clipvane {
namespace {

using testing::BuildContainer;
using testing::MemoryFile;
using testing::SyntheticContainer;

// Three key frames (0, 3, 5), a frame without audio blocks, a frame without video.
const std::vector<testing::SyntheticFrame> kFrames = {
    {301, 3, true}, {157, 2, false}, {0, 4, false}, {90, 3, true}, {44, 0, false}, {1201, 5, true}, {7, 1, false}};

struct Opened {
  MemoryFile file;
  clipvane_container* handle = nullptr;
  int status = 0;
  explicit Opened(const std::vector<uint8_t>& bytes) {
    file.bytes = &bytes;
    status = clipvane_open_io(&testing::kMemoryIo, &file, &handle);
  }
  ~Opened() { clipvane_close(handle); }
};

TEST(ClipvaneInterface, VersionAndErrorNames) {
  EXPECT_EQ(clipvane_version(), CLIPVANE_VERSION);
  EXPECT_STREQ(clipvane_version_string(), CLIPVANE_VERSION_STRING);
  EXPECT_STREQ(CLIPVANE_VERSION_STRING, CLIPVANE_PROJECT_VERSION);
  std::set<std::string> names;
  for (int code = CLIPVANE_ERROR_NO_AUDIO; code <= CLIPVANE_OK; ++code) names.insert(clipvane_error_string(code));
  EXPECT_EQ(names.size(), std::size_t(1 - CLIPVANE_ERROR_NO_AUDIO)) << "every code has its own text";
  EXPECT_EQ(names.count(clipvane_error_string(-1000)), 0u);
  EXPECT_EQ(clipvane_c_interface_check(), 0) << "the header as C99";
}

TEST(ClipvaneContainer, ReadsHeaderRecordsAndSeekTable) {
  const SyntheticContainer c = BuildContainer(kFrames, 2);
  Opened o(c.bytes);
  ASSERT_EQ(o.status, CLIPVANE_OK);
  clipvane_header h;
  ASSERT_EQ(clipvane_get_header(o.handle, &h), CLIPVANE_OK);
  EXPECT_EQ(std::memcmp(h.magic, "QKDS", 4), 0);
  EXPECT_EQ(h.audioChannels, 2u);
  EXPECT_EQ(h.seekEntryCount, 3u);
  EXPECT_EQ(clipvane_file_size(o.handle), c.bytes.size());
  ASSERT_EQ(clipvane_frame_count(o.handle), kFrames.size());

  clipvane_record r;
  uint32_t frame = 0;
  while (clipvane_next_record(o.handle, &r) == 1) {
    EXPECT_EQ(r.frame, frame);
    EXPECT_EQ(r.offset, c.recordOffsets[frame]);
    EXPECT_EQ(r.blockCount, kFrames[frame].blocks);
    EXPECT_EQ(r.keyFrame != 0, kFrames[frame].key);
    EXPECT_EQ(r.payloadBytes + 4, r.size);
    EXPECT_EQ(r.size % 4, 0u);
    EXPECT_GE(clipvane_record_audio_bytes(o.handle, &r, c.videoBytes[frame]), int(r.blockCount * 2 * 10));
    ++frame;
  }
  EXPECT_EQ(frame, kFrames.size());
  EXPECT_EQ(clipvane_next_record(o.handle, &r), 0);

  // Key frame at or before each frame.
  const int64_t expected[] = {0, 0, 0, 3, 3, 5, 5, 5, 5};
  for (uint32_t f = 0; f < 9; ++f) EXPECT_EQ(clipvane_key_frame_at_or_before(o.handle, f), expected[f]) << f;
  clipvane_seek_entry e;
  ASSERT_EQ(clipvane_get_seek_entry(o.handle, 1, &e), CLIPVANE_OK);
  EXPECT_EQ(e.frame, 3u);
  EXPECT_EQ(e.offset, c.recordOffsets[3]);
  EXPECT_EQ(clipvane_get_seek_entry(o.handle, 3, &e), CLIPVANE_ERROR_NO_FRAME);
  EXPECT_EQ(clipvane_read_record(o.handle, 7, &r), CLIPVANE_ERROR_NO_FRAME);

  // Rewinding makes the walk start again at that frame.
  ASSERT_EQ(clipvane_rewind(o.handle, 5), CLIPVANE_OK);
  ASSERT_EQ(clipvane_next_record(o.handle, &r), 1);
  EXPECT_EQ(r.frame, 5u);
  uint8_t image[CLIPVANE_CODEBOOK_IMAGE_BYTES];
  ASSERT_EQ(clipvane_get_codebook(o.handle, 1, image), CLIPVANE_OK);
  EXPECT_EQ(std::memcmp(image, ToImage(BuiltInCodebook()).data(), sizeof image), 0);
  EXPECT_EQ(clipvane_get_codebook(o.handle, 2, image), CLIPVANE_ERROR_ARGUMENT);
}

TEST(ClipvaneContainer, TheTrueVideoSizeIsAmongTheConsistentOnes) {
  const SyntheticContainer c = BuildContainer(kFrames, 1, 7);
  Opened o(c.bytes);
  ASSERT_EQ(o.status, CLIPVANE_OK);
  clipvane_record r;
  while (clipvane_next_record(o.handle, &r) == 1) {
    uint32_t sizes[256];
    const int n = clipvane_find_video_sizes(o.handle, &r, sizes, 256);
    ASSERT_GE(n, 1);
    EXPECT_TRUE(std::find(sizes, sizes + std::min(n, 256), c.videoBytes[r.frame]) != sizes + std::min(n, 256));
    // A size one byte off leaves the packets misaligned with the record's end
    // unless it happens to be another consistent size.
    const bool offByOneConsistent = std::find(sizes, sizes + n, c.videoBytes[r.frame] + 1) != sizes + n;
    EXPECT_EQ(clipvane_record_audio_bytes(o.handle, &r, c.videoBytes[r.frame] + 1) >= 0, offByOneConsistent);
    EXPECT_EQ(clipvane_record_audio_bytes(o.handle, &r, r.payloadBytes + 1), CLIPVANE_ERROR_AUDIO_LAYOUT);
  }
}

// The search for candidate sizes gives exactly the sizes the layout check
// accepts, on records of random bytes where many chains of packets overlap.
TEST(ClipvaneContainer, CandidateSearchMatchesTheLayoutCheck) {
  const SyntheticContainer c = BuildContainer(kFrames, 1, 7);
  Opened o(c.bytes);
  ASSERT_EQ(o.status, CLIPVANE_OK);
  uint32_t seed = 12345;
  for (const uint32_t blocks : {0u, 1u, 3u, 40u}) {
    std::vector<uint8_t> payload(blocks * 2 * 20 + 200);
    for (uint8_t& b : payload) b = uint8_t((seed = seed * 1664525u + 1013904223u) >> 24);
    std::fill(payload.end() - 2, payload.end(), uint8_t(0));
    clipvane_record r{};
    r.blockCount = blocks;
    r.payload = payload.data();
    r.payloadBytes = uint32_t(payload.size());
    std::vector<uint32_t> expected;
    for (uint32_t v = 0; v <= r.payloadBytes; ++v) {
      if (clipvane_record_audio_bytes(o.handle, &r, v) >= 0) expected.push_back(v);
    }
    std::vector<uint32_t> found(payload.size() + 1);
    const int n = clipvane_find_video_sizes(o.handle, &r, found.data(), found.size());
    ASSERT_GE(n, 0);
    found.resize(std::size_t(n));
    EXPECT_EQ(found, expected) << blocks << " blocks";
    if (blocks <= 3) {
      EXPECT_FALSE(expected.empty()) << blocks << " blocks";
    }
  }
}

TEST(ClipvaneContainer, NoAudio) {
  const SyntheticContainer c = BuildContainer({{100, 0, true}, {33, 0, false}, {0, 0, false}}, 0);
  Opened o(c.bytes);
  ASSERT_EQ(o.status, CLIPVANE_OK);
  clipvane_decoder* d = nullptr;
  EXPECT_EQ(clipvane_decoder_create(o.handle, &d), CLIPVANE_ERROR_NO_AUDIO);
  EXPECT_EQ(d, nullptr);
  uint8_t image[CLIPVANE_CODEBOOK_IMAGE_BYTES];
  EXPECT_EQ(clipvane_get_codebook(o.handle, 0, image), CLIPVANE_ERROR_NO_AUDIO);
  clipvane_record r;
  ASSERT_EQ(clipvane_read_record(o.handle, 1, &r), CLIPVANE_OK);
  EXPECT_EQ(r.payloadBytes, 36u);  // 33 bytes of video and 3 of padding
  EXPECT_EQ(clipvane_record_audio_bytes(o.handle, &r, 33), 0);
  // An empty record: its payload may be given as a null pointer.
  ASSERT_EQ(clipvane_read_record(o.handle, 2, &r), CLIPVANE_OK);
  EXPECT_EQ(r.payloadBytes, 0u);
  r.payload = nullptr;
  uint32_t size = 99;
  EXPECT_EQ(clipvane_find_video_sizes(o.handle, &r, &size, 1), 1);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(clipvane_record_audio_bytes(o.handle, &r, 0), 0);
  r.payloadBytes = 4;
  EXPECT_EQ(clipvane_record_audio_bytes(o.handle, &r, 0), CLIPVANE_ERROR_ARGUMENT);
}

// One broken rule per case: the code open returns.
struct Breakage {
  const char* name;
  std::function<void(SyntheticContainer&)> breakIt;
  int expected;
};

void SetHeaderField(SyntheticContainer& c, std::size_t offset, uint32_t value) { StoreLE32(&c.bytes[offset], value); }

TEST(ClipvaneContainer, RefusesBrokenContainers) {
  const Breakage cases[] = {
      {"shorter than a header", [](SyntheticContainer& c) { c.bytes.resize(47); }, CLIPVANE_ERROR_NOT_CONTAINER},
      {"wrong magic", [](SyntheticContainer& c) { c.bytes[3] = 'X'; }, CLIPVANE_ERROR_NOT_CONTAINER},
      {"three channels", [](SyntheticContainer& c) { SetHeaderField(c, 28, 3); }, CLIPVANE_ERROR_HEADER},
      {"audio rate without channels", [](SyntheticContainer& c) { SetHeaderField(c, 28, 0); }, CLIPVANE_ERROR_HEADER},
      {"channels without audio rate", [](SyntheticContainer& c) { SetHeaderField(c, 24, 0); }, CLIPVANE_ERROR_HEADER},
      {"codebook offset unaligned", [](SyntheticContainer& c) { SetHeaderField(c, 36, c.header.codebookOffset + 2); },
       CLIPVANE_ERROR_HEADER},
      {"codebook inside the header", [](SyntheticContainer& c) { SetHeaderField(c, 36, 8); }, CLIPVANE_ERROR_HEADER},
      {"codebook runs into the seek table",
       [](SyntheticContainer& c) { SetHeaderField(c, 36, c.header.codebookOffset + 4); }, CLIPVANE_ERROR_HEADER},
      {"seek table past the end", [](SyntheticContainer& c) { SetHeaderField(c, 40, 0xFFFFFFF0u); },
       CLIPVANE_ERROR_HEADER},
      {"seek table too long for the file", [](SyntheticContainer& c) { SetHeaderField(c, 44, 0x7FFFFFFFu); },
       CLIPVANE_ERROR_HEADER},
      {"file cut in the seek table", [](SyntheticContainer& c) { c.bytes.pop_back(); },
       CLIPVANE_ERROR_HEADER},
      {"record runs past the records", [](SyntheticContainer& c) { StoreLE16(&c.bytes[48], 0xFFFE); },
       CLIPVANE_ERROR_RECORDS},
      {"record size not a multiple of 4", [](SyntheticContainer& c) { StoreLE16(&c.bytes[48], 0x21); },
       CLIPVANE_ERROR_RECORDS},
      {"record too small for its blocks", [](SyntheticContainer& c) { StoreLE16(&c.bytes[50], 60000); },
       CLIPVANE_ERROR_RECORDS},
      {"seek table out of order",
       [](SyntheticContainer& c) { SetHeaderField(c, c.header.seekTableOffset + 8, 0); }, CLIPVANE_ERROR_SEEK_TABLE},
      {"seek entry inside a record",
       [](SyntheticContainer& c) { SetHeaderField(c, c.header.seekTableOffset + 12, c.recordOffsets[3] + 4); },
       CLIPVANE_ERROR_SEEK_TABLE},
      {"seek entry for a frame the file lacks",
       [](SyntheticContainer& c) { SetHeaderField(c, c.header.seekTableOffset + 16, 1000); },
       CLIPVANE_ERROR_SEEK_TABLE},
  };
  for (const Breakage& b : cases) {
    SyntheticContainer c = BuildContainer(kFrames, 2);
    b.breakIt(c);
    Opened o(c.bytes);
    EXPECT_EQ(o.status, b.expected) << b.name;
    EXPECT_EQ(o.handle, nullptr) << b.name;
  }
}

TEST(ClipvaneContainer, ToleratesWhatAReaderCanLiveWithButReportsIt) {
  const struct {
    const char* name;
    std::function<void(SyntheticContainer&)> breakIt;
    const char* finding;
  } cases[] = {
      {"bytes after the seek table", [](SyntheticContainer& c) { c.bytes.push_back(0); }, "follow the seek table"},
      {"wrong largest record", [](SyntheticContainer& c) { SetHeaderField(c, 32, 4); }, "maxFrameRecordSize"},
      {"more records than frames", [](SyntheticContainer& c) { SetHeaderField(c, 4, 2); }, "more than frameCount"},
  };
  for (const auto& k : cases) {
    SyntheticContainer c = BuildContainer(kFrames, 2);
    k.breakIt(c);
    Opened o(c.bytes);
    EXPECT_EQ(o.status, CLIPVANE_OK) << k.name;
    player::MemoryInput input(c.bytes.data(), c.bytes.size());
    player::ContainerIndex index;
    std::vector<player::Finding> findings;
    EXPECT_EQ(player::ScanContainer(input, index, &findings), 0) << k.name;
    ASSERT_EQ(findings.size(), 1u) << k.name;
    EXPECT_FALSE(findings[0].fatal);
    EXPECT_NE(findings[0].text.find(k.finding), std::string::npos) << findings[0].text;
  }
}

TEST(ClipvaneContainer, EveryTruncationIsRefused) {
  const SyntheticContainer full = BuildContainer(kFrames, 1);
  for (std::size_t size = 0; size < full.bytes.size(); ++size) {
    std::vector<uint8_t> cut(full.bytes.begin(), full.bytes.begin() + std::ptrdiff_t(size));
    Opened o(cut);
    EXPECT_LT(o.status, 0) << size;
  }
}

TEST(ClipvaneContainer, FailingCallbacksGiveAnIoError) {
  const SyntheticContainer c = BuildContainer(kFrames, 1);
  MemoryFile file{&c.bytes, 0};
  clipvane_io broken = testing::kMemoryIo;
  broken.read = [](void*, void*, size_t) -> int64_t { return -1; };
  clipvane_container* handle = nullptr;
  EXPECT_EQ(clipvane_open_io(&broken, &file, &handle), CLIPVANE_ERROR_IO);
  broken = testing::kMemoryIo;
  broken.seek = [](void*, int64_t, int) -> int64_t { return -1; };
  EXPECT_EQ(clipvane_open_io(&broken, &file, &handle), CLIPVANE_ERROR_IO);
  EXPECT_EQ(clipvane_open_io(nullptr, &file, &handle), CLIPVANE_ERROR_ARGUMENT);
  EXPECT_EQ(clipvane_open_file("/nonexistent/movie.qkds", &handle), CLIPVANE_ERROR_IO);
  EXPECT_EQ(handle, nullptr);
}

// No C++ exception leaves the C interface: one from the read callback, at
// opening or while a record refills the read window, becomes a code (an
// allocation failure the out-of-memory one).
TEST(ClipvaneContainer, ExceptionsStopAtTheInterface) {
  std::vector<testing::SyntheticFrame> frames;
  for (int i = 0; i < 80; ++i) frames.push_back({1000, 1, i % 20 == 0});  // more than one read window
  const SyntheticContainer c = BuildContainer(frames, 1);
  struct Throwing {
    MemoryFile file;
    int armed = 0;  // 0: reads work, 1: std::bad_alloc, 2: another exception
  };
  clipvane_io io = testing::kMemoryIo;
  io.read = [](void* user, void* buffer, size_t size) -> int64_t {
    auto* t = static_cast<Throwing*>(user);
    if (t->armed == 1) throw std::bad_alloc();
    if (t->armed == 2) throw std::runtime_error("callback");
    return MemoryFile::Read(&t->file, buffer, size);
  };
  for (const auto& [armed, code] : {std::pair{1, CLIPVANE_ERROR_MEMORY}, std::pair{2, CLIPVANE_ERROR_IO}}) {
    Throwing t{{&c.bytes, 0}, armed};
    clipvane_container* handle = nullptr;
    EXPECT_EQ(clipvane_open_io(&io, &t, &handle), code) << armed;
    EXPECT_EQ(handle, nullptr);
    t.armed = 0;
    ASSERT_EQ(clipvane_open_io(&io, &t, &handle), CLIPVANE_OK);
    t.armed = armed;
    clipvane_record r;
    std::set<int> statuses;
    for (const uint32_t frame : {0u, uint32_t(frames.size() - 1)}) statuses.insert(clipvane_read_record(handle, frame, &r));
    EXPECT_EQ(statuses.count(code), 1u) << armed << ": one of the two records is outside the window";
    statuses.erase(CLIPVANE_OK);
    EXPECT_EQ(statuses, std::set<int>{code}) << armed;
    t.armed = 0;
    EXPECT_EQ(clipvane_read_record(handle, 0, &r), CLIPVANE_OK) << "the container stays usable";
    clipvane_close(handle);
  }
}

// The decoder through the C interface against the codec's own, with states
// made fresh at every key frame that has blocks.
TEST(ClipvaneDecoder, DecodesRecordsInterleavedAndResetsAtKeyFrames) {
  for (uint32_t channels = 1; channels <= 2; ++channels) {
    const SyntheticContainer c = BuildContainer(kFrames, channels, 20 + channels);
    Opened o(c.bytes);
    ASSERT_EQ(o.status, CLIPVANE_OK);
    clipvane_decoder* d = nullptr;
    ASSERT_EQ(clipvane_decoder_create(o.handle, &d), CLIPVANE_OK);
    EXPECT_EQ(clipvane_decoder_channels(d), channels);
    std::vector<AudioDecoderState> states(channels);
    clipvane_record r;
    while (clipvane_next_record(o.handle, &r) == 1) {
      std::vector<int16_t> got(std::size_t(r.blockCount) * 128 * channels + 1, 12345);
      if (r.blockCount > 0) {
        EXPECT_EQ(clipvane_decode_record(d, &r, c.videoBytes[r.frame], got.data(), got.size() - 2),
                  CLIPVANE_ERROR_BUFFER);
      }
      ASSERT_EQ(clipvane_decode_record(d, &r, c.videoBytes[r.frame], got.data(), got.size()),
                int64_t(r.blockCount) * 128);
      EXPECT_EQ(got.back(), 12345) << "nothing written past the samples";
      if (r.keyFrame && r.blockCount > 0) {
        for (auto& s : states) InitDecoderState(s, BuiltInCodebook());
      }
      const uint8_t* p = r.payload + c.videoBytes[r.frame];
      for (uint32_t b = 0; b < r.blockCount; ++b) {
        for (uint32_t ch = 0; ch < channels; ++ch) {
          int16_t block[128];
          p += DecodeAudioPacket(states[ch], p, block);
          for (int n = 0; n < 128; ++n) {
            ASSERT_EQ(got[(std::size_t(b) * 128 + std::size_t(n)) * channels + ch], block[n])
                << "frame " << r.frame << " block " << b << " channel " << ch;
          }
        }
      }
    }
    clipvane_decoder_destroy(d);
  }
}

TEST(ClipvaneDecoder, SinglePacketsNeverReadPastTheirLength) {
  const CodebookImage image = ToImage(BuiltInCodebook());
  clipvane_decoder* d = nullptr;
  ASSERT_EQ(clipvane_decoder_create_from_codebooks(image.data(), 1, &d), CLIPVANE_OK);
  clipvane_decoder* refused = nullptr;
  EXPECT_EQ(clipvane_decoder_create_from_codebooks(image.data(), 3, &refused), CLIPVANE_ERROR_ARGUMENT);
  EXPECT_EQ(refused, nullptr);
  std::mt19937 rng(5);
  for (int mode = 0; mode < kPacketModes; ++mode) {
    const int size = kPacketModeTable[mode].bytes;
    for (int length = 0; length <= kMaxPacketBytes; ++length) {
      // Random bytes with the mode set, in a buffer that ends exactly at `length`.
      std::vector<uint8_t> bytes(std::size_t(std::max(length, 4)));
      for (auto& b : bytes) b = uint8_t(rng());
      bytes[3] = uint8_t((bytes[3] & 0xCF) | mode << 4);
      ::clipvane::testing::GuardedBuffer buffer{std::size_t(length)};
      ASSERT_TRUE(buffer.ok());
      if (length > 0) buffer.Fill(bytes.data());
      int16_t samples[CLIPVANE_BLOCK_SAMPLES];
      const int got = clipvane_decode_packet(d, 0, buffer.data(), std::size_t(length), samples);
      EXPECT_EQ(got, length >= size ? size : CLIPVANE_ERROR_PACKET) << "mode " << mode << " length " << length;
    }
  }
  int16_t samples[CLIPVANE_BLOCK_SAMPLES];
  const uint8_t packet[20] = {};
  EXPECT_EQ(clipvane_decode_packet(d, 1, packet, 20, samples), CLIPVANE_ERROR_ARGUMENT);
  clipvane_decoder_destroy(d);
}

}  // namespace
}  // namespace clipvane
