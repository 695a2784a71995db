// Pictures of the simulated camera: a moving test pattern with the frame
// number and the time written into it, encoded as JPEG.
#ifndef ORVELLA_TOOLS_PICTURE_H
#define ORVELLA_TOOLS_PICTURE_H

#include <cstdint>
#include <string>
#include <vector>

#include "driver/NoCopy.h"

namespace orvella::simcam {

// RGB, 3 bytes per pixel, rows top to bottom. Frame n is a pure function of
// (width, height, n, timeText), so a test can compare what it received.
std::vector<unsigned char> DrawFrame(int width, int height, std::uint64_t n, const std::string& timeText);

// One JPEG compressor (TurboJPEG on Linux, GDI+ on Windows). Not thread-safe:
// one per thread.
class JpegEncoder {
 public:
  JpegEncoder();
  ~JpegEncoder();
  ORVELLA_NO_COPY(JpegEncoder);

  // 4:2:0 baseline JPEG of an RGB picture; throws std::runtime_error.
  std::string Encode(const std::vector<unsigned char>& rgb, int width, int height, int quality);

 private:
  void* handle;
};

}  // namespace orvella::simcam

#endif
