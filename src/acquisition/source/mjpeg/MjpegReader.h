// One connection to a camera's picture stream (multipart/x-mixed-replace),
// read by a thread of its own that keeps only the newest complete picture.
// The connection is the transport's (transport/StreamReading.h): the one a
// download found the stream on, or a new one.
//
// What "already there" means: when a Take begins, the reader first reads
// whatever the connection holds; pictures completed up to then were there
// before a grab, and only a later one is delivered for it. A continuous
// cycle takes the newest picture not taken before. Between Takes in
// continuous mode the reader rests (up to kRestMs) instead of waking for
// every part: only delivered pictures are decoded, and parts nobody takes
// cost little more than their bytes.
//
// Thread safety: the owner (the camera's worker) creates, takes from and
// destroys the stream; Stop may be called from any thread at any time. The
// reader thread shares the Impl with the owner and ends by itself once
// stopped: nothing ever waits for it, so a reader stuck in a library call
// (WinInet under Wine ignores closed handles) never holds up a close.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "acquisition/MemoryPicture.h"
#include "acquisition/source/mjpeg/MultipartParser.h"
#include "acquisition/transport/StreamReading.h"
#include "acquisition/transport/TlsTrust.h"
#include "acquisition/transport/TransferClock.h"
#include "driver/Mutex.h"

namespace orvella {

// The URL answered with one picture, not a stream (the camera changed).
class NotAStream : public std::runtime_error {
 public:
  NotAStream() : std::runtime_error("the answer is not a picture stream") {}
};

class MjpegReader {
 public:
  using Clock = std::chrono::steady_clock;

  // Nobody has taken a picture for this long and the camera is not in
  // continuous mode: the reader closes the connection (not a failure).
  static constexpr int kIdleCloseMs = 3000;
  // The longest a Take waits for a picture while data keeps arriving.
  static constexpr int kPartWaitMs = 30000;
  // The longest the reader rests between Takes in continuous mode; what
  // arrives meanwhile waits in the connection's buffers.
  static constexpr int kRestMs = 200;

  static constexpr const char* kEndedText = "MjpegStream: the camera ended the stream";
  static constexpr const char* kCutText = "MjpegStream: the stream was cut in the middle of a picture";
  static constexpr const char* kNoPictureText = "MjpegStream: no picture completed within 30000 ms";
  static constexpr const char* kHangingText = "MjpegStream: earlier stream connections are still hanging";
  static constexpr const char* kStoppedText = "MjpegStream: stopped";

  // Starts the reader on `url` under `limits` (connection time-out, stall
  // and minimum rate, which apply between parts too), logging in with the
  // URL's credentials and trusting https certificates as `trust` says.
  // `answer`: the stream's answer as a download found it, read on; null
  // connects. `readers` counts the reader threads alive; each one counts
  // itself until it ends.
  MjpegReader(const std::string& url, std::unique_ptr<OpenAnswer> answer, const TransferLimits& limits,
              const TlsTrust& trust, std::shared_ptr<std::atomic<int>> readers);
  // Stops the reader; never waits for it.
  ~MjpegReader();
  MjpegReader(const MjpegReader&) = delete;
  MjpegReader& operator=(const MjpegReader&) = delete;

  enum class Took { kPicture, kIdleClosed, kNotAStream };
  // A grab (`after` set: its time) waits for the first picture completed
  // after the reader has caught up; a continuous cycle (`after` is
  // Clock::time_point()) takes the newest one not taken before, waiting
  // for one if there is none. The picture becomes `into`'s content (the
  // buffers trade places: no copy). kIdleClosed: the reader had closed an
  // unused connection;
  // kNotAStream: the URL answered with a single picture. Raises the
  // stream's failure (once it failed, every Take raises it) and
  // kStoppedText after Stop.
  Took Take(Clock::time_point after, MemoryPicture& into);

  // Continuous mode keeps the connection open however rarely it is used.
  void SetContinuous(bool on);
  // Any thread: a Take in progress fails at once; the reader ends.
  void Stop();
  const std::string& Url() const { return url; }

