// orvella-simcam: a simulated network camera. Serves a fresh JPEG snapshot
// at http://ADDR:PORT/image.jpg on every request over HTTP/1.1 keep-alive,
// optionally the same pictures as an MJPEG stream and over FTP, with
// injectable latency and faults.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/Options.h"
#include "simcam/Picture.h"

namespace {

using orvella::simcam::DrawFrame;
using orvella::simcam::JpegEncoder;

const char kUsage[] =
    "usage: orvella-simcam [options]\n"
    "  --bind ADDR          address to listen on (default 127.0.0.1)\n"
    "  --port N             HTTP port, 0 picks a free one (default 8080)\n"
    "  --width N --height N picture size (default 640x480)\n"
    "  --quality N          JPEG quality 1..100 (default 85)\n"
    "  --latency-ms N       wait before every answer to /image.jpg\n"
    "  --fail-every N       every Nth request to /image.jpg fails\n"
    "  --fail-rate P        each request fails with probability P (0..1)\n"
    "  --fail-mode M        how a request fails: 500, drop (connection closed mid-answer)\n"
    "                       or mixed (both in turn); default 500\n"
    "  --frames-cache K     encode K frames at start and serve them in turn\n"
    "  --mjpeg FPS          also serve the pictures as an MJPEG stream at /video.mjpg, FPS\n"
    "                       frames per second (the URL printed); faults cut the stream\n"
    "  --file PATH          serve this picture file on every request instead (benchmarks)\n"
    "  --dump DIR           also write every served picture to DIR/frame-N.jpg\n"
    "  --ftp PORT           also serve DIR/image.jpg over FTP (pyftpdlib), 0 picks a port\n"
    "  --ftp-dir DIR        directory the FTP server shares (default: a temporary one)\n"
    "  --ftp-interval-ms N  how often the FTP picture is replaced (default 100)\n"
    "  --seed N             seed for --fail-rate (default 1)\n"
    "  --verbose            one line per request on stderr\n";

struct Config {
  std::string bind = "127.0.0.1";
  long port = 8080;
  long width = 640, height = 480, quality = 85;
  long latencyMs = 0;
  long failEvery = 0;
  double failRate = 0;
  std::string failMode = "500";
  long framesCache = 0;
  double mjpegFps = 0;
  std::string dumpDir;
  std::string file;
  long ftpPort = -1;
  std::string ftpDir;
  long ftpIntervalMs = 100;
  long seed = 1;
  bool verbose = false;
};

Config ParseArgs(int argc, char** argv) {
  Config c;
  orvella::tools::Options options("orvella-simcam", kUsage);
  options.Text("--bind", c.bind)
      .Text("--fail-mode", c.failMode)
      .Text("--dump", c.dumpDir)
      .Text("--ftp-dir", c.ftpDir)
      .Text("--file", c.file)
      .Number("--port", c.port, 0, 65535)
      .Number("--width", c.width, 16, 8192)
      .Number("--height", c.height, 16, 8192)
      .Number("--quality", c.quality, 1, 100)
      .Number("--latency-ms", c.latencyMs, 0, 600000)
      .Number("--fail-every", c.failEvery, 0, 1L << 30)
      .Number("--frames-cache", c.framesCache, 0, 100000)
      .Number("--ftp", c.ftpPort, 0, 65535)
      .Number("--ftp-interval-ms", c.ftpIntervalMs, 1, 600000)
      .Number("--seed", c.seed, 0, 1L << 30)
      .Real("--fail-rate", c.failRate, 0, 1)
      .Real("--mjpeg", c.mjpegFps, 0.01, 1000)
      .Flag("--verbose", c.verbose);
  options.Parse(argc, argv);
  if (c.failMode != "500" && c.failMode != "drop" && c.failMode != "mixed")
    options.Fail("--fail-mode: 500, drop or mixed");
  return c;
}

std::string TimeText() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  const int ms =
      static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm tm{};
  localtime_r(&t, &tm);
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
  return text;
}

// Written under a temporary name and renamed, so a reader never sees half a file.
void WriteAtomically(const std::string& path, const std::string& data) {
  const std::string tmp = path + ".tmp";
  std::FILE* f = std::fopen(tmp.c_str(), "wb");
  if (!f) throw std::runtime_error("cannot write " + tmp + ": " + std::strerror(errno));
  const bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
  if (std::fclose(f) != 0 || !ok || std::rename(tmp.c_str(), path.c_str()) != 0)
    throw std::runtime_error("cannot write " + path);
}

std::string ReadWholeFile(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
  std::string data;
  char block[65536];
  for (size_t n; (n = std::fread(block, 1, sizeof block, f)) > 0;) data.append(block, n);
  std::fclose(f);
  return data;
}

