#include "platform/parallel_lane.h"

#include <system_error>

namespace clipvane::platform {

namespace {
// About as long as the main thread takes between two frames' hand-overs; a
// lane that waits longer sleeps instead of holding a processor.
constexpr int kSpins = 1 << 14;
}  // namespace

int ProcessorCount() {
  const unsigned count = std::thread::hardware_concurrency();
  return count == 0 ? 1 : int(count);
}

ParallelLane::~ParallelLane() {
  if (!thread_.joinable()) return;
  if (state_.load(std::memory_order_acquire) == kPosted) AwaitChange(kPosted);
  state_.store(kQuit, std::memory_order_release);
  Notify();
  thread_.join();
}

bool ParallelLane::Start(std::function<void()> job) {
  if (thread_.joinable()) return true;
  job_ = std::move(job);
  try {
    thread_ = std::thread([this] { Loop(); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

int ParallelLane::AwaitChange(int value) {
  for (int i = 0; i < kSpins; ++i) {
    const int now = state_.load(std::memory_order_acquire);
    if (now != value) return now;
  }
#if defined(_WIN32)
  std::unique_lock<std::mutex> lock(sleepMutex_);
  sleepSignal_.wait(lock, [&] { return state_.load(std::memory_order_acquire) != value; });
  return state_.load(std::memory_order_acquire);
#else
  int now = state_.load(std::memory_order_acquire);
  while (now == value) {
    state_.wait(value, std::memory_order_acquire);
    now = state_.load(std::memory_order_acquire);
  }
  return now;
#endif
}

void ParallelLane::Notify() {
#if defined(_WIN32)
  // Taking the lock once orders the change before a sleeper's check: one
  // that checked before it is already waiting and is woken.
  { std::lock_guard<std::mutex> lock(sleepMutex_); }
  sleepSignal_.notify_all();
#else
  state_.notify_one();
#endif
}

void ParallelLane::Loop() {
  int state = kIdle;
  for (;;) {
    while (state == kIdle || state == kDone) state = AwaitChange(state);
    if (state == kQuit) return;
    try {
      job_();
    } catch (...) {
      error_ = std::current_exception();
    }
    state_.store(kDone, std::memory_order_release);
    Notify();
    state = kDone;
  }
}

void ParallelLane::Post() {
  state_.store(kPosted, std::memory_order_release);
  Notify();
}

void ParallelLane::Wait() {
  if (state_.load(std::memory_order_acquire) == kPosted) AwaitChange(kPosted);
  if (error_) {
    std::exception_ptr error = error_;
    error_ = nullptr;
    std::rethrow_exception(error);
  }
}

}  // namespace clipvane::platform
