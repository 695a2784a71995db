// RTSP: what one 640x480 25 frames/s H.264 camera costs and how old its
// pictures are, against references measured in the same run on the same
// stream (the tests' GStreamer server):
//   - process CPU per second: RtspReader delivering every frame as BGR
//     (a host in continuous mode at the frame rate) ÷ the ffmpeg command
//     line decoding the stream to nothing;
//   - age of the picture taken at 10 grabs/s, from the moment the server made
//     it (the clock it carries in its pixels) ÷ the frame interval, beside
//     OpenCV's VideoCapture read at the same rate (bench/opencv_rtsp.py).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "acquisition/source/rtsp/RtspReader.h"
#include "acquisition/source/rtsp/RtspLoader.h"
#include "common/Options.h"
#include "simcam/RtspServer.h"

namespace {

using orvella::RtspReader;
using orvella::RtspPicture;
using orvella::RtspWait;
using Clock = std::chrono::steady_clock;

constexpr int kWidth = 640, kHeight = 480, kFps = 25;
constexpr double kFrameMs = 1000.0 / kFps;

struct Options {
  std::string python = "/usr/bin/python3", server = ORVELLA_RTSP_SERVER, opencv = ORVELLA_OPENCV_RTSP;
  std::string module = ORVELLA_RTSP_MODULE;
  double seconds = 10;
};

double CpuSeconds(int who) {
  rusage u{};
  getrusage(who, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The server's clock (ms mod 65536) from the second row of blocks.
int PictureClock(const std::vector<unsigned char>& bgr) {
  int value = 0;
  for (int bit = 0; bit < 16; ++bit) value = value * 2 + (bgr[(size_t(12) * kWidth + bit * 8 + 4) * 3 + 1] > 128);
  return value;
}

double NowMs() {
  return double(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count()) /
         1000.0;
}

double AgeMs(const std::vector<unsigned char>& bgr) {
  const double now = NowMs();
  const double made = double(PictureClock(bgr));
  double age = std::fmod(now, 65536.0) - made;
  return age < 0 ? age + 65536.0 : age;
}

// Our CPU per second while every frame is delivered.
double OurCpuPerSecond(const std::string& url, double seconds, int& frames) {
  RtspReader client;
  client.Open(url, orvella::RtspLimits{});
  std::vector<unsigned char> bgr(size_t(kWidth) * kHeight * 3);
  const orvella::PixelTarget target{bgr.data(), kWidth, kHeight, true};
  RtspPicture last;
  if (client.WaitPicture(last, Clock::now() + std::chrono::seconds(10)) != RtspWait::kPicture)
    throw std::runtime_error("no picture: " + client.Failure());
  const double cpu0 = CpuSeconds(RUSAGE_SELF);
  const Clock::time_point start = Clock::now();
  const Clock::time_point end = start + std::chrono::milliseconds(long(seconds * 1000));
  frames = 0;
  while (Clock::now() < end) {
    if (client.WaitPicture(last, end) != RtspWait::kPicture) continue;
    last = client.CopyNewest(target, kWidth, kHeight, true);
    ++frames;
  }
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  return (CpuSeconds(RUSAGE_SELF) - cpu0) / wall;
}

// The ffmpeg command line's CPU per second on the same stream.
double FfmpegCpuPerSecond(const std::string& url, double seconds) {
  const double cpu0 = CpuSeconds(RUSAGE_CHILDREN);
  const auto start = Clock::now();
  const std::string command = "ffmpeg -nostdin -loglevel error -rtsp_transport tcp -i '" + url + "' -t " +
                              std::to_string(seconds) + " -f null -";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("ffmpeg failed: " + command);
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  return (CpuSeconds(RUSAGE_CHILDREN) - cpu0) / wall;
}

// Mean age of the newest picture, taken 10 times a second; `waitedMs` is the
// part of it the picture spent decoded, waiting in the client.
double OurAgeMs(const std::string& url, double seconds, double& waitedMs) {
  RtspReader client;
  client.Open(url, orvella::RtspLimits{});
  std::vector<unsigned char> bgr(size_t(kWidth) * kHeight * 3);
  const orvella::PixelTarget target{bgr.data(), kWidth, kHeight, true};
  if (client.WaitPicture(RtspPicture{}, Clock::now() + std::chrono::seconds(10)) != RtspWait::kPicture)
    throw std::runtime_error("no picture: " + client.Failure());
  double sum = 0, waited = 0;
  int n = 0;
  for (auto next = Clock::now(); n < int(seconds * 10); next += std::chrono::milliseconds(100)) {
    std::this_thread::sleep_until(next);
    const RtspPicture picture = client.CopyNewest(target, kWidth, 16, true);
    sum += AgeMs(bgr);
    waited += std::chrono::duration<double, std::milli>(Clock::now() - picture.decodedAt).count();
    ++n;
  }
  waitedMs = waited / n;
  return sum / n;
}

double OpenCvAgeMs(const Options& o, const std::string& url) {
  const std::string command = o.python + " " + o.opencv + " --url '" + url + "' --seconds " + std::to_string(o.seconds);
  FILE* out = popen(command.c_str(), "r");
  double age = -1;
  if (out) {
    if (std::fscanf(out, "age_ms=%lf", &age) != 1) age = -1;
    pclose(out);
  }
  return age;
}

void Row(const char* what, const std::string& measured, const char* goal, double ratio, bool met) {
  std::printf("| %s | %s | %s | %.3f | %s |\n", what, measured.c_str(), goal, ratio, met ? "yes" : "NO");
}

std::string Text(const char* format, double a, double b) {
  char text[160];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

int Run(const Options& o) {
  orvella::SetRtspModulePathForTests(o.module.c_str());
  orvella::simcam::RtspServer server = orvella::simcam::StartRtspServer(
      o.server, {"--width", std::to_string(kWidth), "--height", std::to_string(kHeight), "--fps", std::to_string(kFps)});
  const std::string url = "rtsp://127.0.0.1:" + std::to_string(server.port) + "/h264";
  std::fprintf(stderr, "rtsp_bench: %s, %g s per measurement\n", url.c_str(), o.seconds);
  int frames = 0;
  const double ours = OurCpuPerSecond(url, o.seconds, frames);
  const double ffmpeg = FfmpegCpuPerSecond(url, o.seconds);
  double waited = 0;
  const double age = OurAgeMs(url, o.seconds, waited);
  const double opencv = OpenCvAgeMs(o, url);
  orvella::simcam::StopRtspServer(server);

  std::printf("\n| what | measured | goal | ratio | met? |\n|---|---|---|---|---|\n");
  Row("RTSP H.264 640x480 25/s: CPU ÷ ffmpeg -f null", Text("%.1f %% vs %.1f %% of a core", ours * 100, ffmpeg * 100),
      "≤ 1.1", ours / ffmpeg, ours / ffmpeg <= 1.1);
  std::fprintf(stderr, "  (%d frames delivered as BGR in %g s)\n", frames, o.seconds);
  Row("RTSP picture age at 10 grabs/s ÷ frame interval", Text("%.1f ms (frame %.0f ms)", age, kFrameMs), "≤ 1.5",
      age / kFrameMs, age / kFrameMs <= 1.5);
  std::fprintf(stderr, "  (age: %.1f ms made -> decoded, server's encoder and network included; %.1f ms decoded -> taken)\n",
               age - waited, waited);
  if (opencv >= 0)
    std::printf("| OpenCV VideoCapture, same stream and rate: age ÷ frame interval | %.1f ms | – | %.3f | – |\n", opencv,
                opencv / kFrameMs);
  else
    std::printf("| OpenCV VideoCapture | not run (python3-opencv missing?) | – | – | – |\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  orvella::tools::Options("rtsp_bench",
                          "usage: rtsp_bench [--seconds S] [--python PYTHON] [--server SCRIPT] [--opencv SCRIPT] "
                          "[--module PATH]\n")
      .Real("--seconds", o.seconds, 1, 3600)
      .Text("--python", o.python)
      .Text("--server", o.server)
      .Text("--opencv", o.opencv)
      .Text("--module", o.module)
      .Parse(argc, argv);
  return orvella::tools::ReportFailures("rtsp_bench", [&] { return Run(o); });
}
