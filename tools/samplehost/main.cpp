// orvella-host: a sample host. Loads the driver the way a machine-vision
// host does (run-time loading, the 17 exports only), grabs images from one
// camera, reports latency and rate, and saves the pictures.
//
// Without arguments it starts the simulated camera beside it, grabs 20
// images into ./orvella-images/ and stops the camera again.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "Orvella.h"
#include "samplehost/DriverExports.h"
#include "samplehost/HostPlatform.h"

namespace {

using namespace orvella::host;
using Clock = std::chrono::steady_clock;

const char kUsage[] =
    "usage: orvella-host [options]\n"
    "  --url URL          the camera's picture (default: start orvella-simcam and use it)\n"
    "  --library PATH     the driver (default: beside this program)\n"
    "  --dir DIR          system directory for Orvella.ini and Orvella.log (default: a new temporary one)\n"
    "  --camera NAME      camera slot (default \"Camera 1\")\n"
    "  --width N --height N  image size (default 640x480)\n"
    "  --gray             8-bit gray instead of 24-bit colour\n"
    "  --rate N           RefreshRate, images per second in continuous mode (default 2)\n"
    "  --count N          images to grab (default 20)\n"
    "  --continuous       let the camera refresh by itself instead of triggering each image\n"
    "  --save DIR         save every image there (PNG; PPM/PGM on Windows)\n"
    "  --timeout-ms N     how long to wait for each image (default 5000)\n"
    "  --log-level N      the driver's LogLevel 0..4 (default 1)\n"
    "  --verbose          print the driver's log lines\n"
    "  --simcam \"ARGS\"    extra arguments for the simulated camera, e.g. \"--fail-every 5\"\n";

struct Options {
  std::string url, library, dir, camera = "Camera 1", save, simcamArgs;
  int width = 640, height = 480, rate = 2, count = 20, timeoutMs = 5000, logLevel = 1;
  bool gray = false, continuous = false, verbose = false;
};

[[noreturn]] void Usage(const std::string& problem) {
  std::fprintf(stderr, "orvella-host: %s\n%s", problem.c_str(), kUsage);
  std::exit(2);
}

Options ParseArgs(int argc, char** argv) {
  Options o;
  if (argc == 1) o.save = "orvella-images";  // the out-of-the-box run
  const std::pair<const char*, std::string*> texts[] = {{"--url", &o.url},   {"--library", &o.library},
                                                        {"--dir", &o.dir},   {"--camera", &o.camera},
                                                        {"--save", &o.save}, {"--simcam", &o.simcamArgs}};
  const struct {
    const char* name;
    int* value;
    long lo, hi;
  } numbers[] = {{"--width", &o.width, 1, 1600},
                 {"--height", &o.height, 1, 1200},
                 {"--rate", &o.rate, 1, 60},
                 {"--count", &o.count, 1, 100000000},
                 {"--timeout-ms", &o.timeoutMs, 1, 3600000},
                 {"--log-level", &o.logLevel, 0, 4}};
  const std::pair<const char*, bool*> flags[] = {
      {"--gray", &o.gray}, {"--continuous", &o.continuous}, {"--verbose", &o.verbose}};
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    }
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    bool known = false;
    for (const auto& [name, flag] : flags)
      if (a == name) *flag = known = true;
    for (const auto& [name, text] : texts)
      if (a == name) {
        if (!value) Usage(a + " needs a value");
        *text = value, ++i, known = true;
      }
    for (const auto& n : numbers)
      if (a == n.name) {
        char* end = nullptr;
        const long v = value ? std::strtol(value, &end, 10) : 0;
        if (!value || !*value || *end || v < n.lo || v > n.hi)
          Usage(a + " takes a number in " + std::to_string(n.lo) + ".." + std::to_string(n.hi));
        *n.value = static_cast<int>(v), ++i, known = true;
      }
    if (!known) Usage("unknown option " + a);
  }
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

// The driver sends each line in pieces (time stamp, then message).
void ORVELLA_CALL OnDebugMessage(const char* text) {  // any thread
  static std::mutex lock;
  static bool lineStart = true;  // guarded by lock
  std::lock_guard<std::mutex> guard(lock);
  const size_t n = std::strlen(text);
  std::fprintf(stderr, "%s%s", lineStart ? "driver: " : "", text);
  if (n) lineStart = text[n - 1] == '\n';
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

// Our camera's section of the settings file; other sections stay as they are.
void WriteSettings(const Options& o) {
  const std::string path = o.dir + kPathSeparator + "Orvella.ini";
  const auto lower = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  std::string kept, line;
  std::ifstream in(path);
  bool ours = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] == '[') ours = lower(line) == "[" + lower(o.camera) + "]";
    if (!ours) kept += line + "\n";
  }
  in.close();
  std::ofstream out(path, std::ios::trunc);
  out << kept << "[" << o.camera << "]\n"
      << "height=" << o.height << "\nwidth=" << o.width << "\nGrayscale=" << (o.gray ? 1 : 0)
      << "\nRefreshRate=" << o.rate << "\nRefreshRateUnit=1\nImageUrl=" << o.url << "\nLogLevel=" << o.logLevel
      << "\nConnectionTimeout=3000\n";
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

