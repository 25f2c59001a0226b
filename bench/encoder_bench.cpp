// Encoder throughput on real speech and music, in blocks per second on one
// core. The target is 150,000 blocks per second.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "codebook/channel_codebook.h"
#include "codec/encoder/audio_encoder.h"
#include "codec/encoder/encoder_kernels.h"
#include "tests/encoder/test_audio.h"

namespace {

// One channel of the encoder's test audio, with zero look-ahead for the last block.
std::vector<int16_t> LoadChannel(const std::string& file, int channels, int channel) {
  std::vector<int16_t> out = clipvane::testing::LoadChannel(file, channels, channel);
  out.resize(out.size() + 256, 0);
  return out;
}

void EncodeSignal(benchmark::State& state, const std::vector<int16_t>& signal, bool collect,
                  const clipvane::EncoderKernels* kernels = nullptr, int effort = 0) {
  const std::size_t blocks = (signal.size() - 256) / 128;
  if (blocks == 0) {
    state.SkipWithError("test audio missing");
    return;
  }
  clipvane::AudioEncoderState encoder;
  clipvane::ResetEncoderState(encoder, clipvane::BuiltInCodebook());
  if (kernels != nullptr) clipvane::UseEncoderKernels(encoder, *kernels);
  encoder.settings = clipvane::MakeEncoderSettings(128.0f, effort);
  uint8_t packet[clipvane::kMaxPacketBytes];
  std::size_t block = 0;
  int64_t bytes = 0;
  for (auto _ : state) {
    // A key block every 25 blocks, as a movie with a key frame per second would have.
    bytes += clipvane::EncodeAudioBlock(encoder, signal.data() + 128 * block, packet, block % 25 == 0,
                                        collect);
    benchmark::DoNotOptimize(packet);
    if (++block == blocks) {
      block = 0;
      if (collect) clipvane::ResetEncoderState(encoder, clipvane::BuiltInCodebook());
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["bytes_per_block"] =
      benchmark::Counter(static_cast<double>(bytes) / static_cast<double>(state.iterations()));
}

void BM_EncodeSpeech(benchmark::State& state) {
  static const std::vector<int16_t> signal = LoadChannel("speech_mono22050.pcm", 1, 0);
  EncodeSignal(state, signal, false);
}
void BM_EncodeMusic(benchmark::State& state) {
  static const std::vector<int16_t> signal = LoadChannel("chord_stereo44100.pcm", 2, 0);
  EncodeSignal(state, signal, false);
}
void BM_EncodeSpeechInNoise(benchmark::State& state) {
  static const std::vector<int16_t> signal = LoadChannel("speech_noise_stereo48000.pcm", 2, 0);
  EncodeSignal(state, signal, false);
}
void BM_CollectSpeech(benchmark::State& state) {
  static const std::vector<int16_t> signal = LoadChannel("speech_mono22050.pcm", 1, 0);
  EncodeSignal(state, signal, true);
}

// The same with the fast kernels off: the plain kernels every platform runs.
void BM_EncodeSpeechPlainKernels(benchmark::State& state) {
  static const std::vector<int16_t> signal = LoadChannel("speech_mono22050.pcm", 1, 0);
  EncodeSignal(state, signal, false, &clipvane::PlainEncoderKernels());
}

// The closed-loop efforts (the argument), fastest kernels.
void BM_EncodeSpeechAtEffort(benchmark::State& state) {
  static const std::vector<int16_t> signal = LoadChannel("speech_mono22050.pcm", 1, 0);
  EncodeSignal(state, signal, false, nullptr, int(state.range(0)));
}

BENCHMARK(BM_EncodeSpeech);
BENCHMARK(BM_EncodeSpeechAtEffort)->Arg(1)->Arg(2);
BENCHMARK(BM_EncodeMusic);
BENCHMARK(BM_EncodeSpeechInNoise);
BENCHMARK(BM_CollectSpeech);
BENCHMARK(BM_EncodeSpeechPlainKernels);

}  // namespace

BENCHMARK_MAIN();
