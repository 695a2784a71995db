#include "acquisition/TransferClock.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace orvella {

namespace {
long ElapsedMs(TransferClock::TimePoint from, TransferClock::TimePoint to) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count());
}
}  // namespace

int TransferLimits::LongestQuietMs() const {
  return std::max(connectMs, stallMs);
}

TransferClock::TransferClock(TimeSource source) : now(std::move(source)) {}

void TransferClock::Start(const TransferLimits& given) {
  limits = given;
  start = now();
  lastProgress = start;
  answered = false;
  received = 0;
  verdict = Verdict::KeepGoing;
  wait = std::chrono::milliseconds(0);
}

void TransferClock::Progress(int64_t bytesSoFar) {
  answered = true;
  lastProgress = now();
  received = bytesSoFar;
}

TransferClock::Verdict TransferClock::Check() {
  if (verdict != Verdict::KeepGoing) return verdict;
  // Until the answer begins the connection time-out applies, afterwards the
  // stall limit since the last progress.
  const TimePoint at = now();
  const long left = answered ? limits.stallMs - ElapsedMs(lastProgress, at) : limits.connectMs - ElapsedMs(start, at);
  if (left <= 0) {
    verdict = answered ? Verdict::Stalled : Verdict::ConnectTimeout;
    wait = std::chrono::milliseconds(0);
  } else {
    wait = std::chrono::milliseconds(left);
  }
  return verdict;
}

std::string TransferClock::Reason() const {
  char text[160];
  switch (verdict) {
    case Verdict::ConnectTimeout:
      std::snprintf(text, sizeof text,
                    "FTPStream::ReadFile: timed out: no answer from the server within %d ms (ConnectionTimeout)",
                    limits.connectMs);
      return text;
    case Verdict::Stalled:
      std::snprintf(text, sizeof text,
                    "FTPStream::ReadFile: timed out: the transfer stalled, nothing received for %d ms", limits.stallMs);
      return text;
    case Verdict::KeepGoing:
      break;
  }
  return "";
}

}  // namespace orvella
