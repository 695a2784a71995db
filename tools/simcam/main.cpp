// orvella-simcam: a simulated network camera. Serves a fresh JPEG snapshot
// at http://ADDR:PORT/image.jpg on every request over HTTP/1.1 keep-alive,
// optionally the same pictures as an MJPEG stream and over FTP, with
// injectable latency and faults.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "common/HostPlatform.h"
#include "common/Options.h"
#include "simcam/Camera.h"
#include "simcam/Picture.h"
#include "simcam/RtspServer.h"
#include "simcam/ScriptServer.h"
#include "simcam/Secure.h"
#include "simcam/ServerPlatform.h"

namespace {

using namespace orvella::simcam;

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
    "  --ftp PORT           also serve DIR/image.jpg over FTP (pyftpdlib, Linux), 0 picks a port\n"
    "  --ftp-dir DIR        directory the FTP server shares (default: a temporary one)\n"
    "  --ftp-interval-ms N  how often the FTP picture is replaced (default 100)\n"
    "  --rtsp PORT          also serve a moving pattern over RTSP (GStreamer): H.264 at /h264, H.265 at /h265,\n"
    "                       Digest login at /secure/h264 on the next port it prints; 0 picks ports\n"
    "  --onvif PORT         also be an ONVIF camera there (Linux): device and media services whose snapshot\n"
    "                       is /image.jpg and stream /h264 (with --rtsp), WS-Security login admin / p@ss&w:rd,\n"
    "                       its clock 3 h ahead; 0 picks a port\n"
    "  --onvif-discovery PORT  answer WS-Discovery probes sent to this UDP port (default 3702; 0 picks one)\n"
    "  --onvif-multicast    also answer probes to 239.255.255.250:3702 on the loopback interface (for a\n"
    "                       network namespace of its own; never on a shared network)\n"
    "  --auth basic|digest  ask for a login (Digest: SHA-256 and MD5 offered; Linux)\n"
    "  --user NAME --password PW  the login (default user / pass)\n"
    "  --tls                https with a self-signed certificate made at start (Linux)\n"
    "  --seed N             seed for --fail-rate (default 1)\n"
    "  --verbose            one line per request on stderr\n"
    "GET /_stats answers \"requests=N\": the requests for /image.jpg so far, refused logins included.\n";

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
      .Number("--rtsp", c.rtspPort, 0, 65535)
      .Number("--onvif", c.onvifPort, 0, 65535)
      .Number("--onvif-discovery", c.onvifDiscoveryPort, 0, 65535)
      .Flag("--onvif-multicast", c.onvifMulticast)
      .Number("--seed", c.seed, 0, 1L << 30)
      .Real("--fail-rate", c.failRate, 0, 1)
      .Text("--auth", c.auth)
      .Text("--user", c.user)
      .Text("--password", c.password)
      .Flag("--tls", c.tls)
      .Real("--mjpeg", c.mjpegFps, 0.01, 1000)
      .Flag("--verbose", c.verbose);
  options.Parse(argc, argv);
  if (c.failMode != "500" && c.failMode != "drop" && c.failMode != "mixed")
    options.Fail("--fail-mode: 500, drop or mixed");
  if (!c.auth.empty() && c.auth != "basic" && c.auth != "digest") options.Fail("--auth: basic or digest");
  return c;
}

std::string Head(int status, const char* reason, const char* type, size_t length, bool close,
                 const std::string& more = "") {
  return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nServer: orvella-simcam\r\nContent-Type: " + type +
         "\r\nContent-Length: " + std::to_string(length) + "\r\nCache-Control: no-store\r\n" + more +
         (close ? "Connection: close\r\n\r\n" : "\r\n");
}

// The pictures as one endless multipart answer, a part per frame at
// --mjpeg frames per second, until the client leaves. A fault cuts the
// stream in the middle of a part.
void ServeMjpeg(const Socket& client, Camera& camera, const Config& config, JpegEncoder& encoder) {
  const std::string boundary = "simcamframe";
  if (!client.SendAll(
          "HTTP/1.1 200 OK\r\nServer: orvella-simcam\r\nContent-Type: multipart/x-mixed-replace; boundary=" + boundary +
              "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n",
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
      client.SendAll(head, jpeg->substr(0, jpeg->size() / 2));
      return;
    }
    if (!client.SendAll(head, *jpeg)) return;
    due = std::max(due + period, std::chrono::steady_clock::now() - period);  // no burst after a stall
    std::this_thread::sleep_until(due);
  }
}

struct Request {
  char method[16] = "", target[1024] = "", version[16] = "";
  std::string path;       // the target without its query
  std::string challenge;  // the login's challenge; empty once logged in
  bool close = false;
  bool isHead = false;
};

