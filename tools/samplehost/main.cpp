// orvella-host: a sample host. Loads the driver the way a machine-vision
// host does (run-time loading, the 17 exports only), grabs images from one
// camera, reports latency and rate, and saves the pictures.
//
// Without arguments it starts the simulated camera beside it, grabs 20
// images into ./orvella-images/ and stops the camera again. With --discover
// it finds ONVIF cameras and prints the ImageUrl for each.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "Orvella.h"
#include "acquisition/transport/Url.h"
#include "common/DriverExports.h"
#include "common/HostHelpers.h"
#include "common/Options.h"
#include "samplehost/Discover.h"
#include "samplehost/ImageFile.h"

namespace {

using namespace orvella::host;

const char kUsage[] =
    "usage: orvella-host [options]\n"
    "  --url URL          the camera's picture (default: start orvella-simcam and use it)\n"
    "  --tls-trust VALUE  the camera's TlsTrust: system, any or sha256//<key> (default: none)\n"
    "  --library PATH     the driver (default: beside this program, else the installed one)\n"
    "  --dir DIR          system directory for Orvella.ini and Orvella.log (default: a new temporary one)\n"
    "  --camera NAME      camera slot (default \"Camera 1\")\n"
    "  --width N --height N  image size (default 640x480)\n"
    "  --gray             8-bit gray instead of 24-bit colour\n"
    "  --rate N           RefreshRate, images per second in continuous mode (default 2)\n"
    "  --count N          images to grab (default 20)\n"
    "  --continuous       let the camera refresh by itself instead of triggering each image\n"
    "  --save DIR         save every image there (PNG; BMP on Windows)\n"
    "  --timeout-ms N     how long to wait for each image (default 5000)\n"
    "  --log-level N      the driver's LogLevel 0..4 (default 1)\n"
    "  --verbose          print the driver's log lines\n"
    "  --simcam \"ARGS\"    extra arguments for the simulated camera, e.g. \"--fail-every 5\"\n"
    "  --version          print this program's version and the driver's, then exit\n"
    "  --discover         find ONVIF cameras (WS-Discovery) and print, for each, its maker and model, its\n"
    "                     profiles and the ImageUrl to use, then exit\n"
    "  --probe ADDR[,ADDR]  also probe these cameras by unicast (host[:port], port 3702 by default)\n"
    "  --no-multicast     --discover: only the --probe addresses\n"
    "  --user NAME --password PW  --discover: the cameras' login (asks profiles and URLs)\n"
    "  --listen-ms N      --discover: how long to wait for answers (default 3000)\n";

struct Options : HostOptions {
  std::string camera = "Camera 1", save;
  int count = 20, timeoutMs = 5000;
  bool continuous = false, version = false, discover = false, noMulticast = false;
  std::string probe;
  DiscoverOptions discovery;
};

Options ParseArgs(int argc, char** argv) {
  Options o;
  if (argc == 1) o.save = "orvella-images";  // the out-of-the-box run
  orvella::tools::Options options("orvella-host", kUsage);
  AddHostOptions(options, o);
  options.Text("--camera", o.camera)
      .Text("--save", o.save)
      .Number("--count", o.count, 1, 100000000)
      .Number("--timeout-ms", o.timeoutMs, 1, 3600000)
      .Flag("--continuous", o.continuous)
      .Flag("--version", o.version)
      .Flag("--discover", o.discover)
      .Flag("--no-multicast", o.noMulticast)
      .Text("--probe", o.probe)
      .Text("--user", o.discovery.user)
      .Text("--password", o.discovery.password)
      .Number("--listen-ms", o.discovery.listenMs, 1, 600000)
      .Parse(argc, argv);
  for (size_t at = 0; at < o.probe.size();) {
    const size_t comma = std::min(o.probe.find(',', at), o.probe.size());
    if (comma > at) o.discovery.probe.push_back(o.probe.substr(at, comma - at));
    at = comma + 1;
  }
  o.discovery.multicast = !o.noMulticast;
  o.discovery.tlsTrust = o.section.tlsTrust;
  return o;
}

using Driver = DriverExports;

// The completion callback carries no user pointer: its state is global.
struct Completion {
  std::mutex lock;
  std::condition_variable arrived;
  long count = 0;          // guarded by lock
  Clock::time_point last;  // guarded by lock
} completion;

void ORVELLA_CALL OnComplete(int, int) {  // a driver worker thread
  {
    std::lock_guard<std::mutex> guard(completion.lock);
    ++completion.count;
    completion.last = Clock::now();
  }
  completion.arrived.notify_all();
}

// Waits for a callback after `seen`; the time it arrived, or false on time-out.
bool WaitForImage(long& seen, int timeoutMs, Clock::time_point& when) {
  std::unique_lock<std::mutex> guard(completion.lock);
  if (!completion.arrived.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                   [&] { return completion.count > seen; }))
    return false;
  seen = completion.count;  // images delivered meanwhile are skipped, like a slow host would
  when = completion.last;
  return true;
}

