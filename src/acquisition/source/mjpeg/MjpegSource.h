// Pictures from a camera's MJPEG stream: one connection kept open while the
// camera uses it, read by its own thread (MjpegReader). A grab gets the
// first picture completed after it, a continuous cycle the newest one not
// delivered before. The connection closes on any fault, when the camera
// closes, and when it has gone unused for a few seconds outside continuous
// mode; the next picture asked for reconnects.
//
// Thread safety: as PictureSource; SetContinuous, Remember and Serves run on
// the worker.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "acquisition/source/PictureSource.h"
#include "driver/Mutex.h"

namespace orvella {

class MjpegReader;

class MjpegSource final : public PictureSource {
 public:
  // Stopped readers still inside a library call, beyond which no new
  // connection is made (a WinInet reader under Wine waits out its time-out).
  static constexpr int kMaxReaders = 3;

  // Pictures become `stream`'s content, where the decoder reads them; its
  // limits (ConnectionTimeout, stall, minimum rate) are the stream's.
  explicit MjpegSource(FTPStream& stream);
  ~MjpegSource();

  // `url` answers with a picture stream (a download found out).
  void Remember(const std::string& url) { streamUrl = url; }
  bool Serves(const std::string& url) const { return !streamUrl.empty() && url == streamUrl; }
  void SetContinuous(bool on) ORVELLA_EXCLUDES(lock);

  // Raises NotAStream, and forgets the URL, when it now answers with a
  // single picture.
  void Next(const std::string& url, Clock::time_point after) override;
  void Write(ImageDecoder& decoder, const PixelTarget& target, int width, int height, bool colour) override;
  void Abort() override ORVELLA_EXCLUDES(lock);
  // Closes the connection; the URL stays known as a stream.
  void Close() override ORVELLA_EXCLUDES(lock);

 private:
  // The open stream on `url`, connecting when there is none.
  MjpegReader* Open(const std::string& url) ORVELLA_EXCLUDES(lock);

  FTPStream& stream;
  std::string streamUrl;    // the worker's
  bool continuous = false;  // the worker's
  const std::shared_ptr<std::atomic<int>> readers;

  Mutex lock;  // the open stream against Abort from another thread
  std::unique_ptr<MjpegReader> open ORVELLA_GUARDED_BY(lock);
  bool aborted ORVELLA_GUARDED_BY(lock) = false;
};

}  // namespace orvella