// The next request's head on the connection; false when the client leaves
// or sends a head too large.
bool NextRequest(const Socket& client, std::string& in, Camera& camera, Request& r) {
  char buffer[8192];
  size_t end;
  while ((end = in.find("\r\n\r\n")) == std::string::npos) {
    const long n = client.Receive(buffer, sizeof buffer);
    if (n <= 0 || in.size() > 65536) return false;
    in.append(buffer, static_cast<size_t>(n));
  }
  std::string request = in.substr(0, end);
  in.erase(0, end + 4);
  r = Request{};
  std::sscanf(request.c_str(), "%15s %1023s %15s", r.method, r.target, r.version);
  r.challenge = camera.login.Challenge(r.method, request);
  std::transform(request.begin(), request.end(), request.begin(), [](unsigned char ch) { return std::tolower(ch); });
  const bool http10 = std::strcmp(r.version, "HTTP/1.0") == 0;
  r.close = http10 ? request.find("connection: keep-alive") == std::string::npos
                   : request.find("connection: close") != std::string::npos;
  r.isHead = std::strcmp(r.method, "HEAD") == 0;
  r.path = r.target;
  r.path = r.path.substr(0, r.path.find('?'));
  if (r.path == "/image.jpg") ++camera.received;
  return true;
}

// One client connection, served until the client closes it or asks to.
void ServeRequests(const Socket& client, Camera& camera, const Config& config) {
  client.NoDelay();
  std::unique_ptr<JpegEncoder> encoder;
  std::string in;
  for (Request r; NextRequest(client, in, camera, r);) {
    std::string head, note;
    auto body = std::make_shared<const std::string>();
    const auto text = [&](int status, const char* reason, const char* message) {
      body = std::make_shared<const std::string>(message);
      head = Head(status, reason, "text/plain", body->size(), r.close);
      note = std::to_string(status);
    };
    if (!encoder) encoder = std::make_unique<JpegEncoder>();
    if (!r.isHead && std::strcmp(r.method, "GET") != 0) {
      text(405, "Method Not Allowed", "GET or HEAD only\n");
    } else if (r.path == "/_stats") {
      text(200, "OK", ("requests=" + std::to_string(camera.received.load()) + "\n").c_str());
    } else if (!r.challenge.empty()) {
      text(401, "Unauthorized", "log in\n");
      head = Head(401, "Unauthorized", "text/plain", body->size(), r.close, r.challenge);
    } else if (r.path == "/video.mjpg" && config.mjpegFps > 0 && !r.isHead) {
      if (config.verbose) std::fprintf(stderr, "simcam: %s %s -> stream\n", r.method, r.target);
      return ServeMjpeg(client, camera, config, *encoder);
    } else if (r.path != "/image.jpg") {
      text(404, "Not Found", "the picture is at /image.jpg\n");
    } else {
      const Camera::Outcome outcome = camera.Decide();
      if (config.latencyMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(config.latencyMs));
      if (outcome == Camera::Outcome::kDrop) {
        // Mid-body, not before the answer: a client silently retries a request
        // whose reused connection closes before any byte arrives.
        if (config.verbose) std::fprintf(stderr, "simcam: %s %s -> dropped mid-answer\n", r.method, r.target);
        client.SendAll(Head(200, "OK", "image/jpeg", 10000, false), std::string(100, '\0'));
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
    if (config.verbose) std::fprintf(stderr, "simcam: %s %s -> %s\n", r.method, r.target, note.c_str());
    if (!client.SendAll(head, r.isHead ? std::string() : *body) || r.close) return;
  }
}

// Without --tls the accepted socket itself; with it, the plain end of the TLS
// pump, which owns the accepted one (invalid when the handshake failed).
Socket Plain(Socket accepted, Camera& camera) {
  if (!camera.tls) return accepted;
  return Socket(camera.tls->Accept(static_cast<int>(accepted.Release())));
}

void ServeConnection(Socket accepted, Camera& camera, const Config& config) {
  Socket client = Plain(std::move(accepted), camera);
  if (!client.Valid()) return;
  try {
    ServeRequests(client, camera, config);
  } catch (const std::exception& e) {  // e.g. --dump into a full disk: this client loses its connection
    std::fprintf(stderr, "orvella-simcam: %s\n", e.what());
  }
}

// pyftpdlib (anonymous, read-only) shares ftpDir, where a thread of ours
// replaces image.jpg every ftpIntervalMs.
struct FtpServer {
  long pid = -1;
  int port = -1;
  bool ownDir = false;  // a temporary directory we remove at the end
};

FtpServer StartFtp(Config& config, Camera& camera) {
  FtpServer ftp;
  if (config.ftpDir.empty()) {
    config.ftpDir = orvella::host::MakeTempDir("orvella-simcam-ftp");
    ftp.ownDir = true;
  }
  JpegEncoder encoder;
  std::uint64_t n;
  WriteAtomically(config.ftpDir + "/image.jpg", *camera.NextFrame(encoder, n));

  int port = static_cast<int>(config.ftpPort);
  if (port == 0) Listen(config.bind, port);  // a free port; pyftpdlib binds it right after
  ftp.pid = StartFtpServer(config.bind, port, config.ftpDir, config.verbose);
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
    if (CanConnect(config.bind, port)) {
      ftp.port = port;
      return ftp;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  throw std::runtime_error("the FTP server (python3 -m pyftpdlib, Debian's python3-pyftpdlib) did not start");
}

// GStreamer's RTSP server as a child process, beside the program.
RtspServer StartRtsp(const Config& config) {
  const long securePort = config.rtspPort ? config.rtspPort + 1 : 0;
  RtspServer rtsp = StartRtspServerBesideProgram(
      {"--bind", config.bind, "--port", std::to_string(config.rtspPort), "--secure-port", std::to_string(securePort),
       "--width", std::to_string(config.width), "--height", std::to_string(config.height)});
  return rtsp;
}

// The ONVIF device (tests/servers/onvif_server.py beside the program): its
// snapshots are ours, its streams the RTSP server's. Prints where it is.
ScriptServer StartOnvif(const Config& config, int httpPort, const RtspServer& rtsp) {
  std::vector<std::string> args{
      "--bind",
      config.bind,
      "--port",
      std::to_string(config.onvifPort),
      "--discovery-port",
      std::to_string(config.onvifDiscoveryPort),
      "--advertise",
      "wsse",
      "--snapshot-uri",
      std::string(config.tls ? "https" : "http") + "://" + config.bind + ":" + std::to_string(httpPort) + "/image.jpg"};
  if (rtsp.port >= 0) args.insert(args.end(), {"--rtsp-port", std::to_string(rtsp.port)});
  if (config.onvifMulticast) args.push_back("--multicast");
  ScriptServer onvif = StartScriptServer(BesideProgram("orvella-onvif-server.py"), args);
  int port = 0, discovery = 0;
  if (std::sscanf(onvif.firstLine.c_str(), "port=%d discovery_port=%d", &port, &discovery) != 2) {
    StopScriptServer(onvif);
    throw std::runtime_error("the ONVIF device did not start (it needs /usr/bin/python3: tools/setup.sh)");
  }
  std::printf("onvif on onvif://admin:p%%40ss%%26w%%3Ard@%s:%d, WS-Discovery on udp %s:%d%s\n", config.bind.c_str(),
              port, config.bind.c_str(), discovery, config.onvifMulticast ? " and 239.255.255.250:3702" : "");
  return onvif;
}

[[noreturn]] void AcceptLoop(const Socket& listener, Camera& camera, const Config& config) {
  for (;;) {
    try {
      Socket client = listener.Accept();
      if (client.Valid()) std::thread(ServeConnection, std::move(client), std::ref(camera), std::cref(config)).detach();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "orvella-simcam: %s\n", e.what());
      std::_Exit(1);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  Config config = ParseArgs(argc, argv);
  FtpServer ftp;
  RtspServer rtsp;
  ScriptServer onvif;
  try {
    StartUp();
    if (!config.dumpDir.empty()) orvella::host::MakeDir(config.dumpDir);
    static Camera camera(config);  // outlives the detached threads
    int port = static_cast<int>(config.port);
    static const Socket listener = Listen(config.bind, port);
    if (config.ftpPort >= 0) ftp = StartFtp(config, camera);
    if (config.rtspPort >= 0) rtsp = StartRtsp(config);
    const std::string login = config.auth.empty() ? "" : config.user + ":" + config.password + "@";
    std::printf("listening on %s://%s%s:%d/%s", config.tls ? "https" : "http", login.c_str(), config.bind.c_str(), port,
                config.mjpegFps > 0 ? "video.mjpg" : "image.jpg");
    if (camera.tls) std::printf(" (TlsTrust=%s)", camera.tls->KeyPin().c_str());
    std::printf("\n");
    // Second: a host that wants the stream reads this line after the first.
    if (rtsp.port >= 0)
      std::printf("rtsp on rtsp://%s:%d/h264 and /h265, login rtsp://user:p%%40ss%%23w%%3Ard@%s:%d/secure/h264\n",
                  config.bind.c_str(), rtsp.port, config.bind.c_str(), rtsp.securePort);
    if (ftp.port >= 0)
      std::printf("ftp on ftp://%s:%d/image.jpg (directory %s)\n", config.bind.c_str(), ftp.port,
                  config.ftpDir.c_str());
    if (config.onvifPort >= 0) onvif = StartOnvif(config, port, rtsp);
    std::fflush(stdout);
    std::thread(AcceptLoop, std::cref(listener), std::ref(camera), std::cref(config)).detach();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orvella-simcam: %s\n", e.what());
    if (ftp.pid > 0) StopFtpServer(ftp.pid);
    StopRtspServer(rtsp);
    StopScriptServer(onvif);
    std::_Exit(1);
  }
  WaitForStop();
  StopScriptServer(onvif);
  StopRtspServer(rtsp);
  if (ftp.pid > 0) StopFtpServer(ftp.pid);
  if (ftp.ownDir) {
    std::remove((config.ftpDir + "/image.jpg").c_str());
    std::remove((config.ftpDir + "/image.jpg.tmp").c_str());
    std::remove(config.ftpDir.c_str());
  }
  std::_Exit(0);  // detached threads may still be serving; no static destructors under them
}
