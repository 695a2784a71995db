// Win32Exception texts: the platform's words for the code, composed when the
// exception is raised, never empty.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "driver/Errors.h"

namespace orvella {
namespace {

TEST(Win32ExceptionTest, TextIsThePlatformsWordsForTheCode) {
  Win32Exception denied(5);  // ERROR_ACCESS_DENIED / EIO
  std::string text = denied.what();
  EXPECT_NE("", text);
  EXPECT_NE("Win32 error", text);
  EXPECT_NE("error 5", text) << "the platform has words for code 5";
  EXPECT_EQ(5u, denied.errorCode);

  Win32Exception internet(7, Win32Exception::Kind::Internet);  // CURLE_COULDNT_CONNECT on Linux
  EXPECT_NE("", std::string(internet.what()));
}

TEST(Win32ExceptionTest, CapturesTheLastErrorWhenRaised) {
  // A missing file in the working directory: ENOENT and ERROR_FILE_NOT_FOUND are both 2.
  std::FILE* f = std::fopen("orvella-no-such-file.bin", "rb");
  ASSERT_EQ(nullptr, f);
  Win32Exception e;
  EXPECT_EQ(2u, e.errorCode);
  EXPECT_NE("", std::string(e.what()));
}

TEST(Win32ExceptionTest, NeverEmpty) {
  for (unsigned long code : {0x7FFFFFF0ul, 0ul, 12003ul, 99999ul}) {
    Win32Exception e(code);
    EXPECT_NE("", std::string(e.what())) << "code " << code;
  }
  Win32Exception detailed(28, Win32Exception::Kind::Internet, "timed out after 500 ms");
  EXPECT_STREQ("timed out after 500 ms", detailed.what());
}

TEST(Win32ExceptionTest, CopyKeepsCodeAndText) {
  Win32Exception original(2);
  Win32Exception copy = original;
  EXPECT_EQ(original.errorCode, copy.errorCode);
  EXPECT_STREQ(original.what(), copy.what());
  EXPECT_NE(original.what(), copy.what()) << "each copy holds its own text";
}

}  // namespace
}  // namespace orvella
