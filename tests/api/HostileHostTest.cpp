// A host that closes or finalizes from inside its callbacks, waits on its own
// threads inside them, or drives one camera from several threads: the driver
// must neither crash nor hang, and must still work afterwards.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/Orvella.h"
#include "support/Host.h"
#include "support/Servers.h"

namespace {

using namespace std::chrono_literals;
using orvella::test::Host;
using orvella::test::HttpUrl;

// What the debug callback does on the first worker line holding `trigger`.
enum class Action { Close, Finalize, WaitForMainThread };

struct Hostile {
  std::string trigger;
  Action action = Action::Close;
  std::thread::id mainThread;
  std::atomic<bool> fired{false};
  // WaitForMainThread: the callback waits until the main thread has served it.
  std::mutex lock;
  std::condition_variable changed;
  bool served = false;
  bool waitTimedOut = false;
};
std::atomic<Hostile*> hostile{nullptr};

void ORVELLA_CALL HostileCallback(const char* text) {
  orvella::test::ApiLog::Callback(text);
  Hostile* h = hostile;
  if (!h || std::this_thread::get_id() == h->mainThread) return;
  if (std::string(text).find(h->trigger) == std::string::npos || h->fired.exchange(true)) return;
  switch (h->action) {
    case Action::Close:
      closeCVLPort(0, 1);
      break;
    case Action::Finalize:
      finalize();
      break;
    case Action::WaitForMainThread: {
      std::unique_lock<std::mutex> guard(h->lock);
      h->changed.notify_all();
      // A GUI host hands the line to its main thread and waits for it.
      if (!h->changed.wait_for(guard, 20s, [h] { return h->served; })) h->waitTimedOut = true;
      break;
    }
  }
}

class HostileHostTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(initialize(host.log.dir().c_str(), orvella::test::ApiLog::Callback), 1); }
  void TearDown() override {
    hostile = nullptr;
    setDebugMsgProc(orvella::test::ApiLog::Callback);
  }
  void Configure(const std::string& file, int level) {
    std::remove((host.log.dir() + orvella::test::PathSeparator() + "Orvella.ini").c_str());
    host.WriteSettings("Camera 1", {{"ImageUrl", HttpUrl("/files/" + file)}, {"LogLevel", std::to_string(level)}});
  }
  // From now on the debug callback does `action` on the first worker line
  // holding `trigger`.
  void Arm(Hostile& h, const char* trigger, Action action) {
    h.trigger = trigger;
    h.action = action;
    h.mainThread = std::this_thread::get_id();
    hostile = &h;
    setDebugMsgProc(HostileCallback);
  }
  // After whatever happened, the driver starts and grabs as before.
  void ExpectDriverStillWorks() {
    std::this_thread::sleep_for(100ms);  // let a detached worker finish its line
    orvella::test::ResetDriver();
    ASSERT_EQ(initialize(host.log.dir().c_str(), orvella::test::ApiLog::Callback), 1);
    Configure("pattern_640x480.jpg", 1);
    ASSERT_EQ(host.Open("Camera 1", 2), 1);
    int before = host.Callbacks(2);
    ASSERT_EQ(doCVLGrab(0, 2), 1);
    EXPECT_TRUE(host.WaitCallbacks(2, before + 1, 10s));
    EXPECT_FALSE(host.ReadImage(2).empty());
    closeCVLPort(0, 2);
  }
  Host host;
};

TEST_F(HostileHostTest, CloseOrFinalizeFromTheDebugCallbackOnAWorkerLine) {
  struct Case {
    const char* file;
    const char* trigger;
    Action action;
  };
  const Case cases[] = {
#ifndef _WIN32
      // The decoder's warning comes from inside the decode.
      {"damaged.jpg", "ImageDecoder", Action::Close},
      {"damaged.jpg", "ImageDecoder", Action::Finalize},
#endif
      {"pattern_640x480.jpg", "image available", Action::Close},
      {"pattern_640x480.jpg", "image available", Action::Finalize},
      {"missing.jpg", "failed to receive", Action::Finalize},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " / " + c.trigger);
    Hostile h;
    Arm(h, c.trigger, c.action);
    Configure(c.file, 3);
    ASSERT_EQ(host.Open("Camera 1", 1), 1);
    ASSERT_EQ(doCVLGrab(0, 1), 1);
    for (int i = 0; i < 100 && !h.fired; ++i) std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(h.fired) << "the trigger line never came";
    closeCVLPort(0, 1);
    hostile = nullptr;
    ExpectDriverStillWorks();
  }
}

