#include "support/Host.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>

#include "support/TestImages.h"

namespace orvella::test {

namespace {
std::mutex lock;
std::condition_variable arrived;
std::map<int, int> counts;  // GUARDED_BY(lock)
int badGrabber = 0;         // GUARDED_BY(lock)
}  // namespace

Host::Host() {
  std::lock_guard<std::mutex> guard(lock);
  counts.clear();
  badGrabber = 0;
}

Host::~Host() { ResetDriver(); }

void ORVELLA_CALL Host::OnComplete(int grabberNo, int portNo) {
  {
    std::lock_guard<std::mutex> guard(lock);
    ++counts[portNo];
    if (grabberNo != 0) ++badGrabber;
  }
  arrived.notify_all();
}

void Host::WriteSettings(const std::string& camera, const std::map<std::string, std::string>& keys) {
  std::string path = log.dir() + PathSeparator() + "Orvella.ini";
  std::string existing = ReadText(path);
  // The camera's earlier section goes: the first of two would win.
  const std::string header = "[" + camera + "]\n";
  const size_t at = existing.rfind(header, 0) == 0 ? 0 : existing.find("\n" + header);
  if (at != std::string::npos) {
    const size_t start = at == 0 ? 0 : at + 1;
    const size_t next = existing.find("\n[", start + header.size() - 1);
    existing.erase(start, next == std::string::npos ? std::string::npos : next + 1 - start);
  }
  std::ofstream out(path, std::ios::trunc);
  out << existing << header;
  for (const auto& [key, value] : keys) out << key << "=" << value << "\n";
}

int Host::Open(const std::string& camera, int port) {
  int size[2] = {-1, -1};
  int ok = openCVLPort(0, port, camera.c_str(), size);
  width = size[0];
  height = size[1];
  int pixel = 0;
  if (ok && getProperty(0, port, "PixelSize", &pixel)) bytesPerPixel = pixel / 8;
  if (ok) setCompleteCallback(0, port, OnComplete);
  return ok;
}

int Host::Callbacks(int port) const {
  std::lock_guard<std::mutex> guard(lock);
  auto it = counts.find(port);
  return it == counts.end() ? 0 : it->second;
}

bool Host::WaitCallbacks(int port, int count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(lock);
  return arrived.wait_for(guard, timeout, [&] { return counts[port] >= count; });
}

std::vector<unsigned char> Host::ReadRow(int port, int row) {
  std::vector<unsigned char> bytes(size_t(width) * bytesPerPixel);
  if (!getCVLGrabRow(0, port, bytes.data(), row, 0, width - 1)) bytes.clear();
  return bytes;
}

std::vector<unsigned char> Host::ReadImage(int port) {
  std::vector<unsigned char> image;
  for (int row = 0; row < height; ++row) {
    std::vector<unsigned char> bytes = ReadRow(port, row);
    if (bytes.empty()) return {};
    image.insert(image.end(), bytes.begin(), bytes.end());
  }
  return image;
}

int Host::PatternError(const std::vector<unsigned char>& image) const {
  if (image.size() != size_t(width) * height * bytesPerPixel) return 255;
  int worst = 0;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const Rgb want = PatternPixel(x, y);
      const unsigned char* p = &image[(size_t(y) * width + x) * bytesPerPixel];
      if (bytesPerPixel == 3) {
        worst = std::max({worst, std::abs(p[0] - want.b), std::abs(p[1] - want.g), std::abs(p[2] - want.r)});
      } else {
        worst = std::max(worst, std::abs(p[0] - GrayOf(want)));
      }
    }
  return worst;
}

int Host::BadGrabberCalls() const {
  std::lock_guard<std::mutex> guard(lock);
  return badGrabber;
}

}  // namespace orvella::test
