// Start, stop and the driver-wide queries, through the exported functions only.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/Orvella.h"
#include "support/ApiLog.h"

namespace {

using orvella::test::ApiLog;

class DriverApiTest : public ::testing::Test {
 protected:
  void TearDown() override { orvella::test::ResetDriver(); }
  ApiLog log;
};

std::vector<std::string> Names() {
  std::vector<std::string> names;
  for (char** p = getCVLCameraConfigNames(); *p; ++p) names.emplace_back(*p);
  return names;
}

TEST_F(DriverApiTest, CountsAnswerBeforeInitialize) {
  EXPECT_EQ(getCVLMaxNoOfGrabbers(), 1);
  EXPECT_EQ(getCVLMaxNoOfPorts(), 20);
  EXPECT_EQ(getCVLNoOfSupportedCameras(), 0);
  char** names = getCVLCameraConfigNames();
  ASSERT_NE(names, nullptr);
  EXPECT_EQ(names[0], nullptr);
}

TEST_F(DriverApiTest, InitializeBuildsTenNamedCameras) {
  ASSERT_EQ(initialize(log.dir().c_str(), ApiLog::Callback), 1);
  EXPECT_EQ(getCVLNoOfSupportedCameras(), 10);
  std::vector<std::string> expected;
  for (int i = 1; i <= 10; ++i) expected.push_back("Camera " + std::to_string(i));
  EXPECT_EQ(Names(), expected);
  EXPECT_EQ(Names(), expected) << "the array is rebuilt with the same content on every call";
  EXPECT_TRUE(log.Contains("initialize: Orvella driver V1,0,0,1, refcount=1, ")) << log.Text();
}

TEST_F(DriverApiTest, ReferenceCountingKeepsCamerasUntilTheLastFinalize) {
  ASSERT_EQ(initialize(log.dir().c_str(), ApiLog::Callback), 1);
  ASSERT_EQ(initialize(nullptr, ApiLog::Callback), 1);
  EXPECT_TRUE(log.Contains("refcount=2"));
  EXPECT_EQ(finalize(), 1);
  EXPECT_EQ(getCVLNoOfSupportedCameras(), 10);
  log.SetLevel(2);
  EXPECT_EQ(finalize(), 1);
  EXPECT_EQ(getCVLNoOfSupportedCameras(), 0);
  EXPECT_TRUE(log.Contains("finalize: leaving, refcount=0\n")) << log.Text();
}

TEST_F(DriverApiTest, FinalizeBelowZeroNeedsAnExtraInitialize) {
  EXPECT_EQ(finalize(), 1);                                      // -1
  EXPECT_EQ(initialize(log.dir().c_str(), ApiLog::Callback), 1);  // back to 0, no cameras
  EXPECT_EQ(getCVLNoOfSupportedCameras(), 0);
  EXPECT_EQ(initialize(nullptr, ApiLog::Callback), 1);  // 1: now the list is built
  EXPECT_EQ(getCVLNoOfSupportedCameras(), 10);
}

TEST_F(DriverApiTest, NullCallbackRemovesTheEarlierOne) {
  ASSERT_EQ(initialize(log.dir().c_str(), ApiLog::Callback), 1);
  size_t before = log.Lines().size();
  EXPECT_GT(before, 0u);
  ASSERT_EQ(initialize(nullptr, nullptr), 1);
  EXPECT_EQ(log.Lines().size(), before) << "no callback after it was removed";
}

TEST_F(DriverApiTest, SystemPathRejectsNullAndEmpty) {
  EXPECT_EQ(setSystemPath(""), 0);
  EXPECT_EQ(setSystemPath(nullptr), 0);
  EXPECT_EQ(setSystemPath(log.dir().c_str()), 1);
}

TEST_F(DriverApiTest, SetDebugMsgProcRoutesLines) {
  setDebugMsgProc(ApiLog::Callback);
  ASSERT_EQ(initialize(nullptr, ApiLog::Callback), 1);
  EXPECT_TRUE(log.Contains("initialize: Orvella driver"));
}

}  // namespace
