// Training one channel of a 10-minute 22,050 Hz movie: about 100,000 non-key
// blocks (reflection deltas and gain ratios) and some key blocks. The plain
// kernels (fast kernels off) against the x86 ones and the parallel search;
// every variant trains the same image.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "codebook/nearest_entry.h"
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

void TrainOneChannel(benchmark::State& bench, int threads, const NearestEntryKernels* kernels) {
  const AudioEncoderState& lists = TrainingLists();
  for (auto _ : bench) {
    bench.PauseTiming();
    AudioEncoderState state;
    state.keyReflectionVectors = lists.keyReflectionVectors;
    state.deltaReflectionVectors = lists.deltaReflectionVectors;
    state.keyGainValues = lists.keyGainValues;
    state.gainLogRatios = lists.gainLogRatios;
    bench.ResumeTiming();
    TrainChannelCodebook(state, nullptr, TrainerOptions{threads, kernels});
    benchmark::DoNotOptimize(state.decoder.codebook);
  }
}

// One pass of the nearest-entry search over the 100,000 records against 64
// entries: the kernel alone, one thread.
void SearchOnePass(benchmark::State& bench, const NearestEntryKernels* kernels) {
  const AudioEncoderState& lists = TrainingLists();
  const int count = static_cast<int>(lists.deltaReflectionVectors.size());
  std::vector<float> entries(64 * 8);
  for (int e = 0; e < 64; ++e) {
    for (int k = 0; k < 8; ++k) entries[e * 8 + k] = lists.deltaReflectionVectors[e * 997][k];
  }
  std::vector<int> indices(count);
  std::vector<float> distances(count);
  for (auto _ : bench) {
    kernels->records(lists.deltaReflectionVectors[0].data(), count, entries.data(), 64, indices.data(),
                     distances.data());
    benchmark::DoNotOptimize(indices.data());
  }
  bench.SetItemsProcessed(bench.iterations() * count);
}

}  // namespace
}  // namespace clipvane

// Every kernel set this processor runs, the plain one (fast kernels off)
// first, then the fastest set with every thread.
int main(int argc, char** argv) {
  using namespace clipvane;
  for (const NearestEntryKernels* kernels : SupportedNearestEntryKernels()) {
    benchmark::RegisterBenchmark((std::string("BM_NearestEntriesPass/") + kernels->name).c_str(), SearchOnePass,
                                 kernels)
        ->Unit(benchmark::kMillisecond);
  }
  for (const NearestEntryKernels* kernels : SupportedNearestEntryKernels()) {
    benchmark::RegisterBenchmark((std::string("BM_TrainChannelOneThread/") + kernels->name).c_str(),
                                 TrainOneChannel, 1, kernels)
        ->Unit(benchmark::kSecond)
        ->UseRealTime()
        ->Iterations(1);
  }
  benchmark::RegisterBenchmark("BM_TrainChannelOptimised", TrainOneChannel, 0, nullptr)
      ->Unit(benchmark::kSecond)
      ->UseRealTime()
      ->Iterations(3);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
