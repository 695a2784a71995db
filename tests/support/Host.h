// A test host: writes camera settings, counts completion callbacks and copies
// images out through the exported functions, as a real host does.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "driver/Orvella.h"
#include "support/ApiLog.h"
#include "support/Servers.h"

namespace orvella::test {

class Host {
 public:
  Host();
  ~Host();

  // Writes the camera's section of the settings file (key=value lines).
  void WriteSettings(const std::string& camera, const std::map<std::string, std::string>& keys);
  // Opens `camera` on `port`; returns openCVLPort's result and fills width/height.
  int Open(const std::string& camera, int port);
  // Callbacks seen for `port` so far.
  int Callbacks(int port) const;
  // Waits until `port` has seen at least `count` callbacks; false on time-out.
  bool WaitCallbacks(int port, int count, std::chrono::milliseconds timeout);
  // Copies a whole image of `port`, row 0 first, as the host does after a callback.
  std::vector<unsigned char> ReadImage(int port);
  // Copies one row (latches at row 0).
  std::vector<unsigned char> ReadRow(int port, int row);
  // Largest difference between an image read at this size and the test
  // pattern (support/TestImages.h); 255 for an image of the wrong size.
  int PatternError(const std::vector<unsigned char>& image) const;
  // Ports whose callbacks reported a grabber number other than 0.
  int BadGrabberCalls() const;

  ApiLog log;
  int width = 0, height = 0, bytesPerPixel = 3;

  static void ORVELLA_CALL OnComplete(int grabberNo, int portNo);
};

// A test through the exports against the loopback servers: the driver
// initialized with this host's log; `port` closed afterwards.
class ServerHostTest : public ::testing::Test {
 protected:
  explicit ServerHostTest(int p) : port(p) {}
  void SetUp() override {
    ORVELLA_REQUIRE_SERVERS();
    ASSERT_EQ(initialize(host.log.dir().c_str(), ApiLog::Callback), 1);
  }
  void TearDown() override { closeCVLPort(0, port); }
  const int port;
  Host host;
};

}  // namespace orvella::test
