// Soak and churn through the exported functions (not a test; run by
// tools/soak.sh, under TSan): ten cameras in continuous mode at 60 images a
// second for N minutes against a server that fails 10 % of its answers at
// random, while the host closes and reopens cameras, reads images row by row
// and changes nothing else. Reports the resident memory over time and checks:
//   - no good cycle is lost: every whole 200 answer the server sent became a
//     callback, except at most one per close (the cycle a close cuts short,
//     counting the close and reopen that switching continuous mode makes);
//   - every close returns within 1.1 s;
//   - no log text shows the URL password.
// Exit status 0 when all held. Needs tests/servers/with_servers.py around it.
//
// Usage: soak [--minutes N] [--cameras N] [--rate N] [--flaky PERCENT]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Orvella.h"
#include "common/Options.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kMaxCameras = 10;
constexpr int kWidth = 320, kHeight = 240;
constexpr const char* kPassword = "secretpw";

std::atomic<long> callbacks[kMaxCameras + 1];
std::atomic<long> logLines{0}, errLines{0}, okLines{0}, passwordLeaks{0};

void ORVELLA_CALL OnLog(const char* text) {
  if (!text) return;
  ++logLines;
  if (std::strstr(text, kPassword)) ++passwordLeaks;
  if (std::strncmp(text, "ERR: ", 5) == 0) ++errLines;
  if (std::strncmp(text, "OK: ", 4) == 0) ++okLines;
}

void ORVELLA_CALL OnComplete(int, int port) {
  if (port >= 1 && port <= kMaxCameras) ++callbacks[port];
}

long RssKb(const char* field = "VmRSS:") {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  return -1;
}

int HttpPort() {
  const char* p = std::getenv("ORVELLA_HTTP_PORT");
  return p ? std::atoi(p) : 0;
}

// One control request to the test HTTP server (tests/servers/http_server.py);
// the whole answer.
std::string Control(const std::string& path) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return "";
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(HttpPort()));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (send(fd, request.data(), request.size(), 0) == static_cast<ssize_t>(request.size())) {
      char chunk[1024];
      ssize_t n;
      while ((n = recv(fd, chunk, sizeof chunk, 0)) > 0) answer.append(chunk, static_cast<size_t>(n));
    }
  }
  close(fd);
  return answer;
}

long Served(int camera) {
  std::string answer = Control("/_hits?path=/r/soak-" + std::to_string(camera));
  size_t at = answer.find("served=");
  return at == std::string::npos ? -1 : std::atol(answer.c_str() + at + 7);
}

struct Options {
  double minutes = 10;
  int cameras = 10;
  int rate = 60;
  int flaky = 10;
};

