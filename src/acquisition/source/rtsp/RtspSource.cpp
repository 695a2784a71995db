#include "acquisition/source/rtsp/RtspSource.h"

#include <algorithm>
#include <stdexcept>

#include "acquisition/transport/TlsTrust.h"
#include "acquisition/transport/TransferClock.h"
#include "driver/Errors.h"

namespace orvella {

namespace {
// Longer than this without the picture a cycle waits for fails the cycle;
// the client reconnects meanwhile on its own.
constexpr int kPictureWaitMs = 5000;

// What the stream's connection depends on besides its URL.
std::string TrustKey(const TlsTrust& trust) {
  return std::to_string(static_cast<int>(trust.mode)) + trust.pins;
}
}  // namespace

bool RtspSource::Serves(const std::string& url) const {
  return url.compare(0, 7, "rtsp://") == 0 || url.compare(0, 8, "rtsps://") == 0;
}

PictureSource::Found RtspSource::Next(const Request& request) {
  const std::string& url = request.url;
  const int connectMs = request.limits.connectMs;
  const std::string trust = TrustKey(request.trust);
  if (!client.IsOpen() || url != openUrl || trust != openTrust) {
    RtspLimits limits;
    limits.connectMs = connectMs;
    Close();
    client.Open(url, limits, request.trust);
    openUrl = url;
    openTrust = trust;
  }
  RtspPicture wanted;
  if (request.after != Clock::time_point()) {
    wanted.decodedAt = request.after;  // a grab: never a picture that was already there
  } else {
    wanted.sequence = delivered.sequence;
  }
  const int waitMs = std::max(kPictureWaitMs, connectMs + kPictureWaitMs / 5);
  switch (client.WaitPicture(wanted, Clock::now() + std::chrono::milliseconds(waitMs), &stop)) {
    case RtspWait::kPicture:
      return Found::kPicture;
    case RtspWait::kStopped:
      throw std::runtime_error("RTSP: stopped");
    case RtspWait::kFailed:
      if (client.LoginRefused()) throw LoginRefused(client.Failure());
      throw std::runtime_error(client.Failure());
    case RtspWait::kTimedOut:
      break;
  }
  throw std::runtime_error("no picture from the RTSP stream within " + std::to_string(waitMs) + " ms");
}

void RtspSource::Write(const PixelTarget& target, int width, int height, bool colour) {
  delivered = client.CopyNewest(target, width, height, colour);
}

void RtspSource::Close() {
  client.Close();
  openUrl.clear();
  delivered = RtspPicture{};
}

}  // namespace orvella
