// Where a camera's pictures come from. The worker asks the source table for
// "the next picture after time T"; the table asks the source that reads the
// URL (SourceTable.h), which then writes the picture into the camera's
// buffer. Each source has a room of its own: snapshot/, mjpeg/, rtsp/.
//
// Thread safety: Next, Write, Close, SetContinuous, TakeAnswer and Adopt run
// on the camera's worker; Abort on any thread at any time, also while Next
// waits.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "acquisition/transport/StreamReading.h"

namespace orvella {

struct PixelTarget;
struct TransferLimits;
class TlsTrust;

class PictureSource {
 public:
  using Clock = std::chrono::steady_clock;

  // One cycle's request.
  struct Request {
    const std::string& url;
    // A grab's time: the picture must complete after it. Clock::time_point()
    // (continuous mode) asks for any picture not delivered before.
    Clock::time_point after;
    // The camera's connection limits (ConnectionTimeout and the fixed ones)
    // and certificate trust.
    const TransferLimits& limits;
    const TlsTrust& trust;
  };

  enum class Found {
    kPicture,        // kept for Write
    kPictureStream,  // the URL answered with a picture stream: TakeAnswer
    kNotAStream,     // a stream's URL answered with a single picture: the source let go of it
    kResolved,       // the URL stands for another (ResolvedUrl), which the table reads
  };

  virtual ~PictureSource() = default;

  // Whether this source reads `url` now.
  virtual bool Serves(const std::string& url) const = 0;
  // Waits for the next picture of the request and keeps it for Write.
  // Raises on failure: the cycle fails.
  virtual Found Next(const Request& request) = 0;
  // Writes the kept picture's top-left width x height into `target` (crop,
  // convert; decode where the picture is not decoded yet). Raises on failure.
  virtual void Write(const PixelTarget& target, int width, int height, bool colour) = 0;
  // A Next in progress fails within milliseconds, and so does every later one.
  virtual void Abort() = 0;
  // Lets go of what the source keeps open between pictures.
  virtual void Close() {}
  // A cycle of this camera failed: a source whose connection cannot be
  // trusted afterwards closes it.
  virtual void Failed() { Close(); }
  // The camera's continuous mode.
  virtual void SetContinuous(bool) {}
  // After kPictureStream: the stream's answer, its body unread.
  virtual std::unique_ptr<OpenAnswer> TakeAnswer() { return nullptr; }
  // Whether this source reads on a stream another source found at `url`
  // (taking `answer` when it does).
  virtual bool Adopt(const std::string&, std::unique_ptr<OpenAnswer>&) { return false; }
  // After kResolved: the URL the request's URL stands for, kept by the
  // source until its next Next.
  virtual const std::string& ResolvedUrl() const;
  // The cycle delivered its picture.
  virtual void Delivered() {}
};

}  // namespace orvella
