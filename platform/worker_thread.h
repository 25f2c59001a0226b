#pragma once
// A worker thread that can be waited on with a time limit.

#include <functional>
#include <memory>
#include <string>

namespace clipvane::platform {

class WorkerThread {
 public:
  WorkerThread();
  ~WorkerThread();  // joins a running worker
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // Starts `work` on a new thread. When no thread can be started, runs
  // `work` on the calling thread before returning false; either way Failure
  // then says how it ended.
  bool Start(std::function<void()> work);
  // Waits at most `milliseconds` for the worker to finish. True when it has
  // finished (or none is running); the worker's writes are then visible.
  bool WaitFor(int milliseconds);
  bool Running() const;
  // After the worker has finished: the failure that ended its work early (an
  // exception, memory exhausted), or empty when the work ran to its end.
  const std::string& Failure() const;
  // Waits without limit.
  void Join();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace clipvane::platform
