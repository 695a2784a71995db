// A camera whose URL answers with an MJPEG stream (the test server's /mjpeg:
// numbered 128 x 16 frames), through the exported functions only.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
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
using Clock = std::chrono::steady_clock;

constexpr int kPort = 30;

class MjpegApiTest : public orvella::test::ServerHostTest {
 protected:
  MjpegApiTest() : ServerHostTest(kPort) {}

  // Camera `camera` on the stream `query` of /mjpeg, opened on kPort.
  void Open(const std::string& query, int camera = 1) {
    url = HttpUrl("/mjpeg?" + query);
    const std::string name = "Camera " + std::to_string(camera);
    host.WriteSettings(
        name, {{"ImageUrl", url}, {"width", "128"}, {"height", "16"}, {"RefreshRate", "10"}, {"LogLevel", "1"}});
    ASSERT_EQ(host.Open(name, kPort), 1);
  }
  // One grab and its picture's frame number.
  int Grab() {
    const int seen = host.Callbacks(kPort);
    EXPECT_EQ(doCVLGrab(0, kPort), 1);
    if (!host.WaitCallbacks(kPort, seen + 1, 10s)) {
      ADD_FAILURE() << "no picture for the grab\n" << host.log.Text();
      return -1;
    }
    return Frame();
  }
  // The frame number the newest picture shows: one bit per 8 px column.
  int Frame() {
    const std::vector<unsigned char> image = host.ReadImage(kPort);  // latches the newest at row 0
    const size_t row = size_t(8) * 128 * host.bytesPerPixel;
    if (image.size() < row * 2) return -1;
    int n = 0;
    for (int bit = 0; bit < 16; ++bit)
      if (image[row + (bit * 8 + 4) * host.bytesPerPixel] > 128) n |= 1 << bit;
    return n;
  }
  // The server's last frame sent whole, and its age in ms.
  static std::pair<int, int> LastSent() {
    const std::string answer = orvella::test::RawHttpGet(orvella::test::HttpPort(), "/_mjpeg");
    const size_t frame = answer.find("frame="), age = answer.find("age_ms=");
    if (frame == std::string::npos || age == std::string::npos) return {-1, -1};
    return {std::atoi(answer.c_str() + frame + 6), std::atoi(answer.c_str() + age + 7)};
  }
  // Waits a while for a line containing `part` (the worker logs after the callback).
  void WaitForLine(const std::string& part) {
    for (int i = 0; i < 200 && !host.log.Contains(part); ++i) std::this_thread::sleep_for(10ms);
  }
  std::string ErrLine(const std::string& reason) const {
    return "ERR: ImageReceivingThread::ThreadMain: failed to receive image at url=(" + url +
           "), port=30, reason: " + reason + "\t\n";
  }

  std::string url;
};

TEST_F(MjpegApiTest, FreshFramesInTriggerAndContinuousModeOverOneConnection) {
  int camera = 0;
  for (const char* query : {"fps=25", "fps=25&nolength=1"}) {
    SCOPED_TRACE(query);
    const int before = orvella::test::HttpConnectionCount(), requestsBefore = orvella::test::HttpRequestCount();
    ASSERT_NO_FATAL_FAILURE(Open(query, ++camera));
    int last = Grab();
    // The download that finds the stream goes on as the stream: one request.
    int connections = orvella::test::HttpConnectionCount();
    EXPECT_LE(connections - before, 1);
    EXPECT_EQ(orvella::test::HttpRequestCount() - requestsBefore, 1) << "one request per stream open";
    for (int i = 0; i < 5; ++i) {
      const int frame = Grab();
      EXPECT_GT(frame, last) << "every grab a newer frame";
      last = frame;
    }
    EXPECT_EQ(orvella::test::HttpConnectionCount(), connections) << "every grab over the one connection";

    ASSERT_EQ(setProperty(0, kPort, "continuous", 1), 1);  // reopens the camera: a new connection
    ASSERT_TRUE(host.WaitCallbacks(kPort, host.Callbacks(kPort) + 1, 10s)) << host.log.Text();
    connections = orvella::test::HttpConnectionCount();
    last = Frame();
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(host.WaitCallbacks(kPort, host.Callbacks(kPort) + 5, 10s)) << host.log.Text();
      const int frame = Frame();
      EXPECT_GT(frame, last + 5) << "five pictures at 10/s from a stream of 25/s";
      last = frame;
    }
    EXPECT_EQ(orvella::test::HttpConnectionCount(), connections) << "continuous mode over one connection";
    EXPECT_FALSE(host.log.Contains("ERR: ")) << host.log.Text();
    closeCVLPort(0, kPort);
  }
}

