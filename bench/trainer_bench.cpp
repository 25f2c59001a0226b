// Training one channel of a 10-minute 22,050 Hz movie: about 100,000 non-key
// blocks (reflection deltas and gain ratios) and some key blocks. The plain
// search (one record at a time, one thread) against the batch kernels and the
// parallel search; every variant trains the same image.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "codebook/trainer.h"

namespace clipvane {
namespace {

constexpr int kNonKeyBlocks = 100000;
constexpr int kKeyBlocks = 600;

// Coefficients drifting towards targets that change now and then, minus the
// previous block's coefficient in Q15, as the encoder appends them.
const AudioEncoderState& TrainingLists() {
  static const AudioEncoderState lists = [] {
    AudioEncoderState state;
    std::mt19937 engine(2024);
    std::normal_distribution<float> noise(0.0f, 0.05f);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    ReflectionRecord k{}, target{};
    for (int t = 0; t < kNonKeyBlocks; ++t) {
      if (t % 40 == 0) {
        target[0] = -0.4f + 0.58f * uniform(engine);
        for (int i = 1; i < 8; ++i) target[i] = 0.6f * uniform(engine) / static_cast<float>(i);
      }
      ReflectionRecord delta;
      for (int i = 0; i < 8; ++i) {
        const float previousQ15 = std::round(k[i] * 32768.0f) / 32768.0f;
        k[i] = std::clamp(0.7f * k[i] + 0.3f * target[i] + noise(engine), -0.999f, 0.999f);
        delta[i] = k[i] - previousQ15;
      }
      state.deltaReflectionVectors.push_back(delta);
      state.gainLogRatios.push_back(8.0f * noise(engine) + (t % 23 == 0 ? -2.0f : 0.0f));
    }
    for (int t = 0; t < kKeyBlocks; ++t) {
      ReflectionRecord r;
      for (int i = 0; i < 8; ++i) r[i] = 0.95f * uniform(engine) / static_cast<float>(i + 1);
      state.keyReflectionVectors.push_back(r);
      state.keyGainValues.push_back(4.0f * std::exp(3.5f + 3.5f * uniform(engine)));
    }
    return state;
  }();
  return lists;
}

void TrainOneChannel(benchmark::State& bench, int threads, SearchKernel kernel) {
  const AudioEncoderState& lists = TrainingLists();
  for (auto _ : bench) {
    bench.PauseTiming();
    AudioEncoderState state;
    state.keyReflectionVectors = lists.keyReflectionVectors;
    state.deltaReflectionVectors = lists.deltaReflectionVectors;
    state.keyGainValues = lists.keyGainValues;
    state.gainLogRatios = lists.gainLogRatios;
    bench.ResumeTiming();
    TrainChannelCodebook(state, nullptr, TrainerOptions{threads, kernel});
    benchmark::DoNotOptimize(state.decoder.codebook);
  }
}

void BM_TrainChannelPlain(benchmark::State& bench) { TrainOneChannel(bench, 1, SearchKernel::kScalar); }
void BM_TrainChannelPortable(benchmark::State& bench) { TrainOneChannel(bench, 1, SearchKernel::kPortable); }
void BM_TrainChannelAvx2OneThread(benchmark::State& bench) { TrainOneChannel(bench, 1, SearchKernel::kAvx2); }
void BM_TrainChannelAvx512OneThread(benchmark::State& bench) { TrainOneChannel(bench, 1, SearchKernel::kAvx512); }
void BM_TrainChannelOptimised(benchmark::State& bench) { TrainOneChannel(bench, 0, SearchKernel::kAuto); }

BENCHMARK(BM_TrainChannelPlain)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_TrainChannelPortable)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_TrainChannelAvx2OneThread)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_TrainChannelAvx512OneThread)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_TrainChannelOptimised)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(3);

}  // namespace
}  // namespace clipvane

BENCHMARK_MAIN();
