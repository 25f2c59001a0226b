#include "platform/worker_thread.h"

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <stdexcept>
#include <string>

namespace clipvane::platform {
namespace {

using Clock = std::chrono::steady_clock;

TEST(WorkerThreadTest, TimedWaitExpiresWhileTheWorkRunsAndSeesItsResultAfter) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  int result = 0;  // plain memory: the finished wait is the only synchronisation

  WorkerThread worker;
  ASSERT_TRUE(worker.Start([&result, released] {
    released.wait();
    result = 42;
  }));
  EXPECT_TRUE(worker.Running());

  const auto before = Clock::now();
  EXPECT_FALSE(worker.WaitFor(100));
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - before);
  EXPECT_GE(waited.count(), 95);
  EXPECT_LT(waited.count(), 5000);
  EXPECT_TRUE(worker.Running());

  release.set_value();
  EXPECT_TRUE(worker.WaitFor(10000));
  EXPECT_EQ(result, 42);
  EXPECT_FALSE(worker.Running());
  EXPECT_TRUE(worker.WaitFor(0)) << "a finished worker stays finished";
}

TEST(WorkerThreadTest, WaitWithoutWorkerReturnsAtOnce) {
  WorkerThread worker;
  EXPECT_FALSE(worker.Running());
  const auto before = Clock::now();
  EXPECT_TRUE(worker.WaitFor(1000));
  EXPECT_LT(Clock::now() - before, std::chrono::milliseconds(500));
  worker.Join();  // harmless when idle
}

TEST(WorkerThreadTest, RunsOneJobAfterAnother) {
  WorkerThread worker;
  std::vector<int> order;
  for (int job = 0; job < 3; ++job) {
    ASSERT_TRUE(worker.Start([&order, job] { order.push_back(job); }));
    EXPECT_TRUE(worker.WaitFor(10000));
  }
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
}

TEST(WorkerThreadTest, StartingAgainWaitsForTheRunningJob) {
  WorkerThread worker;
  std::atomic<int> finished{0};
  ASSERT_TRUE(worker.Start([&finished] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    finished = 1;
  }));
  ASSERT_TRUE(worker.Start([&finished] { finished = finished * 10 + 2; }));
  worker.Join();
  EXPECT_EQ(finished.load(), 12);
}

TEST(WorkerThreadTest, DestructionJoinsARunningWorker) {
  std::atomic<bool> done{false};
  {
    WorkerThread worker;
    ASSERT_TRUE(worker.Start([&done] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      done = true;
    }));
  }
  EXPECT_TRUE(done.load());
}

TEST(WorkerThreadTest, AFailingJobStillCountsAsFinishedAndSaysWhy) {
  struct Case {
    std::function<void()> job;
    std::string failure;
  };
  const Case cases[] = {
      {[] { throw std::runtime_error("no room for the lists"); }, "no room for the lists"},
      {[] { throw std::bad_alloc(); }, "out of memory"},
      {[] { throw 7; }, "unknown failure"},
      {[] {}, ""},
  };
  WorkerThread worker;
  for (const Case& c : cases) {
    ASSERT_TRUE(worker.Start(c.job));
    EXPECT_TRUE(worker.WaitFor(10000));
    EXPECT_FALSE(worker.Running());
    EXPECT_EQ(worker.Failure(), c.failure);
  }
}

}  // namespace
}  // namespace clipvane::platform