// The pictures and the fault schedule. Thread-safe: every connection thread
// and the FTP writer call it.
class Camera {
 public:
  enum class Outcome { kServe, kError500, kDrop };

  explicit Camera(const Config& c) : config(c), rng(c.seed) {
    if (!config.file.empty()) {
      cache.push_back(std::make_shared<const std::string>(ReadWholeFile(config.file)));
      return;
    }
    JpegEncoder encoder;
    for (int i = 1; i <= config.framesCache; ++i) cache.push_back(Encode(encoder, static_cast<std::uint64_t>(i)));
  }

  using Picture = std::shared_ptr<const std::string>;

  Outcome Decide() {
    const std::uint64_t n = ++requests;
    bool fail = config.failEvery > 0 && n % static_cast<std::uint64_t>(config.failEvery) == 0;
    if (config.failRate > 0) {
      std::lock_guard<std::mutex> guard(rngLock);
      fail = fail || std::uniform_real_distribution<double>(0, 1)(rng) < config.failRate;
    }
    if (!fail) return Outcome::kServe;
    if (config.failMode == "drop") return Outcome::kDrop;
    if (config.failMode == "mixed") return ++failures % 2 ? Outcome::kError500 : Outcome::kDrop;
    return Outcome::kError500;
  }

  // The next picture and its frame number (1, 2, 3, ...: failed requests use none).
  // Cached pictures are shared, not copied: benchmarks measure the client.
  Picture NextFrame(JpegEncoder& encoder, std::uint64_t& n) {
    n = ++frames;
    Picture jpeg = cache.empty() ? Encode(encoder, n) : cache[(n - 1) % cache.size()];
    if (!config.dumpDir.empty()) {
      char name[48];
      std::snprintf(name, sizeof name, "/frame-%06llu.jpg", static_cast<unsigned long long>(n));
      WriteAtomically(config.dumpDir + name, *jpeg);
    }
    return jpeg;
  }

 private:
  Picture Encode(JpegEncoder& encoder, std::uint64_t n) {
    return std::make_shared<const std::string>(encoder.Encode(DrawFrame(config.width, config.height, n, TimeText()),
                                                              config.width, config.height, config.quality));
  }

  const Config& config;
  std::vector<Picture> cache;  // read-only after construction
  std::atomic<std::uint64_t> requests{0}, frames{0}, failures{0};
  std::mutex rngLock;
  std::mt19937_64 rng;  // guarded by rngLock
};

struct Socket {
  int fd;
  explicit Socket(int f) : fd(f) {}
  ~Socket() {
    if (fd >= 0) close(fd);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
};

// Head and body in one gathered write: no Nagle wait between them, no copy.
bool SendAll(int fd, const std::string& head, const std::string& body) {
  iovec parts[2] = {{const_cast<char*>(head.data()), head.size()}, {const_cast<char*>(body.data()), body.size()}};
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = 2;
  for (size_t left = head.size() + body.size(); left > 0;) {
    const ssize_t n = sendmsg(fd, &message, MSG_NOSIGNAL);
    if (n <= 0) return false;
    left -= static_cast<size_t>(n);
    for (size_t done = static_cast<size_t>(n); done > 0;) {
      const size_t step = std::min(done, message.msg_iov->iov_len);
      message.msg_iov->iov_base = static_cast<char*>(message.msg_iov->iov_base) + step;
      message.msg_iov->iov_len -= step;
      done -= step;
      if (message.msg_iov->iov_len == 0 && message.msg_iovlen > 1) ++message.msg_iov, --message.msg_iovlen;
    }
  }
  return true;
}

std::string Head(int status, const char* reason, const char* type, size_t length, bool close) {
  return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nServer: orvella-simcam\r\nContent-Type: " + type +
         "\r\nContent-Length: " + std::to_string(length) + "\r\nCache-Control: no-store\r\n" +
         (close ? "Connection: close\r\n\r\n" : "\r\n");
}

struct Request {
  std::string method, target, path;
  bool close = false, head = false;
};

// The next request's head from the connection; false when it ends.
bool ReadRequest(int fd, std::string& in, Request& r) {
  char buffer[8192];
  size_t end;
  while ((end = in.find("\r\n\r\n")) == std::string::npos) {
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0 || in.size() > 65536) return false;
    in.append(buffer, static_cast<size_t>(n));
  }
  std::string request = in.substr(0, end);
  in.erase(0, end + 4);
  char method[16] = "", target[1024] = "", version[16] = "";
  std::sscanf(request.c_str(), "%15s %1023s %15s", method, target, version);
  std::transform(request.begin(), request.end(), request.begin(), [](unsigned char ch) { return std::tolower(ch); });
  const bool http10 = std::strcmp(version, "HTTP/1.0") == 0;
  r.close = http10 ? request.find("connection: keep-alive") == std::string::npos
                   : request.find("connection: close") != std::string::npos;
  r.method = method;
  r.target = target;
  r.path = r.target.substr(0, r.target.find('?'));
  r.head = r.method == "HEAD";
  return true;
}

