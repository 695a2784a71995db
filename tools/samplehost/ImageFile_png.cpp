#include <png.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <vector>

#include "samplehost/ImageFile.h"

namespace orvella::host {

std::string SaveImage(const std::string& stem, int width, int height, int channels, const unsigned char* pixels) {
  const std::string path = stem + ".png";
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "wb"), std::fclose);
  if (!file) throw std::runtime_error("cannot write " + path);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    throw std::runtime_error("out of memory writing " + path);
  }
  std::vector<png_bytep> rows(static_cast<size_t>(height));
  for (int y = 0; y < height; ++y) rows[y] = const_cast<png_bytep>(pixels + static_cast<size_t>(y) * width * channels);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    throw std::runtime_error("cannot write " + path);
  }
  png_init_io(png, file.get());
  png_set_IHDR(png, info, width, height, 8, channels == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_compression_level(png, 1);  // speed over size: the host saves while it grabs
  png_write_info(png, info);
  if (channels == 3) png_set_bgr(png);  // the driver delivers blue-green-red
  png_write_image(png, rows.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return path;
}

}  // namespace orvella::host
