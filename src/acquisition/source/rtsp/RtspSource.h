// An RTSP camera as one of the worker's picture sources: the stream's
// decoding thread keeps the newest picture, and a cycle takes the first one
// decoded after its grab (or, in continuous mode, the newest not yet
// delivered). The client lives until the camera's worker ends or the URL
// stops being rtsp://, and opens again when the URL or the camera's TlsTrust
// changes.
//
// Thread safety: as PictureSource (Next, Write, Close on the worker; Abort on
// any thread).
#pragma once

#include <atomic>
#include <string>

#include "acquisition/source/PictureSource.h"
#include "acquisition/source/rtsp/RtspReader.h"

namespace orvella {

class RtspSource final : public PictureSource {
 public:
  // rtsp:// and rtsps:// URLs.
  bool Serves(const std::string& url) const override;
  Found Next(const Request& request) override;
  // Converts the picture Next found, decoded already.
  void Write(const PixelTarget& target, int width, int height, bool colour) override;
  void Abort() override { stop = true; }
  void Close() override;
  // The reader keeps its stream through failures: it reconnects by itself.
  void Failed() override {}

 private:
  RtspReader client;
  std::string openUrl;
  std::string openTrust;  // the TlsTrust it was opened with
  RtspPicture delivered;  // the last picture handed over
  std::atomic<bool> stop{false};
};

}  // namespace orvella
