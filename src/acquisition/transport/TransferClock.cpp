#include "acquisition/transport/TransferClock.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <utility>

namespace orvella {

namespace {
long ElapsedMs(TransferClock::TimePoint from, TransferClock::TimePoint to) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count());
}
}  // namespace

int TransferLimits::LongestQuietMs() const {
  return std::max({connectMs, answerMs, stallMs});
}

TransferClock::TransferClock(TimeSource source) : now(std::move(source)) {}

void TransferClock::Start(const TransferLimits& given) {
  limits = given;
  start = now();
  lastProgress = start;
  requested = false;
  answered = false;
  received = 0;
  verdict = Verdict::KeepGoing;
  wait = std::chrono::milliseconds(0);
}

void TransferClock::RequestSent() {
  sent = now();
  requested = true;
  answered = false;
}

void TransferClock::Progress(int64_t bytesSoFar) {
  lastProgress = now();
  if (!answered) {
    windowStart = lastProgress;
    windowBytes = bytesSoFar;
  }
  answered = true;
  received = bytesSoFar;
}

long TransferClock::RateWindowLeft(TimePoint at) {
  if (!answered || limits.rateWindowMs <= 0) return std::numeric_limits<int>::max();
  if (ElapsedMs(windowStart, at) >= limits.rateWindowMs) {
    if (received - windowBytes < limits.minWindowBytes) {
      verdict = Verdict::TooSlow;
      return 0;
    }
    windowStart = at;
    windowBytes = received;
  }
  return limits.rateWindowMs - ElapsedMs(windowStart, at);
}

TransferClock::Verdict TransferClock::Check() {
  if (verdict != Verdict::KeepGoing) return verdict;
  // Until the request goes out the connection time-out applies, then the
  // answer limit, and once answered the stall limit since the last progress.
  const TimePoint at = now();
  long left = limits.connectMs - ElapsedMs(start, at);
  Verdict passed = Verdict::ConnectTimeout;
  if (answered) {
    left = limits.stallMs - ElapsedMs(lastProgress, at);
    passed = Verdict::Stalled;
  } else if (requested) {
    left = limits.answerMs - ElapsedMs(sent, at);
    passed = Verdict::NoAnswer;
  }
  if (left <= 0) {
    verdict = passed;
    wait = std::chrono::milliseconds(0);
    return verdict;
  }
  const long windowLeft = RateWindowLeft(at);
  wait = std::chrono::milliseconds(verdict == Verdict::KeepGoing ? std::min(left, windowLeft) : 0);
  return verdict;
}

std::string TransferClock::Reason() const {
  char text[160];
  switch (verdict) {
    case Verdict::ConnectTimeout:
      std::snprintf(text, sizeof text,
                    "FTPStream::ReadFile: timed out: no connection to the server within %d ms (ConnectionTimeout)",
                    limits.connectMs);
      return text;
    case Verdict::NoAnswer:
      std::snprintf(text, sizeof text,
                    "FTPStream::ReadFile: timed out: no answer from the server within %d ms of the request",
                    limits.answerMs);
      return text;
    case Verdict::Stalled:
      std::snprintf(text, sizeof text,
                    "FTPStream::ReadFile: timed out: the transfer stalled, nothing received for %d ms", limits.stallMs);
      return text;
    case Verdict::TooSlow:
      std::snprintf(text, sizeof text,
                    "FTPStream::ReadFile: timed out: the transfer is too slow, %lld bytes in %d ms (at least %lld "
                    "needed)",
                    static_cast<long long>(received - windowBytes), limits.rateWindowMs,
                    static_cast<long long>(limits.minWindowBytes));
      return text;
    case Verdict::KeepGoing:
      break;
  }
  return "";
}

}  // namespace orvella
