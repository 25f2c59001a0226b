#include "codebook/nearest_entry_search.h"

#include <algorithm>
#include <system_error>

#include "codebook/nearest_entry_kernels.h"

namespace clipvane {
namespace {

// Below this many elements a pass is too short to be worth waking a helper.
constexpr int kMinParallelCount = 4096;
// Slices start on multiples of 8 so the vector kernels see whole groups.
constexpr int kSliceAlignment = 8;

}  // namespace

NearestEntrySearch::NearestEntrySearch(int threads, const NearestEntryKernels& kernels) : kernels_(kernels) {
  if (threads <= 0) {
    threads = static_cast<int>(std::thread::hardware_concurrency());
    if (threads <= 0) threads = 1;
  }
  threads = std::min(threads, kMaxThreads);
  for (int slice = 1; slice < threads; ++slice) {
    try {
      helpers_.emplace_back([this, slice] { HelperLoop(slice); });
    } catch (const std::system_error&) {
      break;  // run with the threads we have
    }
  }
}

NearestEntrySearch::~NearestEntrySearch() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  wake_.notify_all();
  for (std::thread& helper : helpers_) helper.join();
}

void NearestEntrySearch::SearchRecords(const float* records, int count, const float* entries, int entryCount,
                                       int* indices, float* distances) {
  Run(Job{records, detail::kSearchDimension, count, entries, entryCount, indices, distances});
}

void NearestEntrySearch::SearchLevels(const float* values, int count, const float* levels, int levelCount,
                                      int* indices, float* distances) {
  Run(Job{values, 1, count, levels, levelCount, indices, distances});
}

void NearestEntrySearch::RunSlice(const Job& job, int slice, int sliceCount) const {
  const int64_t groups = (static_cast<int64_t>(job.count) + kSliceAlignment - 1) / kSliceAlignment;
  const int begin = static_cast<int>(std::min<int64_t>(groups * slice / sliceCount * kSliceAlignment, job.count));
  const int end =
      static_cast<int>(std::min<int64_t>(groups * (slice + 1) / sliceCount * kSliceAlignment, job.count));
  if (begin >= end) return;
  const float* data = job.data + static_cast<int64_t>(begin) * job.dimension;
  if (job.dimension == 1) {
    kernels_.levels(data, end - begin, job.entries, job.entryCount, job.indices + begin, job.distances + begin);
  } else {
    kernels_.records(data, end - begin, job.entries, job.entryCount, job.indices + begin, job.distances + begin);
  }
}

void NearestEntrySearch::Run(const Job& job) {
  if (helpers_.empty() || job.count < kMinParallelCount) {
    RunSlice(job, 0, 1);
    return;
  }
  const int sliceCount = ThreadCount();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    job_ = job;
    sliceCount_ = sliceCount;
    pending_ = static_cast<int>(helpers_.size());
    ++generation_;
  }
  wake_.notify_all();
  RunSlice(job, 0, sliceCount);
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [this] { return pending_ == 0; });
}

void NearestEntrySearch::HelperLoop(int slice) {
  uint64_t seen = 0;
  for (;;) {
    Job job;
    int sliceCount = 0;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return quit_ || generation_ != seen; });
      if (quit_) return;
      seen = generation_;
      job = job_;
      sliceCount = sliceCount_;
    }
    RunSlice(job, slice, sliceCount);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      --pending_;
    }
    done_.notify_one();
  }
}

}  // namespace clipvane