  class Impl;

 private:
  std::shared_ptr<Impl> reader;
  const std::string url;
};

// What the reader thread and the owner share. The transport calls the
// sink's functions on the reader thread only.
class MjpegReader::Impl final : public StreamSink, private MultipartParser::Sink {
 public:
  Impl(const TransferLimits& limits, const TlsTrust& trust);

  // ---- reader side (the transport) ----
  const TransferLimits& Limits() const override { return limits; }
  const TlsTrust& Trust() const override { return trust; }
  // Raises "File not available" for a refusal (the transport raises it
  // first, with its cause) and NotAStream for a single picture.
  void Answered(long status, const std::string& contentType) override ORVELLA_EXCLUDES(lock);
  void Received(const char* data, size_t size) override ORVELLA_EXCLUDES(lock);
  // False once the reader is to end (stopped, idle, failed, or a limit
  // passed); otherwise the plan for the next wait.
  bool KeepGoing(Plan& plan) override ORVELLA_EXCLUDES(lock);
  void Waiting(bool on) override ORVELLA_EXCLUDES(lock);
  // Sleeps up to `most` without reading, until a Take or Stop wants it.
  void Rest(std::chrono::milliseconds most) override ORVELLA_EXCLUDES(lock);
  void SetWaker(std::function<void()> wake) override ORVELLA_EXCLUDES(lock);
  // The transport returned (`error` null) or raised.
  void Ended(std::exception_ptr error) ORVELLA_EXCLUDES(lock);

  // ---- owner side ----
  Took Take(Clock::time_point after, MemoryPicture& into) ORVELLA_EXCLUDES(lock);
  void SetContinuous(bool on) ORVELLA_EXCLUDES(lock);
  void Stop() ORVELLA_EXCLUDES(lock);

 private:
  enum class End { kRunning, kIdle, kFailed, kNotAStream };

  void PartBegin(long long length, const std::string& type) override;
  void PartBytes(const char* data, size_t size) override;
  void PartEnd(size_t trim) override ORVELLA_EXCLUDES(lock);
  // Makes room for `more` bytes in `filling`.
  void Reserve(size_t more);
  Took WaitForPicture(MutexLock& hold, Clock::time_point after, MemoryPicture& into) ORVELLA_REQUIRES(lock);
  // Ends the stream with `error` and wakes both sides.
  void Fail(std::exception_ptr error) ORVELLA_REQUIRES(lock);

  const TransferLimits limits;
  const TlsTrust trust;

  Mutex lock;
  std::condition_variable changed;
  TransferClock clock ORVELLA_GUARDED_BY(lock);
  ReceiveBuffer newest ORVELLA_GUARDED_BY(lock);  // the newest complete picture
  int newestSize ORVELLA_GUARDED_BY(lock) = 0;
  std::string newestType ORVELLA_GUARDED_BY(lock);     // its part's Content-Type
  uint64_t newestNumber ORVELLA_GUARDED_BY(lock) = 0;  // pictures completed so far
  uint64_t takenNumber ORVELLA_GUARDED_BY(lock) = 0;   // the last one taken
  Clock::time_point lastUse ORVELLA_GUARDED_BY(lock);
  bool taking ORVELLA_GUARDED_BY(lock) = false;
  bool waiting ORVELLA_GUARDED_BY(lock) = false;  // the backend has read all there was
  bool continuous ORVELLA_GUARDED_BY(lock) = false;
  bool stopped ORVELLA_GUARDED_BY(lock) = false;
  End end ORVELLA_GUARDED_BY(lock) = End::kRunning;
  std::exception_ptr failure ORVELLA_GUARDED_BY(lock);
  std::function<void()> waker ORVELLA_GUARDED_BY(lock);

  // The reader thread's alone.
  std::unique_ptr<MultipartParser> parser;
  ReceiveBuffer filling;  // the picture being received
  std::string fillingType;
  int fill = 0;
  int64_t received = 0;
};

}  // namespace orvella
