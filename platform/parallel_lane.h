#pragma once
// A second thread that runs one job at a time for the main thread, handed
// over with little latency: the conversion gives it one channel's blocks of a
// frame while the main thread encodes the other channel. Between jobs the
// thread spins briefly, then sleeps until the next job is posted.

#include <atomic>
#include <exception>
#include <functional>
#include <thread>
#if defined(_WIN32)
#include <condition_variable>
#include <mutex>
#endif

namespace clipvane::platform {

class ParallelLane {
 public:
  ParallelLane() = default;
  ~ParallelLane();  // waits for a posted job, then ends the thread
  ParallelLane(const ParallelLane&) = delete;
  ParallelLane& operator=(const ParallelLane&) = delete;

  // Starts the thread that runs `job` each time Post is called. False when no
  // thread could be started: the caller then runs the work itself.
  bool Start(std::function<void()> job);
  bool Started() const { return thread_.joinable(); }
  // Runs the job once on the lane's thread. One job at a time: Wait comes
  // before the next Post.
  void Post();
  // Waits for the posted job to end; the job's writes are then visible. An
  // exception the job threw is thrown again here.
  void Wait();

 private:
  enum : int { kIdle, kPosted, kDone, kQuit };
  void Loop();
  // Spins, then sleeps, while `state_` holds `value`; returns the new state.
  int AwaitChange(int value);
  // Wakes the other thread after a change of `state_`.
  void Notify();

  std::function<void()> job_;
  std::atomic<int> state_{kIdle};
  std::exception_ptr error_;
  std::thread thread_;
#if defined(_WIN32)
  // MinGW's C++ library waits on an atomic through a shared table of
  // condition variables and can miss a wake-up there, leaving both threads
  // asleep for good; on Windows the lane sleeps on its own instead.
  std::mutex sleepMutex_;
  std::condition_variable sleepSignal_;
#endif
};

// The number of processors, at least 1.
int ProcessorCount();

}  // namespace clipvane::platform
