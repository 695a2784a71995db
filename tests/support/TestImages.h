// The decoder test pictures written by tests/servers/make_test_images.py into
// ORVELLA_DATA_DIR, and the pixels they are known to hold.
#pragma once

#include <string>

namespace orvella::test {

struct Rgb {
  int r, g, b;
};

// Pixel (x, y) of every "pattern_*" picture: 16 x 16 px blocks of 27 colours.
Rgb PatternPixel(int x, int y);

// The gray value the driver documents for a colour, rounded to nearest:
// 0.299 R + 0.588 G + 0.111 B.
int GrayOf(Rgb c);

// Directory of the test pictures (ORVELLA_DATA_DIR); empty when unset.
std::string DataDir();

// Bytes of a test picture; fails the running test (and returns "") when the
// directory is unset or the file is missing.
std::string ReadTestImage(const std::string& name);

}  // namespace orvella::test
