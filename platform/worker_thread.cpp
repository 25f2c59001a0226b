#include "platform/worker_thread.h"

#include <chrono>
#include <condition_variable>
#include <exception>
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

bool WorkerThread::Start(std::function<void()> work) {
  Join();  // one worker at a time
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->finished = false;
    impl_->failure.clear();
  }
  Impl* impl = impl_.get();
  try {
    impl_->thread = std::thread([impl, job = std::move(work)]() {
      // Nothing may leave a thread. A failed job still counts as finished, so
      // the waiter is never left polling for ever, and says why it failed.
      std::string failure;
      try {
        job();
      } catch (const std::bad_alloc&) {
        failure = "out of memory";
      } catch (const std::exception& error) {
        failure = error.what();
      } catch (...) {
        failure = "unknown failure";
      }
      std::lock_guard<std::mutex> lock(impl->mutex);
      impl->failure = std::move(failure);
      impl->finished = true;
      impl->finishedSignal.notify_all();
    });
  } catch (const std::exception&) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
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
