// Pictures from a camera's MJPEG stream: one connection kept open while the
// camera uses it, read by its own thread (MjpegReader). The first connection
// is the one the snapshot download found the stream on (Adopt); a reconnect
// makes one request. A grab gets the first picture completed after it, a
// continuous cycle the newest one not delivered before. The connection
// closes on any fault, when the camera closes, and when it has gone unused
// for a few seconds outside continuous mode; the next picture asked for
// reconnects.
//
// Thread safety: as PictureSource.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "acquisition/MemoryPicture.h"
#include "acquisition/source/PictureSource.h"
#include "driver/Mutex.h"

namespace orvella {

class ImageDecoder;
class MjpegReader;

class MjpegSource final : public PictureSource {
 public:
  // Stopped readers still inside a library call, beyond which no new
  // connection is made (a WinInet reader under Wine waits out its time-out).
  static constexpr int kMaxReaders = 3;

  explicit MjpegSource(ImageDecoder& decoder);
  ~MjpegSource() override;

  // The URL a stream was found on, until it answers with a single picture.
  bool Serves(const std::string& url) const override { return !streamUrl.empty() && url == streamUrl; }
  bool Adopt(const std::string& url, std::unique_ptr<OpenAnswer>& answer) override;
  void SetContinuous(bool on) override ORVELLA_EXCLUDES(lock);

  Found Next(const Request& request) override;
  void Write(const PixelTarget& target, int width, int height, bool colour) override;
  void Abort() override ORVELLA_EXCLUDES(lock);
  // Closes the connection; the URL stays known as a stream.
  void Close() override ORVELLA_EXCLUDES(lock);

 private:
  // The open stream on the request's URL, connecting when there is none.
  MjpegReader* Open(const Request& request) ORVELLA_EXCLUDES(lock);

  ImageDecoder& decoder;
  MemoryPicture picture;              // the part handed over, as the decoder reads it
  std::string streamUrl;              // the worker's
  std::unique_ptr<OpenAnswer> found;  // the worker's: the answer a download found, until opened
  bool continuous = false;            // the worker's
  const std::shared_ptr<std::atomic<int>> readers;

  Mutex lock;  // the open stream against Abort from another thread
  std::unique_ptr<MjpegReader> open ORVELLA_GUARDED_BY(lock);
  bool aborted ORVELLA_GUARDED_BY(lock) = false;
};

}  // namespace orvella