std::vector<std::string> SplitWords(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

int Run(Options o) {
  std::unique_ptr<SimCamProcess> simcam;
  if (o.url.empty()) {
    std::vector<std::string> args{
        "--port", "0", "--width", std::to_string(o.width), "--height", std::to_string(o.height)};
    for (const std::string& a : SplitWords(o.simcamArgs)) args.push_back(a);
    simcam = std::make_unique<SimCamProcess>(ExecutableDir() + kPathSeparator + "orvella-simcam", args);
    o.url = simcam->Url();
    std::printf("simulated camera at %s\n", o.url.c_str());
  }
  if (o.dir.empty()) o.dir = MakeTempDir();
  WriteSettings(o);
  std::printf("settings and log in %s\n", o.dir.c_str());
  if (!o.save.empty() && !MakeDir(o.save)) throw std::runtime_error("cannot make the directory " + o.save);

  if (o.library.empty()) o.library = ExecutableDir() + kPathSeparator + kLibraryName;
  DriverLibrary library(o.library);
  Driver driver(library);

  if (!driver.initialize(o.dir.c_str(), o.verbose ? OnDebugMessage : nullptr))
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
  const int width = size[0], height = size[1];
  int pixelBits = 24;
  driver.getProperty(0, port, "PixelSize", &pixelBits);
  const int channels = pixelBits / 8;
  driver.setCompleteCallback(0, port, OnComplete);
  if (o.continuous) driver.setProperty(0, port, "continuous", 1);
  std::printf("%s open on port %d: %dx%d, %d bits per pixel, %s from %s\n", o.camera.c_str(), port, width, height,
              pixelBits, o.continuous ? "continuous" : "triggered", o.url.c_str());

  std::vector<unsigned char> image(static_cast<size_t>(width) * height * channels);
  std::vector<double> latencies;
  int received = 0;
  double intervalSum = 0;  // continuous: the camera's own rate is what counts
  const auto rate = [&](double seconds) {
    if (!o.continuous) return received / seconds;
    return latencies.empty() ? 0.0 : 1000 * latencies.size() / intervalSum;
  };
  long seen = 0;
  {
    std::lock_guard<std::mutex> guard(completion.lock);
    seen = completion.count;
  }
  // Progress on one line, unless driver lines interleave with it.
  const char* eol = o.verbose ? "\n" : "\r";
  Clock::duration saving{};
  const Clock::time_point start = Clock::now();
  Clock::time_point previous = start;
  for (int i = 1; i <= o.count; ++i) {
    const Clock::time_point asked = Clock::now();
    if (!o.continuous && !driver.doCVLGrab(0, port)) throw std::runtime_error("doCVLGrab failed");
    Clock::time_point arrived;
    if (!WaitForImage(seen, o.timeoutMs, arrived)) {
      std::printf("image %d: none within %d ms%s\n", i, o.timeoutMs,
                  o.verbose ? "" : " (--verbose shows the driver's ERR lines)");
      continue;
    }
    int rows = 0;
    const Clock::time_point copyStart = Clock::now();
    for (int row = 0; row < height; ++row)
      rows += driver.getCVLGrabRow(0, port, &image[static_cast<size_t>(row) * width * channels], row, 0, width - 1);
    const Clock::time_point copied = Clock::now();
    // Triggered: grab to callback. Continuous: time since the previous image
    // (the first one comes at once when continuous mode starts).
    const double latency = Ms(arrived - (o.continuous ? previous : asked));
    if (!o.continuous || received > 0) latencies.push_back(latency), intervalSum += latency;
    previous = arrived;
    ++received;
    const double elapsed = Ms(copied - start - saving) / 1000;
    std::printf("image %d/%d: %s %.2f ms, %d/%d rows copied in %.3f ms, %.1f images/s   %s", i, o.count,
                o.continuous ? "interval" : "latency", latency, rows, height, Ms(copied - copyStart), rate(elapsed),
                eol);
    std::fflush(stdout);
    if (!o.save.empty()) {
      char stem[32];
      std::snprintf(stem, sizeof stem, "%cimage-%04d", kPathSeparator, i);
      SaveImage(o.save + stem, width, height, channels, image.data());
      saving += Clock::now() - copied;
    }
  }
  const double seconds = Ms(Clock::now() - start - saving) / 1000;

  std::printf("\nreceived %d of %d images in %.3f s: %.1f images/s", received, o.count, seconds, rate(seconds));
  if (!latencies.empty()) {
    std::sort(latencies.begin(), latencies.end());
    std::printf("; %s min %.2f / median %.2f / max %.2f ms", o.continuous ? "interval" : "latency", latencies.front(),
                latencies[latencies.size() / 2], latencies.back());
  }
  std::printf("%s\n", o.save.empty() || !received ? "" : ("; saved in " + o.save).c_str());
  return received ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(ParseArgs(argc, argv));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orvella-host: %s\n", e.what());
    return 1;
  }
}
