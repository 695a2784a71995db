// One RTSP camera's live stream: a decoding thread reads and decodes every
// frame (H.264 and H.265 frames depend on each other) and keeps only the
// newest picture; the caller waits for a picture newer than the one it had
// (or than a moment) and has that one converted into its buffer, once.
//
// The stream runs over TCP (interleaved), with the credentials of the URL
// (FFmpeg answers Basic and Digest), which go only to the URL's own origin:
// a redirect elsewhere fails the stream. An rtsps:// stream's certificate is
// judged by the camera's TlsTrust on the connection that carries the stream,
// before a request goes out over it. Its pictures may take
// decode::kMaxPictureMemory; a stream that claims or needs more fails. A stream that cannot be opened, ends or
// stalls puts the client in the failed state, which lasts until pictures flow
// again; meanwhile the thread reconnects after 1 s, 2 s, 4 s ... at most 30 s.
// Reasons never hold the URL's password.
//
// Thread safety: Open and Close belong to the owner (one thread at a time);
// WaitPicture, CopyNewest and Failure may be called from any thread while
// the client is open. Close returns at once; the decoding thread, which may
// be inside one picture, ends at FFmpeg's next interrupt check or after that
// picture, on its own.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "acquisition/PixelTarget.h"
#include "acquisition/transport/TlsTrust.h"
#include "driver/NoCopy.h"

namespace orvella {

struct RtspLimits {
  int connectMs = 3000;  // opening the stream (RTSP handshake) may take this long
  int stallMs = 5000;    // longer than this without a picture fails the stream
};

// A decoded picture as the client numbers it: sequence 1 is the first of the
// client's life; decodedAt is when its decoding ended.
struct RtspPicture {
  uint64_t sequence = 0;
  std::chrono::steady_clock::time_point decodedAt{};
  int width = 0;
  int height = 0;
};

enum class RtspWait {
  kPicture,   // a newer picture is there
  kFailed,    // the stream is down (Failure() says why); the client reconnects
  kTimedOut,  // the deadline passed first
  kStopped,   // the stop flag was set, or the client is closing
};

class RtspReader {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kFirstRetry{1};
  static constexpr std::chrono::seconds kLastRetry{30};
  static constexpr std::chrono::seconds kLoginRetry{30};  // after a refused login
  // How long Close waits for the decoding thread: an interrupted call ends
  // within 100 ms, a huge picture's decode may take seconds.
  static constexpr std::chrono::milliseconds kCloseWait{300};

  RtspReader();
  ~RtspReader();
  ORVELLA_NO_COPY(RtspReader);

  // Loads the RTSP module and starts the decoding thread, which connects in
  // the background. Raises std::runtime_error when the module or FFmpeg is
  // missing (the reason names what). An open client is closed first.
  void Open(const std::string& url, const RtspLimits& limits, const TlsTrust& trust = TlsTrust());
  // Stops the thread without waiting for it; the pictures go. Idempotent.
  void Close();
  bool IsOpen() const { return state != nullptr; }

  // Waits until the newest picture is newer than `after` in both sequence
  // and decode time: after.sequence = the last picture taken, or
  // after.decodedAt = a moment (a grab). `stop`, when given, is polled.
  RtspWait WaitPicture(const RtspPicture& after, Clock::time_point deadline, const std::atomic<bool>* stop = nullptr);
  // Why the stream is down; "" while it is up or connecting for the first time.
  std::string Failure() const;
  // Whether that failure is the camera refusing the URL's login (401/403).
  bool LoginRefused() const;

  // Converts the newest picture's top-left width x height pixels (limited to
  // the picture and to the target) into `target`: blue-green-red, or gray
  // with the JPEG path's weights. Says which picture it was. Raises
  // std::runtime_error when there is none yet or it cannot be converted.
  RtspPicture CopyNewest(const PixelTarget& target, int width, int height, bool colour);

 private:
  struct Impl;
  std::shared_ptr<Impl> state;  // shared with the decoding thread
  std::thread thread;           // joined when it ends within kCloseWait, else left to end
};

}  // namespace orvella
