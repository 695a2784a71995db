// The clock of one download, shared by every internet library: the backend
// starts it, reports what arrives, and asks between its waits whether to go
// on and for how long it may wait next. The limits live here and only here,
// so a new one (a field of TransferLimits and a rule in Check) reaches every
// backend without touching it.
//
// Thread safety: none of its own. A backend that reports from one thread and
// asks from another guards the clock with its own lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace orvella {

// What a download may take. All in milliseconds.
struct TransferLimits {
  // From the start until the request goes out: connecting, TLS handshake
  // included (ConnectionTimeout). Until the answer begins where a backend
  // cannot tell when its request went out.
  int connectMs = 0;
  // From the request until the answer begins: a camera may take many
  // seconds to make its picture.
  int answerMs = 0;
  int stallMs = 0;  // once answered, with nothing received
  // Once answered, at least minWindowBytes body bytes in every rateWindowMs
  // (0: no minimum): a server trickling a byte now and then never stalls.
  int rateWindowMs = 0;
  int64_t minWindowBytes = 0;

  // The longest a single library call may legitimately wait for data; a
  // backend bounds its own blocking calls a little beyond it.
  int LongestQuietMs() const;
};

class TransferClock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  using TimeSource = std::function<TimePoint()>;

  enum class Verdict { KeepGoing, ConnectTimeout, NoAnswer, Stalled, TooSlow };

  // `now` is the steady clock unless a test injects its own.
  explicit TransferClock(TimeSource now = [] { return std::chrono::steady_clock::now(); });

  // A new download begins now, under these limits.
  void Start(const TransferLimits& limits);
  // A request went out on a connected (for https: handshaken) connection;
  // its answer is awaited afresh (also after an answer asking for a login).
  void RequestSent();
  // The server sent something: a header, body bytes, or the answer to the
  // open itself. `bytesSoFar` counts the body received until now.
  void Progress(int64_t bytesSoFar);

  // KeepGoing, or the limit that was passed. Once given, a verdict stays.
  Verdict Check();
  // After KeepGoing: how long the backend may wait before asking again.
  std::chrono::milliseconds NextWait() const { return wait; }
  // The failure text of the verdict ("" while KeepGoing).
  std::string Reason() const;

  const TransferLimits& Limits() const { return limits; }

 private:
  // Time left in the rate window (a verdict when it ended too slow).
  long RateWindowLeft(TimePoint at);

  TimeSource now;
  TransferLimits limits;
  TimePoint start;
  TimePoint sent;  // the last request
  TimePoint lastProgress;
  bool requested = false;
  bool answered = false;
  int64_t received = 0;
  TimePoint windowStart;    // the minimum rate's current window
  int64_t windowBytes = 0;  // `received` when it began
  Verdict verdict = Verdict::KeepGoing;
  std::chrono::milliseconds wait{0};
};

}  // namespace orvella
