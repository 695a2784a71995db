// Saving the host's pictures: PNG on Linux, BMP on Windows.
#ifndef ORVELLA_TOOLS_IMAGEFILE_H
#define ORVELLA_TOOLS_IMAGEFILE_H

#include <string>

namespace orvella::host {

// Writes a picture (channels 3: blue-green-red, 1: gray; rows top to bottom)
// to stem + the platform's picture extension; returns the file name or
// throws std::runtime_error.
std::string SaveImage(const std::string& stem, int width, int height, int channels, const unsigned char* pixels);

}  // namespace orvella::host

#endif