// The open camera as the host sees it.
struct Camera {
  int port, width, height, channels;
};

// After the open: the pixel size, our callback, continuous mode when asked.
Camera Prepare(const Driver& driver, const Options& o, int port, const int size[2]) {
  int pixelBits = 24;
  driver.getProperty(0, port, "PixelSize", &pixelBits);
  driver.setCompleteCallback(0, port, OnComplete);
  if (o.continuous) driver.setProperty(0, port, "continuous", 1);
  std::printf("%s open on port %d: %dx%d, %d bits per pixel, %s from %s\n", o.camera.c_str(), port, size[0], size[1],
              pixelBits, o.continuous ? "continuous" : "triggered", orvella::RedactUrl(o.section.url).c_str());
  return {port, size[0], size[1], pixelBits / 8};
}

// What the grab loop measured.
struct Tally {
  std::vector<double> latencies;
  int received = 0;
  double intervalSum = 0;  // continuous: the camera's own rate is what counts
  Clock::duration saving{};

  double Rate(bool continuous, double seconds) const {
    if (!continuous) return received / seconds;
    return latencies.empty() ? 0.0 : 1000 * latencies.size() / intervalSum;
  }
};

// Grabs (or, continuous, waits for) o.count images, copying every row,
// printing progress and saving them; the seconds it took, saving excluded.
double GrabAll(const Driver& driver, const Options& o, const Camera& c, Tally& t) {
  std::vector<unsigned char> image(static_cast<size_t>(c.width) * c.height * c.channels);
  long seen = 0;
  {
    std::lock_guard<std::mutex> guard(completion.lock);
    seen = completion.count;
  }
  // Progress on one line, unless driver lines interleave with it.
  const char* eol = o.verbose ? "\n" : "\r";
  const Clock::time_point start = Clock::now();
  Clock::time_point previous = start;
  for (int i = 1; i <= o.count; ++i) {
    const Clock::time_point asked = Clock::now();
    if (!o.continuous && !driver.doCVLGrab(0, c.port)) throw std::runtime_error("doCVLGrab failed");
    Clock::time_point arrived;
    if (!WaitForImage(seen, o.timeoutMs, arrived)) {
      std::printf("image %d: none within %d ms%s\n", i, o.timeoutMs,
                  o.verbose ? "" : " (--verbose shows the driver's ERR lines)");
      continue;
    }
    int rows = 0;
    const Clock::time_point copyStart = Clock::now();
    for (int row = 0; row < c.height; ++row)
      rows +=
          driver.getCVLGrabRow(0, c.port, &image[static_cast<size_t>(row) * c.width * c.channels], row, 0, c.width - 1);
    const Clock::time_point copied = Clock::now();
    // Triggered: grab to callback. Continuous: time since the previous image
    // (the first one comes at once when continuous mode starts).
    const double latency = Ms(arrived - (o.continuous ? previous : asked));
    if (!o.continuous || t.received > 0) t.latencies.push_back(latency), t.intervalSum += latency;
    previous = arrived;
    ++t.received;
    const double elapsed = Ms(copied - start - t.saving) / 1000;
    std::printf("image %d/%d: %s %.2f ms, %d/%d rows copied in %.3f ms, %.1f images/s   %s", i, o.count,
                o.continuous ? "interval" : "latency", latency, rows, c.height, Ms(copied - copyStart),
                t.Rate(o.continuous, elapsed), eol);
    std::fflush(stdout);
    if (!o.save.empty()) {
      char stem[32];
      std::snprintf(stem, sizeof stem, "%cimage-%04d", kPathSeparator, i);
      SaveImage(o.save + stem, c.width, c.height, c.channels, image.data());
      t.saving += Clock::now() - copied;
    }
  }
  return Ms(Clock::now() - start - t.saving) / 1000;
}