Options Parse(int argc, char** argv) {
  Options o;
  orvella::tools::Options("soak", "usage: soak [--minutes N] [--cameras N] [--rate N] [--flaky PERCENT]\n")
      .Real("--minutes", o.minutes, 0, 1e6)
      .Number("--cameras", o.cameras, 1, kMaxCameras)
      .Number("--rate", o.rate, 1, 60)
      .Number("--flaky", o.flaky, 0, 100)
      .Parse(argc, argv);
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = Parse(argc, argv);
  if (HttpPort() == 0) {
    std::fprintf(stderr, "soak: run under tests/servers/with_servers.py\n");
    return 2;
  }
  char dirTemplate[] = "/tmp/orvella-soak-XXXXXX";
  const char* dir = mkdtemp(dirTemplate);
  if (!dir) return 2;

  // Every camera has a route of its own on the server, to the same picture
  // with the failure share; the URL carries a password that must never show.
  {
    std::ofstream ini(std::string(dir) + "/Orvella.ini");
    for (int c = 1; c <= o.cameras; ++c) {
      std::string path = "/r/soak-" + std::to_string(c);
      Control("/_route?path=" + path + "&to=/files/pattern_320x240.jpg%3Fflaky%3D" + std::to_string(o.flaky));
      ini << "[Camera " << c << "]\nImageUrl=http://user:" << kPassword << "@127.0.0.1:" << HttpPort() << path
          << "\nwidth=" << kWidth << "\nheight=" << kHeight << "\nRefreshRate=" << o.rate
          << "\nRefreshRateUnit=1\nConnectionTimeout=2000\nLogLevel=1\n";
    }
  }
  if (initialize(dir, OnLog) != 1) return 2;

  std::mutex portLock;  // which cameras are open; the host's own bookkeeping
  std::vector<bool> open(o.cameras + 1, false);
  auto openCamera = [&](int c) {
    int size[2] = {0, 0};
    std::string name = "Camera " + std::to_string(c);
    if (openCVLPort(0, c, name.c_str(), size) != 1) return false;
    setCompleteCallback(0, c, OnComplete);
    setProperty(0, c, "continuous", 1);
    return true;
  };
  for (int c = 1; c <= o.cameras; ++c) open[c] = openCamera(c);

  std::atomic<bool> done{false};
  std::atomic<long> rowsRead{0}, closes[kMaxCameras + 1]{}, slowCloses{0};
  long longestCloseMs = 0;

  // A host thread copying whole images out of random open cameras.
  std::thread reader([&] {
    std::mt19937 random(1);
    std::vector<unsigned char> row(kWidth * 3);
    while (!done) {
      int c = std::uniform_int_distribution<int>(1, o.cameras)(random);
      std::lock_guard<std::mutex> hold(portLock);
      if (!open[c]) continue;
      for (int r = 0; r < kHeight; ++r)
        if (getCVLGrabRow(0, c, row.data(), r, 0, kWidth - 1)) ++rowsRead;
    }
  });

  std::printf("soak: %d cameras at %d/s, %d %% of answers failing, %.1f min; RSS after opening %ld kB\n", o.cameras,
              o.rate, o.flaky, o.minutes, RssKb());
  std::fflush(stdout);
  long rssStart = -1;  // after a warm-up: every buffer, connection and cache made once

  // Churn: about every half second one camera is closed, and reopened a
  // little later (the reopen also restarts continuous mode).
  std::mt19937 random(2);
  const auto start = Clock::now();
  const auto end = start + std::chrono::milliseconds(static_cast<long>(o.minutes * 60000));
  auto nextReport = start + 60s;
  while (Clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(200, 800)(random)));
    int c = std::uniform_int_distribution<int>(1, o.cameras)(random);
    {
      std::lock_guard<std::mutex> hold(portLock);
      if (open[c]) {
        auto t = Clock::now();
        closeCVLPort(0, c);
        long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
        longestCloseMs = std::max(longestCloseMs, ms);
        if (ms >= 1100) ++slowCloses;
        ++closes[c];
        open[c] = false;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 300)(random)));
    {
      std::lock_guard<std::mutex> hold(portLock);
      open[c] = openCamera(c);
    }
    if (rssStart < 0 && Clock::now() - start >= 20s) rssStart = RssKb();
    if (Clock::now() >= nextReport) {
      long total = 0;
      for (int k = 1; k <= o.cameras; ++k) total += callbacks[k];
      double s = std::chrono::duration<double>(Clock::now() - start).count();
      std::printf("soak: %5.0f s  RSS %ld kB  images %ld (%.0f/s)  ERR %ld  OK %ld\n", s, RssKb(), total, total / s,
                  errLines.load(), okLines.load());
      std::fflush(stdout);
      nextReport += 60s;
    }
  }

  const long rssEnd = RssKb();
  // Stop: continuous mode off and every camera closed, then compare.
  {
    std::lock_guard<std::mutex> hold(portLock);
    for (int c = 1; c <= o.cameras; ++c)
      if (open[c]) {
        setProperty(0, c, "continuous", 0);  // a close and an open
        closeCVLPort(0, c);
        closes[c] += 2;
        open[c] = false;
      }
  }
  done = true;
  reader.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

  bool ok = true;
  long totalCallbacks = 0, totalServed = 0;
  for (int c = 1; c <= o.cameras; ++c) {
    long served = Served(c);
    totalCallbacks += callbacks[c];
    totalServed += served;
    // Each close may cut one whole answer short (after the server sent it,
    // before the callback).
    long lost = served - callbacks[c];
    if (lost < 0 || lost > closes[c]) {
      std::printf("soak: camera %d: %ld whole answers, %ld callbacks, %ld closes: callbacks lost\n", c, served,
                  callbacks[c].load(), closes[c].load());
      ok = false;
    }
  }
  long closeCount = 0;
  for (int c = 1; c <= o.cameras; ++c) closeCount += closes[c];
  std::printf(
      "soak: %.0f s, %ld images (%.0f/s), %ld whole answers, %ld closes (longest %ld ms, %ld over 1.1 s), "
      "%ld rows read, ERR %ld, OK %ld, log lines %ld\n",
      seconds, totalCallbacks, totalCallbacks / seconds, totalServed, closeCount, longestCloseMs, slowCloses.load(),
      rowsRead.load(), errLines.load(), okLines.load(), logLines.load());
  std::printf("soak: RSS after 20 s %ld kB, at the end %ld kB, peak %ld kB\n", rssStart, rssEnd, RssKb("VmHWM:"));
  if (slowCloses > 0) ok = false;
  if (passwordLeaks > 0) {
    std::printf("soak: %ld log texts showed the password\n", passwordLeaks.load());
    ok = false;
  }
  finalize();
  std::printf("soak: %s\n", ok ? "PASSED" : "FAILED");
  return ok ? 0 : 1;
}
