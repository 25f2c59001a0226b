// Writes the fuzz seeds: small movies of every layout the reader handles,
// built with the tests' AVI writers, so that mutation starts from each index
// kind instead of having to discover it. Sample files from real muxers are
// large and all use 'idx1'; these are a few hundred bytes to about 11 KB each.
//
// Usage: avi_fuzz_seeds <corpus directory>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/avi/avi_test_writer.h"
#include "tests/e2e/test_avi_writer.h"

namespace {

using namespace clipvane::avi::test;
using clipvane::testing::WriteTestMovie;
namespace e2e = clipvane::testing;

std::string g_directory;
int g_failures = 0;

void Save(const std::string& name, const std::vector<uint8_t>& bytes) {
  const std::string path = g_directory + "/" + name;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  bool written = file != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  if (file != nullptr) written = std::fclose(file) == 0 && written;
  if (!written) {
    std::fprintf(stderr, "avi_fuzz_seeds: cannot write %s\n", path.c_str());
    ++g_failures;
  }
}

void SaveE2e(const std::string& name, const e2e::TestMovie& movie) {
  const std::string path = g_directory + "/" + name;
  if (!WriteTestMovie(path, movie)) {
    std::fprintf(stderr, "avi_fuzz_seeds: cannot write %s\n", path.c_str());
    ++g_failures;
  }
}

TestStream Video(uint32_t length) {
  return {"vids", "qks1", 25, 1, length, 0, BitmapFormat(16, 8, "qks1")};
}
TestStream Audio(uint32_t rate, uint16_t channels, bool extensible) {
  const uint16_t align = uint16_t(channels * 2);
  return {"auds", "", rate, 1, 0, align,
          extensible ? ExtensibleFormat(channels, rate, 16, 1) : WaveFormat(1, channels, rate, 16, align, true)};
}

// Video and audio chunks interleaved, key frames every third frame, one
// dropped (empty) frame and odd sizes for the pad bytes.
TestMovie Interleaved(const std::string& video, const std::string& audio, size_t frames) {
  TestMovie movie;
  movie.streams = {Video(uint32_t(frames)), Audio(8000, 1, false)};
  for (size_t i = 0; i < frames; ++i) {
    const size_t size = i == 2 ? 0 : 7 + 3 * i;
    movie.chunks.push_back({video, Payload(uint32_t(i), size), i % 3 == 0});
    movie.chunks.push_back({audio, Payload(uint32_t(100 + i), 64 + 2 * (i % 2)), true});
  }
  return movie;
}

size_t Find(const std::vector<uint8_t>& bytes, const std::string& tag) {
  return std::string(bytes.begin(), bytes.end()).find(tag);
}

// Moves every 'idx1' offset back by 4: offsets counted from just after the
// 'movi' form, as a few muxers write them.
std::vector<uint8_t> Idx1AfterMoviForm(std::vector<uint8_t> bytes) {
  const size_t idx1 = Find(bytes, "idx1");
  if (idx1 == std::string::npos) return bytes;
  const uint32_t size = uint32_t(bytes[idx1 + 4] | bytes[idx1 + 5] << 8 | bytes[idx1 + 6] << 16 | bytes[idx1 + 7] << 24);
  for (size_t at = idx1 + 8; at + 16 <= idx1 + 8 + size && at + 16 <= bytes.size(); at += 16) {
    uint32_t offset = uint32_t(bytes[at + 8] | bytes[at + 9] << 8 | bytes[at + 10] << 16 | bytes[at + 11] << 24);
    offset -= 4;
    for (int i = 0; i < 4; ++i) bytes[at + 8 + size_t(i)] = uint8_t(offset >> (8 * i));
  }
  return bytes;
}

// Movies the converter accepts: 'qks1' video and 16-bit PCM, a few frames
// with a little audio each, so that a fuzz input converts in milliseconds.
e2e::TestMovie ConvertibleMovie(uint16_t channels, uint32_t sampleRate, size_t frames, size_t keyEvery) {
  e2e::TestMovie movie;
  movie.width = 16;
  movie.height = 8;
  for (size_t i = 0; i < frames; ++i) {
    std::vector<uint8_t> frame = Payload(uint32_t(i), 12 + (i % 5) * 3);
    movie.frames.push_back(frame);
    movie.keyFrames.push_back(i % keyEvery == 0);
  }
  movie.channels = channels;
  movie.sampleRate = sampleRate;
  const size_t samples = size_t(sampleRate) * frames / movie.rate * channels;
  uint32_t x = 1;
  for (size_t i = 0; i < samples; ++i) {
    x = x * 1103515245u + 12345u;
    // A tone with some noise: neither silence nor full scale.
    movie.samples.push_back(int16_t(int32_t((i / channels) % 40 < 20 ? 3000 : -3000) + int32_t(x >> 22) - 512));
  }
  return movie;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
    return 2;
  }
  g_directory = argv[1];