TEST_F(HostileHostTest, FinalizeFromTheWorkersLeavingLineWhileTheHostCloses) {
  Hostile h;
  Arm(h, "ThreadMain: leaving", Action::Finalize);
  Configure("pattern_640x480.jpg", 3);
  ASSERT_EQ(host.Open("Camera 1", 1), 1);
  closeCVLPort(0, 1);
  EXPECT_TRUE(h.fired);
  hostile = nullptr;
  ExpectDriverStillWorks();
}

TEST_F(HostileHostTest, CloseReturnsWhileTheCallbackWaitsForTheClosingThread) {
  for (const char* trigger : {"image available", "ImageDecoder", "ThreadMain: entering"}) {
#ifdef _WIN32
    if (std::string(trigger) == "ImageDecoder") continue;
#endif
    SCOPED_TRACE(trigger);
    Hostile h;
    Arm(h, trigger, Action::WaitForMainThread);
    Configure("damaged.jpg", 3);
    ASSERT_EQ(host.Open("Camera 1", 1), 1);
    ASSERT_EQ(doCVLGrab(0, 1), 1);
    {
      std::unique_lock<std::mutex> guard(h.lock);
      ASSERT_TRUE(h.changed.wait_for(guard, 10s, [&] { return h.fired.load(); }));
    }
    const auto start = std::chrono::steady_clock::now();
    closeCVLPort(0, 1);  // the worker is inside the callback, waiting for us
    const auto took = std::chrono::steady_clock::now() - start;
    // Its lines wait for the blocked callback's pair once, not each in turn.
    EXPECT_LT(took, 1100ms) << "close took " << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
                            << " ms";
    {
      std::lock_guard<std::mutex> guard(h.lock);
      h.served = true;
    }
    h.changed.notify_all();
    EXPECT_FALSE(h.waitTimedOut) << "close waited for the callback: a GUI host deadlocks here";
    hostile = nullptr;
    ExpectDriverStillWorks();
  }
}

// One host thread copies every row of port 1 as fast as it can while another
// reopens the port at other sizes, with another camera in between, and
// finalizes: a buffer freed or replaced under a copy shows under ASan and
// TSan, and the copying thread ends holding a picture it must let go of.
TEST_F(HostileHostTest, RowCopiesWhileAnotherThreadReopensAtOtherSizes) {
  const int sizes[][2] = {{640, 480}, {320, 240}, {800, 96}, {64, 480}};
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    std::vector<unsigned char> row(800 * 3);
    while (!stop)
      for (int r = 0; r < 480 && !stop; ++r) getCVLGrabRow(0, 1, row.data(), r, 0, 799);
  });
  for (int i = 0; i < 48; ++i) {
    const char* camera = i % 4 == 3 ? "Camera 2" : "Camera 1";
    host.WriteSettings(camera, {{"ImageUrl", HttpUrl("/files/pattern_640x480.jpg")},
                                {"width", std::to_string(sizes[i % 4][0])},
                                {"height", std::to_string(sizes[i % 4][1])},
                                {"LogLevel", "0"}});
    if (host.Open(camera, 1) == 1) {
      const int before = host.Callbacks(1);
      doCVLGrab(0, 1);
      host.WaitCallbacks(1, before + 1, 2s);
    }
    closeCVLPort(0, 1);
    if (i % 8 == 7) {
      finalize();
      initialize(host.log.dir().c_str(), orvella::test::ApiLog::Callback);
    }
  }
  stop = true;
  reader.join();
  ExpectDriverStillWorks();
}

// Several host threads on one camera, with a finalize/initialize pair
// racing them: every interleaving must be safe.
TEST_F(HostileHostTest, OneCameraFromSeveralThreadsWithFinalizeRacing) {
  Configure("pattern_640x480.jpg", 1);
  std::atomic<bool> stop{false};
  auto worker = [&](int port) {
    std::vector<unsigned char> row(640 * 3);
    int size[2];
    for (int i = 0; i < 60 && !stop; ++i) {
      if (openCVLPort(0, port, "Camera 1", size)) {
        doCVLGrab(0, port);
        getCVLGrabRow(0, port, row.data(), 0, 0, 639);
        int value;
        getProperty(0, port, "width", &value);
        setProperty(0, port, "RefreshRate", 5);
        if (i % 7 == 0) setProperty(0, port, "continuous", i % 2);
      }
      closeCVLPort(0, port);
    }
  };
  std::vector<std::thread> threads;
  for (int port = 1; port <= 3; ++port) threads.emplace_back(worker, port);
  threads.emplace_back([&] {
    for (int i = 0; i < 10; ++i) {
      std::this_thread::sleep_for(20ms);
      finalize();  // the last one: the cameras go
      initialize(nullptr, orvella::test::ApiLog::Callback);
    }
  });
  for (auto& t : threads) t.join();
  ExpectDriverStillWorks();
}

}  // namespace
