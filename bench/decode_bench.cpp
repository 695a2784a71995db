// Decode + convert into an image buffer, against libjpeg-turbo's own full
// decode of the same bytes (tjDecompress2 to BGR) measured in the same run.
//
// Pictures come from Pictures.cpp (gradients, shapes, texture, noise),
// compressed with TurboJPEG at quality 85, 4:2:0, as a camera would send them.
// Rounds alternate between the reference and the cases so that the machine's
// drift hits all of them alike; each case reports the median of its rounds'
// own ratios. The ratios are the results: absolute times on a shared machine
// mean little.
//
// Usage: decode_bench [rounds]
#include <turbojpeg.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "Pictures.h"
#include "acquisition/FTPStream.h"
#include "acquisition/decode/ImageDecoder.h"
#include "camera/ImageBuffer.h"

namespace {

using Clock = std::chrono::steady_clock;
using orvella::bench::Compress;
using orvella::bench::Synthetic;

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

template <typename F>
double TimeMs(F&& f) {
  auto start = Clock::now();
  f();
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Case {
  const char* name;
  int regionDivisor;  // 1: full size; 2: half width x half height (a quarter of the picture)
  bool colour;
  double goal;
  std::vector<double> times;
};

void Run(int width, int height, int rounds) {
  std::vector<unsigned char> jpeg = Compress(Synthetic(width, height), width, height);

  orvella::FTPStream stream;
  stream.SetContent(jpeg.data(), jpeg.size());
  orvella::ImageDecoder decoder;
  decoder.Start();

  tjhandle tj = tjInitDecompress();
  std::vector<unsigned char> reference(size_t(width) * height * 3);
  auto referenceDecode = [&] {
    if (tjDecompress2(tj, jpeg.data(), jpeg.size(), reference.data(), width, 0, height, TJPF_BGR, 0) != 0)
      throw std::runtime_error(tjGetErrorStr2(tj));
  };

  std::vector<Case> cases = {{"colour, full size", 1, true, 1.05, {}},
                             {"colour, quarter region", 2, true, 1.0, {}},
                             {"gray, full size", 1, false, 1.25, {}}};
  std::vector<orvella::ImageBuffer> buffers(cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    buffers[i].Allocate(width / cases[i].regionDivisor, height / cases[i].regionDivisor, cases[i].colour);
  }
  std::vector<double> referenceTimes;

  // Warm-up: caches, lazily grown scratch memory, CPU clock.
  for (int i = 0; i < 5; ++i) {
    referenceDecode();
    for (size_t c = 0; c < cases.size(); ++c)
      decoder.Decode(stream, buffers[c], buffers[c].width, buffers[c].height, cases[c].colour);
  }
  // Ours must equal the reference where both hold the same pixels.
  for (int y = 0; y < height; y += 37) {
    if (std::memcmp(buffers[0].GetLine(y), &reference[size_t(y) * width * 3], size_t(width) * 3) != 0)
      throw std::runtime_error("colour decode differs from libjpeg-turbo's");
  }

  for (int r = 0; r < rounds; ++r) {
    referenceTimes.push_back(TimeMs(referenceDecode));
    for (size_t c = 0; c < cases.size(); ++c) {
      cases[c].times.push_back(
          TimeMs([&] { decoder.Decode(stream, buffers[c], buffers[c].width, buffers[c].height, cases[c].colour); }));
    }
  }
  tjDestroy(tj);

  double ref = Median(referenceTimes);
  std::printf("%dx%d (%zu KB), libjpeg-turbo tjDecompress2 to BGR: %.3f ms\n", width, height, jpeg.size() / 1024, ref);
  for (const Case& c : cases) {
    double ours = Median(c.times);
    // The median of each round's own ratio: a burst of load on the shared
    // machine slows both sides of a round alike.
    std::vector<double> ratios;
    for (size_t r = 0; r < c.times.size(); ++r) ratios.push_back(c.times[r] / referenceTimes[r]);
    double ratio = Median(ratios);
    bool met = c.regionDivisor == 1 ? ratio <= c.goal : ratio < c.goal;
    std::printf("  %-24s %8.3f ms   ratio %5.3f   goal %s %.2f   %s\n", c.name, ours, ratio,
                c.regionDivisor == 1 ? "<=" : "< ", c.goal, met ? "met" : "MISSED");
  }
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::atoi(argv[1]) : 0;
  try {
    Run(640, 480, rounds > 0 ? rounds : 300);
    Run(1600, 1200, rounds > 0 ? rounds : 80);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "decode_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
