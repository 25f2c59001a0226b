#include "platform/parallel_lane.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace clipvane::platform {
namespace {

TEST(ParallelLane, RunsEachPostedJobOnceAndShowsItsWritesAfterTheWait) {
  int runs = 0;
  int seen = 0;
  ParallelLane lane;
  ASSERT_TRUE(lane.Start([&runs] { ++runs; }));
  for (int i = 1; i <= 20000; ++i) {
    lane.Post();
    lane.Wait();
    seen += runs == i;
  }
  EXPECT_EQ(seen, 20000);
  lane.Wait();  // nothing posted: returns at once
  EXPECT_EQ(runs, 20000);
}

TEST(ParallelLane, AFailingJobThrowsAtTheWaitAndTheLaneGoesOn) {
  int runs = 0;
  ParallelLane lane;
  ASSERT_TRUE(lane.Start([&runs] {
    if (++runs == 2) throw std::runtime_error("no room");
  }));
  lane.Post();
  EXPECT_NO_THROW(lane.Wait());
  lane.Post();
  EXPECT_THROW(lane.Wait(), std::runtime_error);
  lane.Post();
  EXPECT_NO_THROW(lane.Wait());
  EXPECT_EQ(runs, 3);
}

TEST(ParallelLane, DestructionWaitsForAPostedJob) {
  int runs = 0;
  {
    ParallelLane lane;
    ASSERT_TRUE(lane.Start([&runs] { ++runs; }));
    lane.Post();
  }
  EXPECT_EQ(runs, 1);
  ParallelLane neverStarted;
  EXPECT_FALSE(neverStarted.Started());
  EXPECT_GE(ProcessorCount(), 1);
}

}  // namespace
}  // namespace clipvane::platform
