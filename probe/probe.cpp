#include "probe/probe.h"

#include <unistd.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>

#include "audio_io/debug_sound_file.h"
#include "avi/avi_reader.h"
#include "clipvane.h"
#include "codebook/channel_codebook.h"
#include "format/codebook_image.h"
#include "format/packet_format.h"
#include "libclipvane/container_index.h"
#include "probe/audio_quality.h"

namespace clipvane::probe {

namespace {

constexpr const char* kUsage =
    "Usage: clipvane-probe COMMAND ARGUMENTS\n"
    "\n"
    "  info FILE [--json] [--input movie.avi]\n"
    "      the header, duration, frames, key frames, audio rate and channels, audio bit\n"
    "      rate, the share of each packet size and the largest record\n"
    "  verify FILE [--input movie.avi]\n"
    "      checks every structural rule of the container; with the input, also each\n"
    "      video payload and every audio packet. Exit status 0 only if all hold\n"
    "  decode FILE -o out.wav --input movie.avi\n"
    "      the audio as a 16-bit WAV file, as the converter's -debugsound writes it\n"
    "  frames FILE -o DIR [--range A-B] [--input movie.avi]\n"
    "      one file per frame: its video payload (without --input, the whole record\n"
    "      payload: video, audio and padding)\n"
    "  codebook (FILE | movie.cbk | --builtin) [--json] [-o OUT]\n"
    "      the codebook images of a container, a side file or the built-in codebook,\n"
    "      as JSON or as raw bytes\n"
    "  compare movie.avi FILE\n"
    "      SNR and segmental SNR of each channel against the input, and the audio bit rate\n"
    "  video-sizes movie.avi\n"
    "      the video payload size of every frame, one per line (what a video decoder\n"
    "      reports after consuming a payload)\n"
    "\n"
    "A container does not record where a frame's video payload ends: the player's video\n"
    "decoder finds out. Commands that separate video from audio take the sizes from the\n"
    "input movie (--input).\n";

struct Arguments {
  std::vector<std::string> positional;
  std::map<std::string, std::string> values;  // -o, --input, --range
  std::set<std::string> flags;                // --json, --builtin
};

int Fail(const std::string& message) {
  std::fprintf(stderr, "clipvane-probe: %s\n", message.c_str());
  return 1;
}

bool ParseArguments(const std::vector<std::string>& in, Arguments& out, std::string& error) {
  for (std::size_t i = 0; i < in.size(); ++i) {
    const std::string& a = in[i];
    if (a == "-o" || a == "--input" || a == "--range") {
      if (i + 1 >= in.size()) {
        error = a + " needs a value";
        return false;
      }
      out.values[a] = in[++i];
    } else if (a == "--json" || a == "--builtin") {
      out.flags.insert(a);
    } else if (a.size() > 1 && a[0] == '-') {
      error = "unknown option " + a;
      return false;
    } else {
      out.positional.push_back(a);
    }
  }
  return true;
}

// Owns an open container.
struct Container {
  clipvane_container* handle = nullptr;
  clipvane_header header{};
  ~Container() { clipvane_close(handle); }
  std::string Open(const std::string& path) {
    const int status = clipvane_open_file(path.c_str(), &handle);
    if (status != CLIPVANE_OK) return path + ": " + clipvane_error_string(status);
    clipvane_get_header(handle, &header);
    return "";
  }
};

struct Decoder {
  clipvane_decoder* handle = nullptr;
  ~Decoder() { clipvane_decoder_destroy(handle); }
};

// Opens `reader` on the input and takes the video payload size of every frame:
// its size minus the 4 bytes the converter drops.
std::string LoadVideoSizes(avi::AviReader& reader, const std::string& path, std::vector<uint32_t>& sizes) {
  if (!reader.Open(path)) return path + ": not a movie this tool can read";
  sizes.clear();
  for (int32_t f = 0; f < reader.IndexedFrameCount(); ++f) {
    uint32_t bytes = 0;
    reader.FrameSize(f, &bytes);
    sizes.push_back(bytes > 4 ? bytes - 4 : 0);
  }
  return "";
}

std::string LoadVideoSizes(const std::string& path, std::vector<uint32_t>& sizes) {
  avi::AviReader reader;
  return LoadVideoSizes(reader, path, sizes);
}

// Walks every record with the video sizes and hands each one's decoded audio
// to `sink`. Returns an error text or "".
template <typename Sink>
std::string DecodeAll(Container& c, const std::vector<uint32_t>& videoSizes, Sink sink) {
  Decoder d;
  int status = clipvane_decoder_create(c.handle, &d.handle);
  if (status != CLIPVANE_OK) return clipvane_error_string(status);
  std::vector<int16_t> samples;
  clipvane_record record;
  clipvane_rewind(c.handle, 0);
  while ((status = clipvane_next_record(c.handle, &record)) == 1) {
    if (record.frame >= videoSizes.size()) return "frame " + std::to_string(record.frame) + " is not in the input";
    samples.resize(std::size_t(record.blockCount) * CLIPVANE_BLOCK_SAMPLES * c.header.audioChannels);
    const int64_t got = clipvane_decode_record(d.handle, &record, videoSizes[record.frame], samples.data(), samples.size());
    if (got < 0) return "frame " + std::to_string(record.frame) + ": " + clipvane_error_string(int(got));
    const int audioBytes = clipvane_record_audio_bytes(c.handle, &record, videoSizes[record.frame]);
    sink(record, samples, uint32_t(audioBytes));
  }
  if (status < 0) return clipvane_error_string(status);
  return "";
}

std::string Number(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.3f", value);
  return text;
}

// ---- info ----------------------------------------------------------------

int Info(const Arguments& args) {
  if (args.positional.size() != 2) return Fail("info needs one FILE");
  Container c;
  if (std::string e = c.Open(args.positional[1]); !e.empty()) return Fail(e);
  const clipvane_header& h = c.header;
  const uint32_t records = clipvane_frame_count(c.handle);
  const double fps = h.frameRate / 65536.0;
  const double duration = fps > 0 ? records / fps : 0;
  uint32_t keyFrames = 0;
  for (uint32_t i = 0; i < clipvane_seek_entry_count(c.handle); ++i) {
    clipvane_seek_entry e;
    clipvane_get_seek_entry(c.handle, i, &e);
    if (e.offset != 0 && e.frame < records) ++keyFrames;
  }
  uint32_t largestFrame = 0, largestBytes = 0;
  uint64_t blocks = 0;
  clipvane_record record;
  while (clipvane_next_record(c.handle, &record) == 1) {
    blocks += record.blockCount;
    if (record.size > largestBytes) largestBytes = record.size, largestFrame = record.frame;
  }

  // Packet sizes need the video payload sizes.
  bool audioKnown = false;
  uint64_t packetCount[4] = {}, audioBytes = 0;
  const int sizes[4] = {10, 12, 14, 20};
  if (args.values.count("--input") != 0 && h.audioSampleRate != 0) {
    std::vector<uint32_t> videoSizes;
    if (std::string e = LoadVideoSizes(args.values.at("--input"), videoSizes); !e.empty()) return Fail(e);
    for (uint32_t f = 0; f < records; ++f) {
      if (clipvane_read_record(c.handle, f, &record) != CLIPVANE_OK || f >= videoSizes.size()) {
        return Fail("frame " + std::to_string(f) + " cannot be matched with the input");
      }
      if (clipvane_record_audio_bytes(c.handle, &record, videoSizes[f]) < 0) {
        return Fail("frame " + std::to_string(f) + ": the input's frame size does not fit the record");
      }
      const uint8_t* p = record.payload + videoSizes[f];
      for (uint32_t i = 0; i < record.blockCount * h.audioChannels; ++i) {
        const int bytes = AudioPacketSize(p);
        for (int k = 0; k < 4; ++k) packetCount[k] += sizes[k] == bytes;
        audioBytes += uint64_t(bytes);
        p += bytes;
      }
    }
    audioKnown = true;
  }
  const uint64_t packets = packetCount[0] + packetCount[1] + packetCount[2] + packetCount[3];
  const double audioSeconds = h.audioSampleRate != 0 ? double(blocks) * 128 / h.audioSampleRate : 0;
  const double kbits = audioSeconds > 0 ? audioBytes * 8.0 / audioSeconds / 1000.0 : 0;

  if (args.flags.count("--json") != 0) {
    std::printf("{\n  \"header\": {\"magic\": \"%.4s\", \"frameCount\": %" PRIu32 ", \"width\": %" PRId32
                ", \"height\": %" PRId32 ", \"frameRate\": %" PRIu32 ", \"videoCodecData\": %" PRIu32
                ", \"audioSampleRate\": %" PRIu32 ", \"audioChannels\": %" PRIu32 ", \"maxFrameRecordSize\": %" PRIu32
                ", \"codebookOffset\": %" PRIu32 ", \"seekTableOffset\": %" PRIu32 ", \"seekEntryCount\": %" PRIu32
                "},\n",
                h.magic, h.frameCount, h.width, h.height, h.frameRate, h.videoCodecData, h.audioSampleRate,
                h.audioChannels, h.maxFrameRecordSize, h.codebookOffset, h.seekTableOffset, h.seekEntryCount);
    std::printf("  \"fileSize\": %" PRIu64 ",\n  \"framesPerSecond\": %s,\n  \"records\": %" PRIu32
                ",\n  \"durationSeconds\": %s,\n  \"keyFrames\": %" PRIu32 ",\n",
                clipvane_file_size(c.handle), Number(fps).c_str(), records, Number(duration).c_str(), keyFrames);
    std::printf("  \"audioBlocks\": %" PRIu64 ",\n", blocks);
    if (audioKnown) {
      std::printf("  \"audioBitRateKbps\": %s,\n  \"packetShare\": {", Number(kbits).c_str());
      for (int k = 0; k < 4; ++k) {
        std::printf("%s\"%d\": %s", k ? ", " : "", sizes[k],
                    Number(packets ? double(packetCount[k]) / packets : 0).c_str());
      }
      std::printf("},\n");
    } else {
      std::printf("  \"audioBitRateKbps\": null,\n  \"packetShare\": null,\n");
    }
    std::printf("  \"largestRecord\": {\"frame\": %" PRIu32 ", \"bytes\": %" PRIu32 "}\n}\n", largestFrame,
                largestBytes);
    return 0;
  }
  std::printf("magic               %.4s\n", h.magic);
  std::printf("frameCount          %" PRIu32 "\n", h.frameCount);
  std::printf("width x height      %" PRId32 " x %" PRId32 "\n", h.width, h.height);
  std::printf("frameRate           %" PRIu32 " (%s frames/s)\n", h.frameRate, Number(fps).c_str());
  std::printf("videoCodecData      0x%08" PRIX32 "\n", h.videoCodecData);
  std::printf("audioSampleRate     %" PRIu32 " Hz\n", h.audioSampleRate);
  std::printf("audioChannels       %" PRIu32 "\n", h.audioChannels);
  std::printf("maxFrameRecordSize  %" PRIu32 "\n", h.maxFrameRecordSize);
  std::printf("codebookOffset      %" PRIu32 "\n", h.codebookOffset);
  std::printf("seekTableOffset     %" PRIu32 "\n", h.seekTableOffset);
  std::printf("seekEntryCount      %" PRIu32 "\n", h.seekEntryCount);
  std::printf("records             %" PRIu32 " (%s s)\n", records, Number(duration).c_str());
  std::printf("key frames          %" PRIu32 "\n", keyFrames);
  std::printf("audio blocks        %" PRIu64 "\n", blocks);
  if (h.audioSampleRate == 0) {
    std::printf("audio               none\n");
  } else if (audioKnown) {
    std::printf("audio bit rate      %s kbit/s\n", Number(kbits).c_str());
    std::printf("packets             ");
    for (int k = 0; k < 4; ++k) {
      std::printf("%s%d bytes %s%%", k ? ", " : "", sizes[k],
                  Number(packets ? 100.0 * packetCount[k] / packets : 0).c_str());
    }
    std::printf("\n");
  } else {
    std::printf("audio bit rate      unknown without --input movie.avi\n");
  }
  std::printf("largest record      frame %" PRIu32 ", %" PRIu32 " bytes\n", largestFrame, largestBytes);
  return 0;
}

// ---- verify --------------------------------------------------------------

int Verify(const Arguments& args) {
  if (args.positional.size() != 2) return Fail("verify needs one FILE");
  const std::string& path = args.positional[1];
  player::FileInput input;
  if (!input.Open(path)) return Fail(path + ": cannot be opened");
  player::ContainerIndex index;
  std::vector<player::Finding> findings;
  const int status = player::ScanContainer(input, index, &findings);
  std::vector<std::string> failures;
  for (const player::Finding& f : findings) failures.push_back(f.text);

  std::vector<uint32_t> videoSizes;
  const bool withInput = args.values.count("--input") != 0;
  avi::AviReader reader;
  if (withInput) {
    if (std::string e = LoadVideoSizes(reader, args.values.at("--input"), videoSizes); !e.empty()) return Fail(e);
  }
  uint64_t packetsDecoded = 0;
  if (status == 0) {
    Container c;
    if (std::string e = c.Open(path); !e.empty()) return Fail(e);
    if (withInput && c.header.frameCount != reader.VideoHeader().length) {
      failures.push_back("frameCount " + std::to_string(c.header.frameCount) + " differs from the input's " +
                         std::to_string(reader.VideoHeader().length) + " frames");
    }
    Decoder d;
    if (c.header.audioSampleRate != 0) clipvane_decoder_create(c.handle, &d.handle);
    std::vector<int16_t> samples;
    std::vector<uint8_t> frame;
    clipvane_record record;
    int got;
    while ((got = clipvane_next_record(c.handle, &record)) == 1) {
      const std::string name = "record " + std::to_string(record.frame) + ": ";
      if (!withInput) {
        if (clipvane_find_video_sizes(c.handle, &record, nullptr, 0) == 0) {
          failures.push_back(name + "no video payload size lets the audio packets fill the record");
        }
        continue;
      }
      if (record.frame >= videoSizes.size()) {
        failures.push_back(name + "the input has no such frame");
        continue;
      }
      const uint32_t video = videoSizes[record.frame];
      if (!reader.ReadFrame(int32_t(record.frame), frame) ||
          (video > 0 && (video > record.payloadBytes || std::memcmp(frame.data() + 4, record.payload, video) != 0))) {
        failures.push_back(name + "the video payload is not the input frame without its first 4 bytes");
        continue;
      }
      if (clipvane_record_audio_bytes(c.handle, &record, video) < 0) {
        failures.push_back(name + "the audio packets after the video payload do not fill the record with zero padding");
        continue;
      }
      if (d.handle != nullptr) {
        samples.resize(std::size_t(record.blockCount) * CLIPVANE_BLOCK_SAMPLES * c.header.audioChannels);
        if (clipvane_decode_record(d.handle, &record, video, samples.data(), samples.size()) < 0) {
          failures.push_back(name + "the audio does not decode");
        }
        packetsDecoded += uint64_t(record.blockCount) * c.header.audioChannels;
      }
    }
    if (got < 0) failures.push_back(std::string("reading the records: ") + clipvane_error_string(got));
  }
  for (const std::string& f : failures) std::printf("FAIL %s\n", f.c_str());
  if (!failures.empty()) return 1;
  std::printf("%s: OK, %zu records", path.c_str(), index.recordOffsets.size());
  if (withInput) std::printf(", %" PRIu64 " packets decoded", packetsDecoded);
  std::printf("\n");
  return 0;
}

// ---- decode / compare ----------------------------------------------------

int Decode(const Arguments& args) {
  if (args.positional.size() != 2 || args.values.count("-o") == 0) return Fail("decode needs FILE and -o out.wav");
  if (args.values.count("--input") == 0) {
    return Fail("decode needs --input movie.avi: the container does not record where each frame's video ends");
  }
  Container c;
  if (std::string e = c.Open(args.positional[1]); !e.empty()) return Fail(e);
  if (c.header.audioSampleRate == 0) return Fail(args.positional[1] + ": the container has no audio");
  std::vector<uint32_t> videoSizes;
  if (std::string e = LoadVideoSizes(args.values.at("--input"), videoSizes); !e.empty()) return Fail(e);
  DebugSoundFile wav;
  const std::string& out = args.values.at("-o");
  if (!wav.Create(out, int32_t(c.header.audioSampleRate), int32_t(c.header.audioChannels), 16)) {
    return Fail(out + ": cannot be written");
  }
  bool written = true;
  std::string e = DecodeAll(c, videoSizes, [&](const clipvane_record&, const std::vector<int16_t>& s, uint32_t) {
    if (!s.empty()) written &= wav.WriteSamples(int32_t(s.size() * 2), s.data());
  });
  if (!e.empty()) return Fail(e);
  if (!written || !wav.Complete()) return Fail(out + ": cannot be written");
  return 0;
}

int Compare(const Arguments& args) {
  if (args.positional.size() != 3) return Fail("compare needs movie.avi and FILE");
  const std::string& moviePath = args.positional[1];
  Container c;
  if (std::string e = c.Open(args.positional[2]); !e.empty()) return Fail(e);
  if (c.header.audioSampleRate == 0) return Fail(args.positional[2] + ": the container has no audio");
  std::vector<uint32_t> videoSizes;
  avi::AviReader reader;
  if (std::string e = LoadVideoSizes(reader, moviePath, videoSizes); !e.empty()) return Fail(e);
  std::vector<int16_t> decoded;
  uint64_t audioBytes = 0, blocks = 0;
  std::string e = DecodeAll(c, videoSizes, [&](const clipvane_record& r, const std::vector<int16_t>& s, uint32_t bytes) {
    decoded.insert(decoded.end(), s.begin(), s.end());
    audioBytes += bytes;
    blocks += r.blockCount;
  });
  if (!e.empty()) return Fail(e);

  const uint32_t channels = c.header.audioChannels;
  if (reader.AudioChannels() != channels || reader.AudioBitsPerSample() != 16) {
    return Fail(moviePath + ": its audio is not the 16-bit audio of " + args.positional[2]);
  }
  std::vector<int16_t> input;
  std::vector<uint8_t> chunk;
  const std::size_t wanted = decoded.size();
  int64_t position = 0;
  while (input.size() < wanted) {
    const uint32_t got = reader.ReadAudioChunk(position, chunk);
    if (got == 0) break;
    for (uint32_t i = 0; i + 1 < got; i += 2) input.push_back(int16_t(LoadLE16(&chunk[i])));
    position += got / reader.AudioFrameBytes();
  }
  const std::size_t frames = std::min(input.size(), decoded.size()) / channels;
  const std::size_t segment = std::size_t(c.header.audioSampleRate) * kSegmentMilliseconds / 1000;
  for (uint32_t ch = 0; ch < channels; ++ch) {
    const ChannelQuality q = MeasureQuality(input.data() + ch, decoded.data() + ch, frames, channels, segment);
    std::printf("channel %" PRIu32 ": SNR %s dB, segmental SNR %s dB (%zu segments of %d ms)\n", ch,
                Number(q.snr).c_str(), Number(q.segmentalSnr).c_str(), q.segments, kSegmentMilliseconds);
    const double weighted = MeasureWeightedSegmentalSnr(input.data() + ch, decoded.data() + ch, frames, channels,
                                                        segment, c.header.audioSampleRate);
    std::printf("channel %" PRIu32 ": frequency-weighted segmental SNR %s dB\n", ch, Number(weighted).c_str());
  }
  const double seconds = double(blocks) * CLIPVANE_BLOCK_SAMPLES / c.header.audioSampleRate;
  std::printf("audio bit rate: %s kbit/s (%zu samples per channel compared)\n",
              Number(seconds > 0 ? audioBytes * 8.0 / seconds / 1000.0 : 0).c_str(), frames);
  return 0;
}

// ---- frames ----------------------------------------------------------------

int Frames(const Arguments& args) {
  if (args.positional.size() != 2 || args.values.count("-o") == 0) return Fail("frames needs FILE and -o DIR");
  Container c;
  if (std::string e = c.Open(args.positional[1]); !e.empty()) return Fail(e);
  const uint32_t records = clipvane_frame_count(c.handle);
  uint32_t first = 0, last = records == 0 ? 0 : records - 1;
  if (args.values.count("--range") != 0) {
    const std::string& r = args.values.at("--range");
    unsigned a = 0, b = 0;
    char tail = 0;
    if (std::sscanf(r.c_str(), "%u-%u%c", &a, &b, &tail) != 2 || a > b) return Fail("--range wants A-B, A <= B");
    if (b >= records) return Fail("--range " + r + ": the container has " + std::to_string(records) + " frames");
    first = a, last = b;
  }
  std::vector<uint32_t> videoSizes;
  const bool withInput = args.values.count("--input") != 0;
  if (withInput) {
    if (std::string e = LoadVideoSizes(args.values.at("--input"), videoSizes); !e.empty()) return Fail(e);
  } else {
    std::fprintf(stderr, "clipvane-probe: without --input each file holds the whole record payload\n");
  }
  const std::filesystem::path dir = args.values.at("-o");
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  for (uint32_t f = first; records > 0 && f <= last; ++f) {
    clipvane_record record;
    if (int s = clipvane_read_record(c.handle, f, &record); s != CLIPVANE_OK) return Fail(clipvane_error_string(s));
    uint32_t bytes = record.payloadBytes;
    if (withInput) {
      if (f >= videoSizes.size() || clipvane_record_audio_bytes(c.handle, &record, videoSizes[f]) < 0) {
        return Fail("frame " + std::to_string(f) + ": the input's frame size does not fit the record");
      }
      bytes = videoSizes[f];
    }
    char name[32];
    std::snprintf(name, sizeof name, "frame_%06" PRIu32 ".bin", f);
    std::ofstream out(dir / name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(record.payload), std::streamsize(bytes));
    if (!out) return Fail((dir / name).string() + ": cannot be written");
  }
  return 0;
}

// ---- codebook ------------------------------------------------------------

void PrintCodebookJson(const ChannelCodebook& cb, uint32_t channel, bool last) {
  std::printf("  {\"channel\": %" PRIu32 ",\n   \"spectrumCodewords\": [", channel);
  for (int s = 0; s < kSpectrumStages; ++s) {
    std::printf("%s\n    [", s ? "," : "");
    for (int e = 0; e < kStageEntries; ++e) {
      std::printf("%s[", e ? ", " : "");
      for (int k = 0; k < kReflectionOrder; ++k) std::printf("%s%d", k ? ", " : "", cb.spectrumCodewords[s][e][k]);
      std::printf("]");
    }
    std::printf("]");
  }
  std::printf("],\n   \"gainRatio\": [");
  for (int i = 0; i < kGainLevels; ++i) std::printf("%s%d", i ? ", " : "", cb.gainRatio[i]);
  std::printf("],\n   \"keyBase\": [");
  for (int i = 0; i < kReflectionOrder; ++i) std::printf("%s%" PRId32, i ? ", " : "", cb.keyBase[i]);
  std::printf("],\n   \"initialGain\": %" PRId32 "}%s\n", cb.initialGain, last ? "" : ",");
}

int Codebook(const Arguments& args) {
  std::vector<uint8_t> images;
  if (args.flags.count("--builtin") != 0) {
    if (args.positional.size() != 1) return Fail("codebook takes FILE or --builtin, not both");
    const CodebookImage image = ToImage(BuiltInCodebook());
    images.assign(image.begin(), image.end());
  } else {
    if (args.positional.size() != 2) return Fail("codebook needs FILE, movie.cbk or --builtin");
    const std::string& path = args.positional[1];
    player::FileInput input;
    if (!input.Open(path)) return Fail(path + ": cannot be opened");
    uint8_t magic[4] = {};
    if (input.Size() >= 4 && input.ReadAt(0, magic, 4) && std::memcmp(magic, "QKDS", 4) == 0) {
      Container c;
      if (std::string e = c.Open(path); !e.empty()) return Fail(e);
      if (c.header.audioSampleRate == 0) return Fail(path + ": the container has no audio, so no codebook");
      images.resize(std::size_t(c.header.audioChannels) * kCodebookImageBytes);
      for (uint32_t ch = 0; ch < c.header.audioChannels; ++ch) {
        clipvane_get_codebook(c.handle, ch, images.data() + ch * kCodebookImageBytes);
      }
    } else {
      // A side file: images end to end, nothing else.
      const uint64_t size = input.Size();
      if (size == 0 || size % kCodebookImageBytes != 0 || size > kMaxAudioChannels * kCodebookImageBytes) {
        return Fail(path + ": neither a container nor a codebook file (1 or 2 images of 3124 bytes)");
      }
      images.resize(std::size_t(size));
      if (!input.ReadAt(0, images.data(), images.size())) return Fail(path + ": cannot be read");
    }
  }
  if (args.flags.count("--json") != 0) {
    const uint32_t channels = uint32_t(images.size() / kCodebookImageBytes);
    std::printf("[\n");
    for (uint32_t ch = 0; ch < channels; ++ch) {
      PrintCodebookJson(ReadCodebookImage(images.data() + ch * kCodebookImageBytes), ch, ch + 1 == channels);
    }
    std::printf("]\n");
    return 0;
  }
  std::FILE* out = stdout;
  if (args.values.count("-o") != 0) {
    out = std::fopen(args.values.at("-o").c_str(), "wb");
    if (out == nullptr) return Fail(args.values.at("-o") + ": cannot be written");
  } else if (isatty(fileno(stdout))) {
    return Fail("the images are binary: give -o FILE, redirect the output, or ask for --json");
  }
  const bool ok = std::fwrite(images.data(), 1, images.size(), out) == images.size();
  if (out != stdout) {
    if (std::fclose(out) != 0 || !ok) return Fail(args.values.at("-o") + ": cannot be written");
  } else if (!ok || std::fflush(stdout) != 0) {
    return Fail("cannot write to standard output");
  }
  return 0;
}

int VideoSizes(const Arguments& args) {
  if (args.positional.size() != 2) return Fail("video-sizes needs movie.avi");
  std::vector<uint32_t> sizes;
  if (std::string e = LoadVideoSizes(args.positional[1], sizes); !e.empty()) return Fail(e);
  for (uint32_t s : sizes) std::printf("%" PRIu32 "\n", s);
  return 0;
}

}  // namespace

int RunProbe(const std::vector<std::string>& arguments) {
  for (const std::string& a : arguments) {
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  Arguments args;
  std::string error;
  if (arguments.empty()) {
    std::fputs(kUsage, stderr);
    return 1;
  }
  if (!ParseArguments(arguments, args, error)) return Fail(error + " (see --help)");
  const std::string command = args.positional.empty() ? "" : args.positional[0];
  if (command == "info") return Info(args);
  if (command == "verify") return Verify(args);
  if (command == "decode") return Decode(args);
  if (command == "frames") return Frames(args);
  if (command == "codebook") return Codebook(args);
  if (command == "compare") return Compare(args);
  if (command == "video-sizes") return VideoSizes(args);
  return Fail("unknown command '" + command + "' (see --help)");
}

}  // namespace clipvane::probe
