// Image ring: the worker's hand-overs against the host's row reads, and the
// row copies the ring refuses.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "camera/ImageRing.h"
#include "support/DriverLogCapture.h"

namespace orvella {
namespace {

constexpr int kWidth = 4;
constexpr int kHeight = 2;

// Steps: 'w' the worker writes the next picture (numbered from 1, every byte
// the number) into its buffer, 'h' hands it over, '0' / '1' the host reads
// row 0 / row 1. `seen` lists the picture each read found.
struct Script {
  const char* steps;
  const char* seen;
  const char* why;
};

const Script kScripts[] = {
    {"wh0", "1", "row 0 latches the handed-over picture"},
    {"whwhwh0", "3", "row 0 latches the newest of several"},
    {"whw0", "1", "a picture not yet handed over is never latched"},
    {"wh0w0", "11", "row 0 without a new hand-over latches the same picture"},
    {"wh0wh0", "12", "each row 0 moves to the newest"},
    {"wh0whwhwhwhwh1", "11", "row 1 reads the latched picture through any number of hand-overs"},
    {"wh0whwh1wh1wh0whwh1", "11155", "rows and hand-overs interleaved"},
};

std::string Play(ImageRing& ring, const char* steps) {
  std::string seen;
  int next = 1;
  int latched = 0;
  unsigned char row[kWidth];
  for (const char* step = steps; *step; ++step) {
    switch (*step) {
      case 'w': {
        ImageBuffer& buffer = ring.WriteBuffer();
        if (latched) {
          EXPECT_NE(buffer.data[0], latched) << "the worker writes the buffer being read at step " << step - steps;
        }
        std::memset(buffer.data.get(), next++, static_cast<size_t>(buffer.size));
        break;
      }
      case 'h':
        ring.HandOver();
        break;
      default:
        EXPECT_TRUE(ring.CopyRow(*step - '0', row, 0, kWidth - 1));
        if (*step == '0') latched = row[0];
        seen += static_cast<char>('0' + row[0]);
    }
  }
  return seen;
}

TEST(ImageRingTest, HandOversNeverTouchTheLatchedPicture) {
  for (const Script& s : kScripts) {
    ImageRing ring;
    ASSERT_TRUE(ring.Allocate(kWidth, kHeight, false));
    EXPECT_EQ(Play(ring, s.steps), s.seen) << s.steps << ": " << s.why;
  }
}

struct Refused {
  int row;
  int firstColumn;
  int lastColumn;
  bool destination;
  bool allocated;
  const char* why;
};

TEST(ImageRingTest, CopiesOfMissingRowsOrBadRangesFail) {
  test::DriverLogCapture log{1};
  const Refused cases[] = {
      {kHeight, 0, kWidth - 1, true, true, "row past the last"},
      {-1, 0, kWidth - 1, true, true, "negative row"},
      {1, 3, 0, true, true, "reversed range"},
      {0, 0, kWidth - 1, false, true, "no destination"},
      {0, 0, kWidth - 1, true, false, "never allocated"},
  };
  for (const Refused& c : cases) {
    ImageRing ring;
    if (c.allocated) {
      ASSERT_TRUE(ring.Allocate(kWidth, kHeight, true));
    }
    unsigned char row[kWidth * 3] = {};
    EXPECT_FALSE(ring.CopyRow(c.row, c.destination ? row : nullptr, c.firstColumn, c.lastColumn)) << c.why;
  }
}

}  // namespace
}  // namespace orvella
