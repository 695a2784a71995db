// An RTSP camera as one of the worker's picture sources: the stream's
// decoding thread keeps the newest picture, and a cycle takes the first one
// decoded after its grab (or, in continuous mode, the newest not yet
// delivered). The client lives until the camera's worker ends or the URL
// stops being rtsp://, and opens again when the URL changes.
//
// Thread safety: as PictureSource (Next, Write, Close on the worker; Abort on
// any thread).
#pragma once

#include <atomic>
#include <string>

#include "acquisition/source/rtsp/RtspReader.h"
#include "acquisition/source/PictureSource.h"

namespace orvella {

class FTPStream;

class RtspSource final : public PictureSource {
 public:
  // The connection time-out is the camera's (read from `stream`'s limits).
  explicit RtspSource(const FTPStream& s) : stream(s) {}
  // Whether `url` is one of ours (rtsp:// or rtsps://).
  static bool Handles(const std::string& url);

  void Next(const std::string& url, Clock::time_point after) override;
  // Converts the picture Next found (decoded already: the decoder is unused).
  void Write(ImageDecoder& decoder, const PixelTarget& target, int width, int height, bool colour) override;
  void Abort() override { stop = true; }
  void Close() override;

 private:
  const FTPStream& stream;
  RtspReader client;
  std::string openUrl;
  RtspPicture delivered;  // the last picture handed over
  std::atomic<bool> stop{false};
};

}  // namespace orvella
