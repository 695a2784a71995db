// The simulated camera's JPEG encoder on Linux: libjpeg-turbo's TurboJPEG.
#include <turbojpeg.h>

#include <stdexcept>

#include "simcam/Picture.h"

namespace orvella::simcam {

JpegEncoder::JpegEncoder() : handle(tjInitCompress()) {
  if (!handle) throw std::runtime_error("tjInitCompress failed");
}

JpegEncoder::~JpegEncoder() {
  tjDestroy(handle);
}

std::string JpegEncoder::Encode(const std::vector<unsigned char>& rgb, int width, int height, int quality) {
  unsigned char* out = nullptr;
  unsigned long size = 0;
  if (tjCompress2(handle, rgb.data(), width, 0, height, TJPF_RGB, &out, &size, TJSAMP_420, quality, 0) != 0) {
    std::string reason = tjGetErrorStr2(handle);
    tjFree(out);
    throw std::runtime_error("JPEG encoding failed: " + reason);
  }
  std::string jpeg(reinterpret_cast<char*>(out), size);
  tjFree(out);
  return jpeg;
}

}  // namespace orvella::simcam
