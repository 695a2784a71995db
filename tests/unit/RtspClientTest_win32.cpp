// The Windows product has no RTSP: opening a stream says so.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "acquisition/rtsp/RtspClient.h"

namespace orvella {
namespace {

TEST(RtspModuleTest, OpenSaysRtspIsNotAvailable) {
  RtspClient client;
  try {
    client.Open("rtsp://127.0.0.1:1/x", RtspLimits{});
    ADD_FAILURE() << "opened a stream without RTSP";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "RTSP is not available in this build");
  }
  EXPECT_FALSE(client.IsOpen());
}

}  // namespace
}  // namespace orvella