// The pictures as one endless multipart answer, a part per frame at
// --mjpeg frames per second, until the client leaves. A fault cuts the
// stream in the middle of a part.
void ServeMjpeg(int fd, Camera& camera, const Config& config, JpegEncoder& encoder) {
  const std::string boundary = "simcamframe";
  if (!SendAll(fd,
               "HTTP/1.1 200 OK\r\nServer: orvella-simcam\r\nContent-Type: multipart/x-mixed-replace; boundary=" +
                   boundary + "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n",
               std::string()))
    return;
  const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(1.0 / config.mjpegFps));
  auto due = std::chrono::steady_clock::now();
  for (bool first = true;; first = false) {
    const bool fail = camera.Decide() != Camera::Outcome::kServe;
    std::uint64_t n = 0;
    const Camera::Picture jpeg = camera.NextFrame(encoder, n);
    // The line end before a delimiter belongs to it: each part goes out whole, in one write.
    const std::string head = std::string(first ? "--" : "\r\n--") + boundary +
                             "\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(jpeg->size()) +
                             "\r\nX-Frame: " + std::to_string(n) + "\r\n\r\n";
    if (config.verbose)
      std::fprintf(stderr, "simcam: stream frame %llu%s\n", static_cast<unsigned long long>(n), fail ? " cut" : "");
    if (fail) {
      SendAll(fd, head, jpeg->substr(0, jpeg->size() / 2));
      return;
    }
    if (!SendAll(fd, head, *jpeg)) return;
    due = std::max(due + period, std::chrono::steady_clock::now() - period);  // no burst after a stall
    std::this_thread::sleep_until(due);
  }
}

// One client connection, served until the client closes it or asks to.
void ServeRequests(int fd, Camera& camera, const Config& config) {
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::unique_ptr<JpegEncoder> encoder;
  std::string in;
  for (Request r; ReadRequest(fd, in, r);) {
    std::string head, note;
    auto body = std::make_shared<const std::string>();
    const auto text = [&](int status, const char* reason, const char* message) {
      body = std::make_shared<const std::string>(message);
      head = Head(status, reason, "text/plain", body->size(), r.close);
      note = std::to_string(status);
    };
    if (!encoder) encoder = std::make_unique<JpegEncoder>();
    if (!r.head && r.method != "GET") {
      text(405, "Method Not Allowed", "GET or HEAD only\n");
    } else if (r.path == "/video.mjpg" && config.mjpegFps > 0 && !r.head) {
      if (config.verbose) std::fprintf(stderr, "simcam: %s %s -> stream\n", r.method.c_str(), r.target.c_str());
      return ServeMjpeg(fd, camera, config, *encoder);
    } else if (r.path != "/image.jpg") {
      text(404, "Not Found", "the picture is at /image.jpg\n");
    } else {
      const Camera::Outcome outcome = camera.Decide();
      if (config.latencyMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(config.latencyMs));
      if (outcome == Camera::Outcome::kDrop) {
        // Mid-body, not before the answer: a client silently retries a request
        // whose reused connection closes before any byte arrives.
        if (config.verbose)
          std::fprintf(stderr, "simcam: %s %s -> dropped mid-answer\n", r.method.c_str(), r.target.c_str());
        SendAll(fd, Head(200, "OK", "image/jpeg", 10000, false), std::string(100, '\0'));
        return;
      }
      if (outcome == Camera::Outcome::kError500) {
        text(500, "Internal Server Error", "simulated failure\n");
      } else {
        std::uint64_t n = 0;
        body = camera.NextFrame(*encoder, n);
        head = Head(200, "OK", "image/jpeg", body->size(), r.close);
        note = "200 frame " + std::to_string(n) + " (" + std::to_string(body->size()) + " bytes)";
      }
    }
    if (config.verbose) std::fprintf(stderr, "simcam: %s %s -> %s\n", r.method.c_str(), r.target.c_str(), note.c_str());
    if (!SendAll(fd, head, r.head ? std::string() : *body) || r.close) return;
  }
}

void ServeConnection(int fd, Camera& camera, const Config& config) {
  Socket socket(fd);
  try {
    ServeRequests(fd, camera, config);
  } catch (const std::exception& e) {  // e.g. --dump into a full disk: this client loses its connection
    std::fprintf(stderr, "orvella-simcam: %s\n", e.what());
  }
}

