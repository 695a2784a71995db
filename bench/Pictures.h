// Camera-like test pictures for the benchmarks: generated here, compressed
// with TurboJPEG at quality 85, 4:2:0, as a camera would send them.
#pragma once

#include <string>
#include <vector>

namespace orvella::bench {

// Two gradients, filled shapes, a fine stripe texture and some noise, so the
// entropy coder and the IDCT work as on real pictures. RGB, 3 bytes a pixel.
std::vector<unsigned char> Synthetic(int width, int height);

// Baseline JPEG, quality 85, 4:2:0; `progressive` for the one case that
// needs libjpeg's whole-picture coefficient store.
std::vector<unsigned char> Compress(const std::vector<unsigned char>& rgb, int width, int height,
                                    bool progressive = false);

void WriteFile(const std::string& path, const std::vector<unsigned char>& bytes);

}  // namespace orvella::bench
