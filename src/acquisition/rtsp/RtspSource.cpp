#include "acquisition/rtsp/RtspSource.h"

#include <algorithm>
#include <stdexcept>

namespace orvella {

namespace {
// Longer than this without the picture a cycle waits for fails the cycle;
// the client reconnects meanwhile on its own.
constexpr int kPictureWaitMs = 5000;
}  // namespace

bool RtspSource::Handles(const std::string& url) {
  return url.compare(0, 7, "rtsp://") == 0 || url.compare(0, 8, "rtsps://") == 0;
}

bool RtspSource::Next(const std::string& url, int connectionTimeoutMs, bool grabbed,
                      std::chrono::steady_clock::time_point grabbedAt, const std::atomic<bool>& stop) {
  if (!client.IsOpen() || url != openUrl) {
    RtspLimits limits;
    limits.connectMs = connectionTimeoutMs;
    openUrl.clear();
    client.Open(url, limits);
    openUrl = url;
    delivered = RtspPicture{};
  }
  RtspPicture after;
  if (grabbed) {
    after.decodedAt = grabbedAt;  // never a picture that was already there
  } else {
    after.sequence = delivered.sequence;
  }
  const int waitMs = std::max(kPictureWaitMs, connectionTimeoutMs + kPictureWaitMs / 5);
  switch (client.WaitPicture(after, RtspClient::Clock::now() + std::chrono::milliseconds(waitMs), &stop)) {
    case RtspWait::kPicture:
      return true;
    case RtspWait::kStopped:
      return false;
    case RtspWait::kFailed:
      throw std::runtime_error(client.Failure());
    case RtspWait::kTimedOut:
      break;
  }
  throw std::runtime_error("no picture from the RTSP stream within " + std::to_string(waitMs) + " ms");
}

void RtspSource::CopyInto(const PixelTarget& target, int width, int height, bool colour) {
  delivered = client.CopyNewest(target, width, height, colour);
}

}  // namespace orvella
