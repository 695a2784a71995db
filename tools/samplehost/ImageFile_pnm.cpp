#include <cstdio>
#include <memory>
#include <stdexcept>
#include <vector>

#include "samplehost/ImageFile.h"

namespace orvella::host {

// Binary PPM (colour) or PGM (gray): no image library needed on Windows.
std::string SaveImage(const std::string& stem, int width, int height, int channels, const unsigned char* pixels) {
  const std::string path = stem + (channels == 3 ? ".ppm" : ".pgm");
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "wb"), std::fclose);
  if (!file) throw std::runtime_error("cannot write " + path);
  std::fprintf(file.get(), "P%d\n%d %d\n255\n", channels == 3 ? 6 : 5, width, height);
  const size_t rowBytes = static_cast<size_t>(width) * channels;
  std::vector<unsigned char> row(rowBytes);
  for (int y = 0; y < height; ++y) {
    const unsigned char* src = pixels + y * rowBytes;
    if (channels == 3) {
      for (size_t x = 0; x < rowBytes; x += 3) row[x] = src[x + 2], row[x + 1] = src[x + 1], row[x + 2] = src[x];
    } else {
      row.assign(src, src + rowBytes);
    }
    if (std::fwrite(row.data(), 1, rowBytes, file.get()) != rowBytes) throw std::runtime_error("cannot write " + path);
  }
  return path;
}

}  // namespace orvella::host