  // Legacy 'idx1' in its three offset conventions.
  TestMovie relative = Interleaved("00dc", "01wb", 6);
  Save("seed_idx1_relative.avi", BuildMovie(relative));
  TestMovie absolute = relative;
  absolute.index = TestIndex::kIdx1Absolute;
  Save("seed_idx1_absolute.avi", BuildMovie(absolute));
  Save("seed_idx1_after_movi.avi", Idx1AfterMoviForm(BuildMovie(relative)));

  // 'rec ' lists, with and without an index; no index at all, with JUNK.
  TestMovie rec = relative;
  rec.chunksPerRecList = 2;
  Save("seed_rec_idx1.avi", BuildMovie(rec));
  rec.index = TestIndex::kNone;
  rec.chunksPerRecList = 3;
  rec.junkInMovi = true;
  Save("seed_rec_noindex.avi", BuildMovie(rec));
  TestMovie plainScan = relative;
  plainScan.index = TestIndex::kNone;
  Save("seed_noindex.avi", BuildMovie(plainScan));

  // Uncompressed-video chunks and a palette change; audio listed first.
  TestMovie uncompressed = Interleaved("00db", "01wb", 4);
  uncompressed.chunks.insert(uncompressed.chunks.begin() + 3, TestChunk{"00pc", Payload(7, 8), false});
  Save("seed_uncompressed.avi", BuildMovie(uncompressed));
  TestMovie audioFirst = Interleaved("01dc", "00wb", 4);
  audioFirst.streams = {Audio(22050, 2, true), Video(4)};
  Save("seed_audio_first.avi", BuildMovie(audioFirst));

  // OpenDML: super index, 'ix00' in each RIFF, 'RIFF AVIX', with and
  // without an extension RIFF that holds only JUNK.
  std::vector<TestChunk> frames;
  for (uint32_t i = 0; i < 7; ++i) frames.push_back({"00dc", Payload(i, 9 + 2 * i), i == 0 || i == 4});
  Save("seed_opendml.avi", BuildOpenDmlMovie(frames, 4, 0).Flatten());
  Save("seed_opendml_gap.avi", BuildOpenDmlMovie(frames, 3, 30).Flatten());
  std::vector<std::vector<uint8_t>> audioChunks;
  for (uint32_t i = 0; i < 6; ++i) audioChunks.push_back(Payload(50 + i, 40));
  frames.resize(6);
  Save("seed_opendml_audio.avi", BuildOpenDmlMovieWithAudio(frames, Audio(11025, 2, true), audioChunks));

  // Movies the whole converter takes: mono, stereo (extensible), no audio,
  // a dropped frame and a first frame that is not a key frame.
  SaveE2e("seed_convert_mono.avi", ConvertibleMovie(1, 8000, 10, 4));
  e2e::TestMovie stereo = ConvertibleMovie(2, 11025, 6, 3);
  stereo.extensible = true;
  SaveE2e("seed_convert_stereo.avi", stereo);
  SaveE2e("seed_convert_noaudio.avi", ConvertibleMovie(0, 8000, 5, 2));
  e2e::TestMovie odd = ConvertibleMovie(1, 11025, 8, 3);
  odd.frames[3].clear();
  odd.keyFrames[0] = false;
  odd.announcedFrames = 10;
  SaveE2e("seed_convert_dropped.avi", odd);

  return g_failures == 0 ? 0 : 1;
}
