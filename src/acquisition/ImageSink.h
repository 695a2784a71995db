// What a worker may see of its camera and do with it. The camera implements
// it; the worker reaches it only under its own camera lock and only while
// the camera is attached (ImageReceivingThread), so nothing here locks for
// the worker.
#pragma once

#include <string>

#include "acquisition/PixelTarget.h"
#include "driver/Orvella.h"

namespace orvella {

class ImageSink {
 public:
  struct Schedule {
    int periodMs;
    bool continuous;
  };
  // The buffer to fill next and the configured region and pixel form.
  struct Frame {
    PixelTarget target;
    int width;
    int height;
    bool colour;
  };

  virtual Schedule ReadSchedule() const = 0;
  // Copies the current ImageUrl into `url` (reusing its storage); returns
  // the connection time-out in milliseconds.
  virtual int ReadSource(std::string& url) const = 0;
  // The TlsTrust setting as loaded when the camera opened.
  virtual std::string ReadTlsTrust() const = 0;
  virtual Frame WriteFrame() = 0;
  // Hands the written buffer over when the camera is still bound to `port`
  // (a close unbinds first, and wins over the image); `callback` receives
  // the host callback to call once no lock is held.
  virtual bool HandOver(int port, CompleteCallback* callback) = 0;

 protected:
  ~ImageSink() = default;
};

}  // namespace orvella
