#include "simcam/Camera.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include "simcam/ServerPlatform.h"

namespace orvella::simcam {

namespace {

std::string TimeText() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  const int ms =
      static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  const std::tm tm = LocalTime(t);
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
  return text;
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

}  // namespace

void WriteAtomically(const std::string& path, const std::string& data) {
  const std::string tmp = path + ".tmp";
  std::FILE* f = std::fopen(tmp.c_str(), "wb");
  if (!f) throw std::runtime_error("cannot write " + tmp + ": " + std::strerror(errno));
  const bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
  if (std::fclose(f) != 0 || !ok || !MoveOver(tmp, path)) throw std::runtime_error("cannot write " + path);
}

Camera::Camera(const Config& c)
    : login(c.auth, c.user, c.password), tls(c.tls ? std::make_unique<TlsServer>() : nullptr), config(c), rng(c.seed) {
  if (!config.file.empty()) {
    cache.push_back(std::make_shared<const std::string>(ReadWholeFile(config.file)));
    return;
  }
  JpegEncoder encoder;
  for (int i = 1; i <= config.framesCache; ++i) cache.push_back(Encode(encoder, static_cast<std::uint64_t>(i)));
}

Camera::Outcome Camera::Decide() {
  const std::uint64_t n = ++requests;
  bool fail = config.failEvery > 0 && n % static_cast<std::uint64_t>(config.failEvery) == 0;
  if (config.failRate > 0) {
    orvella::ScopedLock<orvella::Mutex> guard(rngLock);
    fail = fail || std::uniform_real_distribution<double>(0, 1)(rng) < config.failRate;
  }
  if (!fail) return Outcome::kServe;
  if (config.failMode == "drop") return Outcome::kDrop;
  if (config.failMode == "mixed") return ++failures % 2 ? Outcome::kError500 : Outcome::kDrop;
  return Outcome::kError500;
}

Camera::Picture Camera::NextFrame(JpegEncoder& encoder, std::uint64_t& n) {
  n = ++frames;
  Picture jpeg = cache.empty() ? Encode(encoder, n) : cache[(n - 1) % cache.size()];
  if (!config.dumpDir.empty()) {
    char name[48];
    std::snprintf(name, sizeof name, "/frame-%06llu.jpg", static_cast<unsigned long long>(n));
    WriteAtomically(config.dumpDir + name, *jpeg);
  }
  return jpeg;
}

Camera::Picture Camera::Encode(JpegEncoder& encoder, std::uint64_t n) {
  return std::make_shared<const std::string>(encoder.Encode(DrawFrame(config.width, config.height, n, TimeText()),
                                                            config.width, config.height, config.quality));
}

}  // namespace orvella::simcam
