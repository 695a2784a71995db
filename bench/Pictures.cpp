#include "Pictures.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace orvella::bench {

std::vector<unsigned char> Synthetic(int width, int height) {
  std::vector<unsigned char> rgb(size_t(width) * height * 3);
  uint32_t seed = 12345;
  auto noise = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return int(seed >> 30) - 2;  // -2 .. 1
  };
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      int r = 255 * x / width, g = 255 * y / height, b = 128 + int(100 * std::sin((x + 2 * y) * 0.01));
      // A few discs and boxes at fixed places, scaled with the picture.
      for (int k = 0; k < 6; ++k) {
        int cx = width * (k * 2 + 1) / 12, cy = height * ((k * 5) % 7 + 1) / 8, rad = width / 14 + k * width / 90;
        if ((x - cx) * (x - cx) + (y - cy) * (y - cy) < rad * rad) r = 40 * k, g = 230 - 30 * k, b = 60 + 25 * k;
        if (std::abs(x - cx - rad * 2) < rad / 2 && std::abs(y - cy) < rad) r = 250 - 20 * k, g = 90, b = 20 * k;
      }
      if ((x / 3 + y / 5) % 4 == 0) r -= 12, g -= 12;  // texture
      unsigned char* p = &rgb[(size_t(y) * width + x) * 3];
      p[0] = static_cast<unsigned char>(std::clamp(r + noise(), 0, 255));
      p[1] = static_cast<unsigned char>(std::clamp(g + noise(), 0, 255));
      p[2] = static_cast<unsigned char>(std::clamp(b + noise(), 0, 255));
    }
  }
  return rgb;
}

std::vector<unsigned char> Compress(const std::vector<unsigned char>& rgb, int width, int height, bool progressive) {
  tjhandle tj = tjInitCompress();
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  const int flags = progressive ? TJFLAG_PROGRESSIVE : 0;
  if (!tj || tjCompress2(tj, rgb.data(), width, 0, height, TJPF_RGB, &jpeg, &size, TJSAMP_420, 85, flags) != 0) {
    if (tj) tjDestroy(tj);
    throw std::runtime_error("compression failed");
  }
  std::vector<unsigned char> out(jpeg, jpeg + size);
  tjFree(jpeg);
  tjDestroy(tj);
  return out;
}

void WriteFile(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) throw std::runtime_error("cannot write " + path);
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  if (std::fclose(f) != 0 || !ok) throw std::runtime_error("cannot write " + path);
}

}  // namespace orvella::bench
