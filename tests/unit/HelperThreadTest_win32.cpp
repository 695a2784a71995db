// The helper behind the WinInet download: one thread for every job, and a
// helper left behind with a stuck job ends by itself once the job returns.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "acquisition/transport/wininet/HelperThread.h"

namespace orvella {
namespace {

void WaitFor(const std::atomic<bool>& flag) {
  for (int i = 0; i < 5000 && !flag; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST(HelperThreadTest, EveryJobRunsOnTheSameThreadOneAfterAnother) {
  auto running = std::make_shared<std::atomic<int>>(0);
  auto helper = HelperThread::Start(running);
  EXPECT_EQ(*running, 1);
  std::thread::id first;
  for (int i = 0; i < 20; ++i) {
    std::atomic<bool> done{false};
    std::thread::id id;
    helper->Post([&] {
      id = std::this_thread::get_id();
      done = true;
    });
    WaitFor(done);
    ASSERT_TRUE(done) << "job " << i;
    if (i == 0) first = id;
    EXPECT_EQ(id, first) << "job " << i << " ran on a thread of its own";
    EXPECT_NE(id, std::this_thread::get_id());
  }
  helper->Stop(true);
  EXPECT_EQ(*running, 0) << "joined";
}

TEST(HelperThreadTest, HelperLeftWithAStuckJobEndsWhenTheJobReturns) {
  auto running = std::make_shared<std::atomic<int>>(0);
  std::atomic<bool> started{false}, release{false};
  {
    auto helper = HelperThread::Start(running);
    helper->Post([&] {
      started = true;
      WaitFor(release);
    });
    WaitFor(started);
    helper->Stop(false);  // returns at once, the job still runs
  }
  EXPECT_EQ(*running, 1);
  release = true;
  for (int i = 0; i < 5000 && *running; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(*running, 0);
}

}  // namespace
}  // namespace orvella
