// An RTSP camera as the worker sees it: "the picture for this cycle" instead
// of a download. A grab takes the first picture decoded after the grab; a
// timed cycle in continuous mode takes the newest one it has not delivered.
// The client (and its stream) lives as long as the camera's worker, and is
// opened again when the camera's URL changes.
//
// Thread safety: the worker's only.
#pragma once

#include <atomic>
#include <chrono>
#include <string>

#include "acquisition/PixelTarget.h"
#include "acquisition/rtsp/RtspClient.h"

namespace orvella {

class RtspSource {
 public:
  // Whether `url` is one of ours (rtsp:// or rtsps://).
  static bool Handles(const std::string& url);

  // Waits for this cycle's picture. False when `stop` was raised; raises
  // std::runtime_error with the reason when the stream is down or no
  // picture came in time.
  bool Next(const std::string& url, int connectionTimeoutMs, bool grabbed,
            std::chrono::steady_clock::time_point grabbedAt, const std::atomic<bool>& stop);
  // Converts the picture Next found into `target` (once per delivered picture).
  void CopyInto(const PixelTarget& target, int width, int height, bool colour);

 private:
  RtspClient client;
  std::string openUrl;
  RtspPicture delivered;  // the last picture handed over
};

}  // namespace orvella
