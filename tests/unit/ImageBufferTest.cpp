// Image buffer: geometry, row addresses, refused sizes and rows, memory reuse.
#include <gtest/gtest.h>

#include <string>

#include "camera/ImageBuffer.h"
#include "support/DriverLogCapture.h"

namespace orvella {
namespace {

class ImageBufferTest : public ::testing::Test {
 protected:
  test::DriverLogCapture log{1};
  ImageBuffer buffer;
};

TEST_F(ImageBufferTest, ColourRowsAreThreeBytesAPixelWithoutPadding) {
  ASSERT_TRUE(buffer.Allocate(640, 480, true));
  EXPECT_EQ(buffer.size, 640 * 480 * 3);
  EXPECT_EQ(buffer.width, 640);
  EXPECT_EQ(buffer.height, 480);
  EXPECT_TRUE(buffer.colour);
  ASSERT_NE(buffer.GetLine(0), nullptr);
  EXPECT_EQ(buffer.GetLine(0), buffer.data.get());
  EXPECT_EQ(buffer.GetLine(1) - buffer.GetLine(0), 640 * 3);
}

TEST_F(ImageBufferTest, GrayRowsAreOneByteAPixelAndRowsOutsideAreRefused) {
  ASSERT_TRUE(buffer.Allocate(640, 480, false));
  EXPECT_EQ(buffer.size, 640 * 480);
  EXPECT_EQ(buffer.GetLine(479), buffer.data.get() + 479 * 640) << "last row";
  EXPECT_EQ(buffer.GetLine(480), nullptr);
  EXPECT_TRUE(log.Has("ImageBuffer::GetLine: ERROR: line index out of range: 480\n"));
  EXPECT_EQ(buffer.GetLine(-1), nullptr);
  EXPECT_TRUE(log.Has("ImageBuffer::GetLine: ERROR: line index out of range: -1\n"));
}

TEST_F(ImageBufferTest, EmptyOrNegativeOrOverflowingSizesAreRefusedAndChangeNothing) {
  ASSERT_TRUE(buffer.Allocate(32, 16, true));
  unsigned char* memory = buffer.data.get();

  EXPECT_FALSE(buffer.Allocate(0, 480, true));
  EXPECT_TRUE(log.Has("ImageBuffer::Allocate: ERROR: incorrect size 0\n"));
  EXPECT_FALSE(buffer.Allocate(640, -1, false));
  // 3 x 30000 x 30000 does not fit 32 bits: refused, never wrapped into a small block.
  EXPECT_FALSE(buffer.Allocate(30000, 30000, true));

  EXPECT_EQ(buffer.data.get(), memory);
  EXPECT_EQ(buffer.size, 32 * 16 * 3);
  EXPECT_EQ(buffer.width, 32);
  EXPECT_EQ(buffer.height, 16);
  EXPECT_TRUE(buffer.colour);
}

TEST_F(ImageBufferTest, NeverAllocatedBufferRefusesEveryRow) {
  EXPECT_EQ(buffer.size, 0);
  EXPECT_EQ(buffer.data, nullptr);
  EXPECT_EQ(buffer.GetLine(0), nullptr);
  EXPECT_TRUE(log.Has("ImageBuffer::GetLine: ERROR: line index out of range: 0\n")) << "height is 0";

  // A geometry without memory (an allocation that ran out of memory).
  buffer.width = 8;
  buffer.height = 8;
  EXPECT_EQ(buffer.GetLine(0), nullptr);
  EXPECT_TRUE(log.Has("ImageBuffer::GetLine: ERROR: cannot proceed since it finds unallocated buffer\n"));
}

TEST_F(ImageBufferTest, SameByteCountKeepsMemoryAndContentOtherCountReallocates) {
  ASSERT_TRUE(buffer.Allocate(640, 480, true));
  unsigned char* memory = buffer.data.get();
  buffer.data[0] = 0x5A;
  buffer.data[buffer.size - 1] = 0xA5;

  ASSERT_TRUE(buffer.Allocate(480, 640, true));
  EXPECT_EQ(buffer.data.get(), memory) << "same byte count, same memory";
  EXPECT_EQ(buffer.data[0], 0x5A);
  EXPECT_EQ(buffer.data[buffer.size - 1], 0xA5);
  EXPECT_EQ(buffer.width, 480);
  EXPECT_EQ(buffer.GetLine(1) - buffer.GetLine(0), 480 * 3);

  // 640 x 1440 gray is the same byte count in the other pixel format.
  ASSERT_TRUE(buffer.Allocate(640, 1440, false));
  EXPECT_EQ(buffer.data.get(), memory);
  EXPECT_EQ(buffer.GetLine(1) - buffer.GetLine(0), 640);

  ASSERT_TRUE(buffer.Allocate(320, 240, false));
  EXPECT_EQ(buffer.size, 320 * 240);
  EXPECT_EQ(buffer.GetLine(239) - buffer.GetLine(0), 239 * 320);
}

}  // namespace
}  // namespace orvella
