// Image ring: the worker's hand-overs against the host's row reads, and the
// row copies the ring refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

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
    {"0wh0wh1", "-11", "row 0 before the first hand-over latches a buffer the worker does not write"},
};

std::string Play(ImageRing& ring, const char* steps, ImageRing::Reader* reader) {
  std::string seen;
  int next = 1;
  int latched = 0;
  unsigned char row[kWidth];
  bool handedOver = false;
  std::vector<const unsigned char*> written;  // a fresh buffer may hold anything, even the latched number
  for (const char* step = steps; *step; ++step) {
    switch (*step) {
      case 'w': {
        ImageBuffer& buffer = ring.WriteBuffer();
        const bool before = std::find(written.begin(), written.end(), buffer.data.get()) != written.end();
        written.push_back(buffer.data.get());
        if (reader && reader->pinned) {
          EXPECT_NE(buffer.data.get(), reader->pinned)
              << "the worker writes the pinned buffer at step " << step - steps;
        }
        if (latched && before) {
          EXPECT_NE(buffer.data[0], latched) << "the worker writes the buffer being read at step " << step - steps;
        }
        std::memset(buffer.data.get(), next++, static_cast<size_t>(buffer.size));
        break;
      }
      case 'h':
        ring.HandOver();
        handedOver = true;
        break;
      default:
        if (reader) {
          EXPECT_EQ(ImageRing::CopyRow(*reader, *step - '0', row, 0, kWidth - 1), ImageRing::Quick::kCopied);
        } else {
          EXPECT_TRUE(ring.CopyRow(*step - '0', row, 0, kWidth - 1));
        }
        if (*step == '0') latched = row[0];
        seen += handedOver ? static_cast<char>('0' + row[0]) : '-';  // nothing written yet: any bytes
    }
  }
  return seen;
}

TEST(ImageRingTest, HandOversNeverTouchTheLatchedPicture) {
  for (const Script& s : kScripts) {
    for (bool throughReader : {false, true}) {
      ImageRing ring;
      ASSERT_TRUE(ring.Allocate(kWidth, kHeight, false));
      ImageRing::Reader reader{ring.Reference()};
      EXPECT_EQ(Play(ring, s.steps, throughReader ? &reader : nullptr), s.seen)
          << s.steps << ": " << s.why << (throughReader ? " (through a Reader)" : "");
      ImageRing::Release(reader);
    }
  }
}

// A host thread copying rows through a Reader while the ring is reopened at
// other sizes, handed pictures and finally destroyed: ASan sees memory freed
// under a copy, TSan a picture written during one. Long rows keep each copy
// long enough to be caught.
TEST(ImageRingTest, ReaderRowsRaceReopensHandOversAndTheRingsEnd) {
  constexpr int kSizes[][2] = {{8192, 4}, {4096, 8}, {2048, 16}, {6000, 5}};
  auto ring = std::make_unique<ImageRing>();
  ASSERT_TRUE(ring->Allocate(8192, 4, true));
  std::atomic<bool> started{false}, stop{false};
  ImageRing::Reader reader{ring->Reference()};
  std::thread host([&] {
    std::vector<unsigned char> row(8192 * 3);
    for (int image = 0; !stop || image < 2; ++image) {
      for (int r = 0; r < 16; ++r) ImageRing::CopyRow(reader, r, row.data(), 0, 8191);
      if (image == 2) started = true;
    }
  });
  while (!started) std::this_thread::yield();
  for (int i = 0; i < 4000; ++i) {
    if (i % 2 == 0) {  // an Open: this thread is also the worker, so it is held off
      ASSERT_TRUE(ring->Allocate(kSizes[i / 2 % 4][0], kSizes[i / 2 % 4][1], true));
    }
    ImageBuffer& buffer = ring->WriteBuffer();
    std::memset(buffer.data.get(), i, static_cast<size_t>(buffer.size));
    ring->HandOver();
  }
  ring.reset();  // the ring's end while the host still copies
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  stop = true;
  host.join();
  ImageRing::Release(reader);
}

struct Refused {
  int row;
  int firstColumn;
  int lastColumn;
  bool destination;
  bool allocated;
  const char* why;
};

// Refused under the lock, and through a Reader that pinned row 0 first.
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
    ImageRing::Reader reader{ring.Reference()};
    ImageRing::CopyRow(reader, 0, row, 0, kWidth - 1);
    EXPECT_NE(ImageRing::CopyRow(reader, c.row, c.destination ? row : nullptr, c.firstColumn, c.lastColumn),
              ImageRing::Quick::kCopied)
        << c.why << " (through a Reader)";
    ImageRing::Release(reader);
  }
}

}  // namespace
}  // namespace orvella
