// The Windows DLL under Wine, driven as a host drives it (loaded by name, the
// exports only). driver_bench runs it between its own measurements of the
// Linux product and prints the ratios; alone it prints its medians.
//
// Usage: wine_bench --dir DIR --a URL --b URL [--c URL] [--count N] [--seconds S]
//        wine_bench --dir DIR --rtsp-age URL [--fps F] [--seconds S]  (RtspAges)
//   DIR: where the settings file goes. A: the 640x480 picture, B: the
//   1600x1200 one, C: a 3840x2160 one. Prints lines of the form
//     A colour: median 1.234 ms
//     B colour 640x480 region: median 1.234 ms
//     B colour: median 1.234 ms
//     C colour: median 1.234 ms            (with --c)
//     10 cameras x 30/s, A colour: 3030 delivered, 3030 scheduled
//   Latencies (--count N > 0) or the ten cameras (--count 0 --seconds S),
//   one kind per run.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Orvella.h"
#include "common/DriverExports.h"
#include "common/HostPlatform.h"

namespace {

using Clock = std::chrono::steady_clock;
using orvella::host::DriverExports;

constexpr int kCameras = 10, kRate = 30;

DriverExports* driver = nullptr;

// The callback carries no user pointer: what it knows of each port is global.
struct PortState {
  std::atomic<long> images{0};
  std::atomic<Clock::rep> arrived{0};
  int width = 0, height = 0;
  std::vector<unsigned char> rows;  // the host's copy, when it copies
};
PortState ports[kCameras + 1];
std::mutex waitLock;
std::condition_variable arrivedSignal;

void ORVELLA_CALL OnComplete(int, int port) {  // a driver worker thread
  if (port < 1 || port > kCameras) return;
  PortState& p = ports[port];
  p.arrived = Clock::now().time_since_epoch().count();
  for (int row = 0; !p.rows.empty() && row < p.height; ++row)
    driver->getCVLGrabRow(0, port, &p.rows[size_t(row) * p.width * 3], row, 0, p.width - 1);
  ++p.images;
  { std::lock_guard<std::mutex> guard(waitLock); }
  arrivedSignal.notify_all();
}

struct Camera {
  std::string url;
  int width, height, rate;
};

void WriteSettings(const std::string& dir, const std::vector<Camera>& cameras) {
  std::ofstream out(dir + "\\Orvella.ini", std::ios::trunc);
  for (size_t k = 0; k < cameras.size(); ++k)
    out << "[Camera " << k + 1 << "]\nheight=" << cameras[k].height << "\nwidth=" << cameras[k].width
        << "\nGrayscale=0\nRefreshRate=" << cameras[k].rate << "\nRefreshRateUnit=1\nImageUrl=" << cameras[k].url
        << "\nLogLevel=1\nConnectionTimeout=3000\n";
  if (!out.flush()) throw std::runtime_error("cannot write the settings file in " + dir);
}

void Open(int port, bool copyRows) {
  int size[2] = {0, 0};
  const std::string camera = "Camera " + std::to_string(port);
  if (!driver->openCVLPort(0, port, camera.c_str(), size)) throw std::runtime_error("cannot open " + camera);
  PortState& p = ports[port];
  p.width = size[0];
  p.height = size[1];
  p.rows.assign(copyRows ? size_t(p.width) * p.height * 3 : 0, 0);
  driver->setCompleteCallback(0, port, OnComplete);
}

// Median time from doCVLGrab to the callback over `count` grabs, after ten.
double MedianLatencyMs(int port, int count) {
  std::vector<double> ms;
  for (int i = -10; i < count; ++i) {
    const long seen = ports[port].images;
    const Clock::time_point asked = Clock::now();
    driver->doCVLGrab(0, port);
    std::unique_lock<std::mutex> guard(waitLock);
    if (!arrivedSignal.wait_for(guard, std::chrono::seconds(5), [&] { return ports[port].images > seen; }))
      throw std::runtime_error("no image within 5 s");
    const Clock::duration took = Clock::duration(ports[port].arrived.load()) - asked.time_since_epoch();
    if (i >= 0) ms.push_back(std::chrono::duration<double, std::milli>(took).count());
  }
  std::sort(ms.begin(), ms.end());
  return ms[ms.size() / 2];
}

// Ten cameras in continuous mode, the host copying every image's rows in
// its callback: images delivered over `seconds`, after two seconds in which
// the cameras opened last catch up with their schedules.
long TenCameras(double seconds) {
  for (int port = 1; port <= kCameras; ++port) {
    Open(port, true);
    driver->setProperty(0, port, "continuous", 1);
  }
  const auto total = [] {
    long n = 0;
    for (int port = 1; port <= kCameras; ++port) n += ports[port].images;
    return n;
  };
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const long before = total();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  return total() - before;
}

// An RTSP camera grabbed 10 times a second, each grab at another moment of
// the frame interval (--rtsp-age URL --fps F --seconds S). Prints, flushed
// as it goes, "clock T" before each grab and "grab T C" when its picture
// arrived: T this program's clock in ms, C the server's clock read from the
// picture (ms mod 65536; tests/servers/rtsp_server.py). The caller maps T
// onto the server's clock by the "clock" lines and computes the ages.
void RtspAges(const std::string& dir, const std::string& url, double fps, double seconds) {
  WriteSettings(dir, {{url, 640, 480, 2}});
  Open(1, true);
  PortState& p = ports[1];
  const auto ms = [](Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(t.time_since_epoch()).count();
  };
  auto next = Clock::now();
  for (int i = 0; i < int(seconds * 10); ++i) {
    next += std::chrono::milliseconds(100);
    const double phase = std::fmod(i * 0.6180339887498949, 1.0);  // spread evenly, as rtsp_bench does
    std::this_thread::sleep_until(next + std::chrono::microseconds(long(phase * 1e6 / fps)));
    std::printf("clock %.3f\n", ms(Clock::now()));
    std::fflush(stdout);
    const long seen = p.images;
    driver->doCVLGrab(0, 1);
    std::unique_lock<std::mutex> guard(waitLock);
    if (!arrivedSignal.wait_for(guard, std::chrono::seconds(5), [&] { return p.images > seen; }))
      throw std::runtime_error("no RTSP picture within 5 s");
    int made = 0;
    for (int bit = 0; bit < 16; ++bit) made = made * 2 + (p.rows[(size_t(12) * p.width + bit * 8 + 4) * 3 + 1] > 128);
    std::printf("grab %.3f %d\n", ms(Clock::time_point(Clock::duration(p.arrived.load()))), made);
    std::fflush(stdout);
  }
}

int Run(int argc, char** argv) {
  std::string dir, a, b, c, rtsp;
  int count = 200;
  double seconds = 10, fps = 25;
  const std::pair<const char*, std::string*> texts[] = {
      {"--dir", &dir}, {"--a", &a}, {"--b", &b}, {"--c", &c}, {"--rtsp-age", &rtsp}};
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i], value = argv[i + 1];
    bool known = false;
    for (const auto& [option, text] : texts)
      if (name == option) *text = value, known = true;
    if (name == "--count") count = std::atoi(value.c_str()), known = true;
    if (name == "--seconds") seconds = std::atof(value.c_str()), known = true;
    if (name == "--fps") fps = std::atof(value.c_str()), known = true;
    if (!known) throw std::runtime_error("unknown option " + name);
  }
  if (dir.empty() || ((a.empty() || b.empty()) && rtsp.empty()))
    throw std::runtime_error("usage: wine_bench --dir DIR (--a URL --b URL | --rtsp-age URL)");

  orvella::host::DriverLibrary library(orvella::host::ExecutableDir() + "\\" + orvella::host::kLibraryName);
  DriverExports exports(library);
  driver = &exports;
  if (!driver->initialize(dir.c_str(), nullptr)) throw std::runtime_error("initialize failed");
  if (!rtsp.empty()) {
    RtspAges(dir, rtsp, fps, seconds);
  } else if (count > 0) {
    WriteSettings(dir, {{a, 640, 480, 2}, {b, 640, 480, 2}, {b, 1600, 1200, 2}, {c.empty() ? b : c, 3840, 2160, 2}});
    for (int port = 1; port <= (c.empty() ? 3 : 4); ++port) Open(port, false);
    std::printf("A colour: median %.3f ms\n", MedianLatencyMs(1, count));
    std::printf("B colour 640x480 region: median %.3f ms\n", MedianLatencyMs(2, count));
    std::printf("B colour: median %.3f ms\n", MedianLatencyMs(3, count / 2));
    if (!c.empty()) std::printf("C colour: median %.3f ms\n", MedianLatencyMs(4, std::max(count / 5, 1)));
    std::fflush(stdout);
  }
  if (seconds > 0 && count <= 0) {
    WriteSettings(dir, std::vector<Camera>(kCameras, Camera{a, 640, 480, kRate}));
    const long delivered = TenCameras(seconds);
    const long scheduled = long(kCameras * seconds * 1000 / (1000 / kRate));  // the driver's whole-ms period
    std::printf("10 cameras x 30/s, A colour: %ld delivered, %ld scheduled\n", delivered, scheduled);
  }
  for (int port = 1; port <= kCameras; ++port) driver->closeCVLPort(0, port);
  driver->finalize();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "wine_bench: %s\n", e.what());
    return 1;
  }
}