int Listen(const std::string& address, int& port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) throw std::runtime_error("bad address " + address);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0)
    throw std::runtime_error("cannot listen on " + address + ":" + std::to_string(port) + ": " + std::strerror(errno));
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  port = ntohs(addr.sin_port);
  return fd;
}

// pyftpdlib (anonymous, read-only) shares ftpDir, where a thread of ours
// replaces image.jpg every ftpIntervalMs.
struct FtpServer {
  pid_t pid = -1;
  int port = -1;
  bool ownDir = false;  // a temporary directory we remove at the end
};

FtpServer StartFtp(Config& config, Camera& camera) {
  FtpServer ftp;
  if (config.ftpDir.empty()) {
    char tmpl[] = "/tmp/orvella-simcam-ftp-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("cannot make a directory for the FTP server");
    config.ftpDir = tmpl;
    ftp.ownDir = true;
  }
  JpegEncoder encoder;
  std::uint64_t n;
  WriteAtomically(config.ftpDir + "/image.jpg", *camera.NextFrame(encoder, n));

  int port = static_cast<int>(config.ftpPort);
  if (port == 0) close(Listen(config.bind, port));  // a free port; pyftpdlib binds it right after
  const std::string portText = std::to_string(port);
  const int devNull = config.verbose ? -1 : open("/dev/null", O_WRONLY);
  ftp.pid = fork();  // still single-threaded here
  if (ftp.pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // goes with us, however we end
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_UNBLOCK, &all, nullptr);
    if (devNull >= 0) dup2(devNull, STDERR_FILENO);  // its log, one line per session
    execl("/usr/bin/python3", "python3", "-m", "pyftpdlib", "-i", config.bind.c_str(), "-p", portText.c_str(), "-d",
          config.ftpDir.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  if (devNull >= 0) close(devNull);
  if (ftp.pid < 0) throw std::runtime_error("fork failed");
  std::thread([&config, &camera] {
    JpegEncoder encoder;
    for (std::uint64_t n;;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(config.ftpIntervalMs));
      try {
        WriteAtomically(config.ftpDir + "/image.jpg", *camera.NextFrame(encoder, n));
      } catch (const std::exception& e) {
        std::fprintf(stderr, "orvella-simcam: %s\n", e.what());
      }
    }
  }).detach();
  // Wait until the FTP server accepts connections (pyftpdlib takes ~0.2 s to start).
  for (int i = 0; i < 100; ++i) {
    Socket probe(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, config.bind.c_str(), &addr.sin_addr);
    if (connect(probe.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
      ftp.port = port;
      return ftp;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  throw std::runtime_error("the FTP server (python3 -m pyftpdlib, Debian's python3-pyftpdlib) did not start");
}

[[noreturn]] void AcceptLoop(int listener, Camera& camera, const Config& config) {
  for (;;) {
    const int fd = accept(listener, nullptr, nullptr);
    if (fd >= 0) {
      std::thread(ServeConnection, fd, std::ref(camera), std::cref(config)).detach();
    } else if (errno != EINTR && errno != ECONNABORTED) {
      std::fprintf(stderr, "orvella-simcam: accept: %s\n", std::strerror(errno));
      _exit(1);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  Config config = ParseArgs(argc, argv);
  signal(SIGPIPE, SIG_IGN);
  // SIGINT and SIGTERM reach only the main thread's sigwait, which cleans up.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  FtpServer ftp;
  try {
    if (!config.dumpDir.empty()) mkdir(config.dumpDir.c_str(), 0755);
    static Camera camera(config);  // outlives the detached threads
    int port = static_cast<int>(config.port);
    const int listener = Listen(config.bind, port);
    if (config.ftpPort >= 0) ftp = StartFtp(config, camera);
    std::printf("listening on http://%s:%d/%s\n", config.bind.c_str(), port,
                config.mjpegFps > 0 ? "video.mjpg" : "image.jpg");
    if (ftp.port >= 0)
      std::printf("ftp on ftp://%s:%d/image.jpg (directory %s)\n", config.bind.c_str(), ftp.port,
                  config.ftpDir.c_str());
    std::fflush(stdout);
    std::thread(AcceptLoop, listener, std::ref(camera), std::cref(config)).detach();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orvella-simcam: %s\n", e.what());
    if (ftp.pid > 0) kill(ftp.pid, SIGTERM);
    _exit(1);
  }
  int signal = 0;
  sigwait(&stop, &signal);
  if (ftp.pid > 0) {
    kill(ftp.pid, SIGTERM);
    waitpid(ftp.pid, nullptr, 0);
  }
  if (ftp.ownDir) {
    unlink((config.ftpDir + "/image.jpg").c_str());
    unlink((config.ftpDir + "/image.jpg.tmp").c_str());
    rmdir(config.ftpDir.c_str());
  }
  _exit(0);  // detached threads may still be serving; no static destructors under them
}