void PrintSummary(const Options& o, Tally& t, double seconds) {
  std::printf("\nreceived %d of %d images in %.3f s: %.1f images/s", t.received, o.count, seconds,
              t.Rate(o.continuous, seconds));
  if (!t.latencies.empty()) {
    std::sort(t.latencies.begin(), t.latencies.end());
    std::printf("; %s min %.2f / median %.2f / max %.2f ms", o.continuous ? "interval" : "latency", t.latencies.front(),
                t.latencies[t.latencies.size() / 2], t.latencies.back());
  }
  std::printf("%s\n", o.save.empty() || !t.received ? "" : ("; saved in " + o.save).c_str());
}

// They ship together: a driver of another version shows here.
int PrintVersions(const Options& o) {
  std::printf("orvella-host %s\n", ORVELLA_VERSION);
  std::fflush(stdout);
  DriverLibrary library(o.library);
  const std::string version = library.Version();
  std::printf("driver %s %s\n", library.Path().c_str(), version.empty() ? "(no version)" : version.c_str());
  return 0;
}

int Run(Options o) {
  if (o.version) return PrintVersions(o);
  if (o.discover) return Discover(o.discovery);
  std::unique_ptr<SimCamProcess> simcam;
  if (o.section.url.empty()) {
    simcam = StartSimCam(o.section.width, o.section.height, o.simcamArgs);
    o.section.url = simcam->Url();
    o.section.tlsTrust = simcam->TlsTrust();
  }
  if (o.dir.empty()) o.dir = MakeTempDir();
  WriteCameraSections(o.dir + kPathSeparator + "Orvella.ini", {o.camera}, o.section);
  std::printf("settings and log in %s\n", o.dir.c_str());
  if (!o.save.empty() && !MakeDir(o.save)) throw std::runtime_error("cannot make the directory " + o.save);

  DriverLibrary library(o.library);
  Driver driver(library);

  if (!driver.initialize(o.dir.c_str(), o.verbose ? PrintDriverLine : nullptr))
    throw std::runtime_error("initialize failed");
  // Whatever happens from here on, the port is closed and the driver finalized.
  struct Finalize {
    const Driver& driver;
    ~Finalize() { driver.finalize(); }
  } finalizeGuard{driver};
  std::printf("driver %s, cameras:", o.library.c_str());
  for (char** name = driver.getCVLCameraConfigNames(); name && *name; ++name) std::printf(" \"%s\"", *name);
  std::printf("\n");

  const int port = 1;
  int size[2] = {0, 0};
  if (!driver.openCVLPort(0, port, o.camera.c_str(), size))
    throw std::runtime_error("openCVLPort failed for \"" + o.camera + "\" (--verbose shows why)");
  struct Close {
    const Driver& driver;
    int port;
    ~Close() { driver.closeCVLPort(0, port); }
  } closeGuard{driver, port};
  Tally tally;
  const double seconds = GrabAll(driver, o, Prepare(driver, o, port, size), tally);
  PrintSummary(o, tally, seconds);
  return tally.received ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  return orvella::tools::ReportFailures("orvella-host", [&] { return Run(ParseArgs(argc, argv)); });
}
