#pragma once
// The trainer's batch nearest-entry search, shared out over a few threads.
// Each thread searches its own contiguous slice of the list and writes only
// its own slots of the result arrays, so the results are the same whatever the
// thread count; the caller then accumulates them in list order.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "codebook/nearest_entry.h"

namespace clipvane {

class NearestEntrySearch {
 public:
  // `threads` <= 0 picks one per processor (at most kMaxThreads). Helper
  // threads that cannot be started are simply not used.
  NearestEntrySearch(int threads, const NearestEntryKernels& kernels);
  ~NearestEntrySearch();
  NearestEntrySearch(const NearestEntrySearch&) = delete;
  NearestEntrySearch& operator=(const NearestEntrySearch&) = delete;

  // Vector form: `records` holds `count` records of 8 floats, `entries`
  // `entryCount` entries of 8 floats.
  void SearchRecords(const float* records, int count, const float* entries, int entryCount, int* indices,
                     float* distances);
  // Scalar form.
  void SearchLevels(const float* values, int count, const float* levels, int levelCount, int* indices,
                    float* distances);

  int ThreadCount() const { return static_cast<int>(helpers_.size()) + 1; }

  static constexpr int kMaxThreads = 8;

 private:
  struct Job {
    const float* data = nullptr;
    int dimension = 0;
    int count = 0;
    const float* entries = nullptr;
    int entryCount = 0;
    int* indices = nullptr;
    float* distances = nullptr;
  };

  void Run(const Job& job);
  void RunSlice(const Job& job, int slice, int sliceCount) const;
  void HelperLoop(int slice);

  const NearestEntryKernels& kernels_;
  std::vector<std::thread> helpers_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  Job job_;
  int sliceCount_ = 1;
  uint64_t generation_ = 0;
  int pending_ = 0;
  bool quit_ = false;
};

}  // namespace clipvane
