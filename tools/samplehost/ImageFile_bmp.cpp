#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <vector>

#include "samplehost/ImageFile.h"

namespace orvella::host {
namespace {

void Put16(std::vector<unsigned char>& out, std::uint32_t v) {
  out.push_back(static_cast<unsigned char>(v)), out.push_back(static_cast<unsigned char>(v >> 8));
}

void Put32(std::vector<unsigned char>& out, std::uint32_t v) {
  Put16(out, v & 0xffff), Put16(out, v >> 16);
}

}  // namespace

// BMP, which every Windows picture viewer opens: the driver's blue-green-red
// rows go in as they are (bottom row first, padded to 4 bytes); gray is
// 8 bits with a gray palette. No image library needed.
std::string SaveImage(const std::string& stem, int width, int height, int channels, const unsigned char* pixels) {
  const std::string path = stem + ".bmp";
  const std::uint32_t rowBytes = static_cast<std::uint32_t>(width) * channels;
  const std::uint32_t stride = (rowBytes + 3) & ~3u;
  const std::uint32_t paletteBytes = channels == 1 ? 256 * 4 : 0;
  const std::uint32_t offset = 14 + 40 + paletteBytes;
  std::vector<unsigned char> head;
  head.push_back('B'), head.push_back('M');
  Put32(head, offset + stride * static_cast<std::uint32_t>(height)), Put32(head, 0), Put32(head, offset);
  Put32(head, 40), Put32(head, static_cast<std::uint32_t>(width)), Put32(head, static_cast<std::uint32_t>(height));
  Put16(head, 1), Put16(head, static_cast<std::uint32_t>(channels) * 8);
  Put32(head, 0), Put32(head, stride * static_cast<std::uint32_t>(height));
  Put32(head, 2835), Put32(head, 2835), Put32(head, channels == 1 ? 256 : 0), Put32(head, 0);  // 72 dpi
  for (std::uint32_t i = 0; i < paletteBytes / 4; ++i) Put32(head, i * 0x010101u);

  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "wb"), std::fclose);
  bool ok = file && std::fwrite(head.data(), 1, head.size(), file.get()) == head.size();
  std::vector<unsigned char> row(stride, 0);
  for (int y = height - 1; ok && y >= 0; --y) {
    std::copy(pixels + y * rowBytes, pixels + (y + 1) * rowBytes, row.begin());
    ok = std::fwrite(row.data(), 1, stride, file.get()) == stride;
  }
  if (!ok || std::fflush(file.get()) != 0) throw std::runtime_error("cannot write " + path);
  return path;
}

}  // namespace orvella::host
