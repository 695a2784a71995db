#include "simcam/Picture.h"

#include <algorithm>

namespace orvella::simcam {
namespace {

// 5x7 glyphs, one byte per row, bit 4 is the leftmost column. Only the
// characters the camera writes.
struct Glyph {
  char c;
  unsigned char rows[7];
};
constexpr Glyph kFont[] = {
    {'0', {0b01110, 0b10001, 0b10011, 0b10101, 0b11001, 0b10001, 0b01110}},
    {'1', {0b00100, 0b01100, 0b00100, 0b00100, 0b00100, 0b00100, 0b01110}},
    {'2', {0b01110, 0b10001, 0b00001, 0b00010, 0b00100, 0b01000, 0b11111}},
    {'3', {0b11111, 0b00010, 0b00100, 0b00010, 0b00001, 0b10001, 0b01110}},
    {'4', {0b00010, 0b00110, 0b01010, 0b10010, 0b11111, 0b00010, 0b00010}},
    {'5', {0b11111, 0b10000, 0b11110, 0b00001, 0b00001, 0b10001, 0b01110}},
    {'6', {0b00110, 0b01000, 0b10000, 0b11110, 0b10001, 0b10001, 0b01110}},
    {'7', {0b11111, 0b00001, 0b00010, 0b00100, 0b01000, 0b01000, 0b01000}},
    {'8', {0b01110, 0b10001, 0b10001, 0b01110, 0b10001, 0b10001, 0b01110}},
    {'9', {0b01110, 0b10001, 0b10001, 0b01111, 0b00001, 0b00010, 0b01100}},
    {':', {0b00000, 0b01100, 0b01100, 0b00000, 0b01100, 0b01100, 0b00000}},
    {'.', {0b00000, 0b00000, 0b00000, 0b00000, 0b00000, 0b01100, 0b01100}},
    {'-', {0b00000, 0b00000, 0b00000, 0b11111, 0b00000, 0b00000, 0b00000}},
    {'A', {0b01110, 0b10001, 0b10001, 0b11111, 0b10001, 0b10001, 0b10001}},
    {'C', {0b01110, 0b10001, 0b10000, 0b10000, 0b10000, 0b10001, 0b01110}},
    {'E', {0b11111, 0b10000, 0b10000, 0b11110, 0b10000, 0b10000, 0b11111}},
    {'F', {0b11111, 0b10000, 0b10000, 0b11110, 0b10000, 0b10000, 0b10000}},
    {'I', {0b01110, 0b00100, 0b00100, 0b00100, 0b00100, 0b00100, 0b01110}},
    {'L', {0b10000, 0b10000, 0b10000, 0b10000, 0b10000, 0b10000, 0b11111}},
    {'M', {0b10001, 0b11011, 0b10101, 0b10101, 0b10001, 0b10001, 0b10001}},
    {'O', {0b01110, 0b10001, 0b10001, 0b10001, 0b10001, 0b10001, 0b01110}},
    {'R', {0b11110, 0b10001, 0b10001, 0b11110, 0b10100, 0b10010, 0b10001}},
    {'S', {0b01111, 0b10000, 0b10000, 0b01110, 0b00001, 0b00001, 0b11110}},
    {'V', {0b10001, 0b10001, 0b10001, 0b10001, 0b10001, 0b01010, 0b00100}},
};

struct Canvas {
  std::vector<unsigned char>& rgb;
  int width, height;

  void Fill(int x0, int y0, int w, int h, unsigned char r, unsigned char g, unsigned char b) {
    for (int y = std::max(0, y0); y < std::min(height, y0 + h); ++y)
      for (int x = std::max(0, x0); x < std::min(width, x0 + w); ++x) {
        unsigned char* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
        p[0] = r, p[1] = g, p[2] = b;
      }
  }

  // White text on a black box, each font pixel a scale x scale square.
  void Text(int x, int y, int scale, const std::string& text) {
    const int advance = 6 * scale;
    Fill(x - scale, y - scale, static_cast<int>(text.size()) * advance + scale, 9 * scale, 0, 0, 0);
    for (char c : text) {
      for (const Glyph& g : kFont) {
        if (g.c != c) continue;
        for (int row = 0; row < 7; ++row)
          for (int col = 0; col < 5; ++col)
            if (g.rows[row] & (0x10 >> col)) Fill(x + col * scale, y + row * scale, scale, scale, 255, 255, 255);
      }
      x += advance;
    }
  }
};

}  // namespace

std::vector<unsigned char> DrawFrame(int width, int height, std::uint64_t n, const std::string& timeText) {
  std::vector<unsigned char> rgb(static_cast<size_t>(width) * height * 3);
  Canvas canvas{rgb, width, height};
  // Diagonal colour gradient drifting right and down, one step per frame.
  const unsigned shift = static_cast<unsigned>(n % 256);
  for (int y = 0; y < height; ++y) {
    unsigned char* p = &rgb[static_cast<size_t>(y) * width * 3];
    for (int x = 0; x < width; ++x, p += 3) {
      p[0] = static_cast<unsigned char>(x + 4 * shift);
      p[1] = static_cast<unsigned char>(y + 2 * shift);
      p[2] = static_cast<unsigned char>((x + y) / 2 - 3 * shift);
    }
  }
  // A bar sweeping across and a square bouncing between the edges.
  const int bar = std::max(4, width / 40);
  canvas.Fill(static_cast<int>((n * 8) % static_cast<unsigned>(width + bar)) - bar, 0, bar, height, 255, 255, 255);
  const int side = std::max(8, std::min(width, height) / 6);
  const auto bounce = [](std::uint64_t t, int range) {
    if (range <= 0) return 0;
    const int p = static_cast<int>(t % (2 * static_cast<unsigned>(range)));
    return p < range ? p : 2 * range - p;
  };
  canvas.Fill(bounce(n * 6, width - side), bounce(n * 4, height - side), side, side, 220, 30, 40);

  const int scale = std::max(1, width / 320);
  canvas.Text(4 * scale, 4 * scale, scale, "ORVELLA SIMCAM");
  canvas.Text(4 * scale, 14 * scale, scale, "FRAME " + std::to_string(n));
  canvas.Text(4 * scale, 24 * scale, scale, timeText);
  return rgb;
}

}  // namespace orvella::simcam