TEST_F(MjpegApiTest, AGrabNeverGetsAFrameCompletedBeforeIt) {
  ASSERT_NO_FATAL_FAILURE(Open("fps=4"));
  int last = Grab();
  for (int i = 0; i < 4; ++i) {
    // A frame newer than the last picture has arrived whole, and the next is
    // well ahead: a grab now must not get the one that is there.
    std::pair<int, int> sent = LastSent();
    for (int tries = 0; tries < 200 && (sent.first <= last || sent.second < 60 || sent.second > 150); ++tries) {
      std::this_thread::sleep_for(5ms);
      sent = LastSent();
    }
    last = Grab();
    EXPECT_GT(last, sent.first) << "frame " << sent.first << " was there before the grab";
    EXPECT_LE(last, sent.first + 2) << "the first frame after the grab";
  }
}

TEST_F(MjpegApiTest, AStreamTheCameraEndsIsOneFailureThenAReconnect) {
  const struct {
    const char* end;
    const char* reason;
  } ends[] = {{"close", "MjpegStream: the camera ended the stream"},
              {"cut", "MjpegStream: the stream was cut in the middle of a picture"}};
  int camera = 0;
  for (const auto& e : ends) {
    SCOPED_TRACE(e.end);
    host.log.Clear();
    ASSERT_NO_FATAL_FAILURE(Open(std::string("fps=25&frames=3&end=") + e.end, ++camera));
    EXPECT_GT(Grab(), 0);
    std::this_thread::sleep_for(500ms);  // the stream has ended meanwhile
    const int callbacks = host.Callbacks(kPort);
    ASSERT_EQ(doCVLGrab(0, kPort), 1);
    WaitForLine("ERR: ");
    EXPECT_EQ(host.Callbacks(kPort), callbacks) << "no picture from an ended stream";
    const int requests = orvella::test::HttpRequestCount();
    EXPECT_GT(Grab(), 0) << "the next grab reconnects";
    EXPECT_EQ(orvella::test::HttpRequestCount() - requests, 1) << "one request per reconnect";
    WaitForLine("OK: ");
    EXPECT_EQ(host.log.Count(ErrLine(e.reason)), 1) << host.log.Text();
    EXPECT_EQ(host.log.Count("ERR: "), 1);
    EXPECT_EQ(
        host.log.Count("OK: ImageReceivingThread::ThreadMain: image receive resumed at url=(" + url + "), port=30\n"),
        1);
    closeCVLPort(0, kPort);
  }
}

TEST_F(MjpegApiTest, CloseDuringAStreamReturnsPromptly) {
  int camera = 0;
  for (const char* query : {"fps=25", "fps=0.5"}) {
    SCOPED_TRACE(query);
    ASSERT_NO_FATAL_FAILURE(Open(query, ++camera));
    Grab();
    if (std::string(query) == "fps=25") {
      ASSERT_EQ(setProperty(0, kPort, "continuous", 1), 1);  // closed while frames arrive
      ASSERT_TRUE(host.WaitCallbacks(kPort, 4, 10s));
    } else {
      ASSERT_EQ(doCVLGrab(0, kPort), 1);  // closed while the grab waits for the next frame
      std::this_thread::sleep_for(300ms);
    }
    const Clock::time_point start = Clock::now();
    closeCVLPort(0, kPort);
    EXPECT_LT(Clock::now() - start, 1100ms);
    EXPECT_FALSE(host.log.Contains("ERR: ")) << "a close is not a camera failure\n" << host.log.Text();
  }
}

}  // namespace
