#include "platform/worker_thread.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

namespace clipvane::platform {

// The finished flag is set under the mutex after the work returns, so a wait
// that sees it also sees everything the work wrote.
struct WorkerThread::Impl {
  std::thread thread;
  std::mutex mutex;
  std::condition_variable finishedSignal;
  bool finished = true;
  std::string failure;  // written by the worker before `finished`
};

WorkerThread::WorkerThread() : impl_(std::make_unique<Impl>()) {}

WorkerThread::~WorkerThread() { Join(); }

namespace {

// Runs a job and says how it ended: empty when it ran to its end. Nothing may
// leave a worker, and a failed job still counts as finished.
std::string RunJob(const std::function<void()>& job) {
  try {
    job();
  } catch (const std::bad_alloc&) {
    return "out of memory";
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return "unknown failure";
  }
  return std::string();
}

}  // namespace

bool WorkerThread::Start(std::function<void()> work) {
  Join();  // one worker at a time
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->finished = false;
    impl_->failure.clear();
  }
  Impl* impl = impl_.get();
  auto job = std::make_shared<std::function<void()>>(std::move(work));
  try {
    impl_->thread = std::thread([impl, job]() {
      std::string failure = RunJob(*job);
      std::lock_guard<std::mutex> lock(impl->mutex);
      impl->failure = std::move(failure);
      impl->finished = true;
      impl->finishedSignal.notify_all();
    });
  } catch (const std::exception&) {
    // No thread to be had: the job runs here, and ends as it would there.
    std::string failure = RunJob(*job);
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->failure = std::move(failure);
    impl_->finished = true;
    return false;
  }
  return true;
}

bool WorkerThread::WaitFor(int milliseconds) {
  if (!impl_->thread.joinable()) return true;
  bool finished;
  {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    finished = impl_->finishedSignal.wait_for(lock, std::chrono::milliseconds(milliseconds < 0 ? 0 : milliseconds),
                                              [this] { return impl_->finished; });
  }
  // The thread has nothing left to do but return; reclaim it now.
  if (finished) impl_->thread.join();
  return finished;
}

bool WorkerThread::Running() const {
  if (!impl_->thread.joinable()) return false;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return !impl_->finished;
}

const std::string& WorkerThread::Failure() const { return impl_->failure; }

void WorkerThread::Join() {
  if (impl_->thread.joinable()) impl_->thread.join();
}

}  // namespace clipvane::platform
