// TransferClock on a hand-driven time source: which limit applies when, what
// it allows next, and that steady or timely transfers never get a verdict.
#include <gtest/gtest.h>

#include <vector>

#include "acquisition/transport/TransferClock.h"

namespace orvella {
namespace {

using Verdict = TransferClock::Verdict;

// At `atMs` after the start: report progress or a request sent, or ask and
// expect `verdict` and `waitMs` as the next wait (0 once a verdict is given).
enum class Event { Ask, Progress, Sent };
struct Step {
  int atMs;
  Event event;
  Verdict verdict = Verdict::KeepGoing;
  long waitMs = 0;
};

struct Case {
  const char* name;
  std::vector<Step> steps;
};

Step Progress(int atMs) {
  return {atMs, Event::Progress};
}
Step Sent(int atMs) {
  return {atMs, Event::Sent};
}
Step Ask(int atMs, Verdict verdict, long waitMs = 0) {
  return {atMs, Event::Ask, verdict, waitMs};
}

TEST(TransferClockTest, LimitsAndVerdicts) {
  constexpr Verdict Go = Verdict::KeepGoing;
  const Case cases[] = {
      {"silent server: the connect limit", {Ask(0, Go, 500), Ask(499, Go, 1), Ask(500, Verdict::ConnectTimeout)}},
      {"answer just in time, then the stall limit from it",
       {Progress(499), Ask(600, Go, 1899), Ask(2498, Go, 1), Ask(2499, Verdict::Stalled)}},
      {"every progress restarts the stall limit",
       {Progress(10), Progress(1500), Ask(3000, Go, 500), Progress(3400), Ask(5300, Go, 100),
        Ask(5400, Verdict::Stalled)}},
      {"slow but steady never fails",
       {Progress(400), Ask(2399, Go, 1), Progress(2399), Ask(4398, Go, 1), Progress(4398), Ask(6397, Go, 1)}},
      {"a verdict stays", {Ask(700, Verdict::ConnectTimeout), Progress(710), Ask(720, Verdict::ConnectTimeout)}},
      {"request sent: the answer limit, not the connect limit",
       {Sent(100), Ask(600, Go, 4500), Ask(5099, Go, 1), Ask(5100, Verdict::NoAnswer)}},
      {"a request after an answer (a login) waits afresh",
       {Sent(100), Progress(200), Sent(300), Ask(2300, Go, 3000), Ask(5300, Verdict::NoAnswer)}},
      {"answered: the stall limit", {Sent(100), Progress(4000), Ask(5500, Go, 500), Ask(6000, Verdict::Stalled)}},
  };
  TransferLimits limits;
  limits.connectMs = 500;
  limits.answerMs = 5000;
  limits.stallMs = 2000;
  for (const Case& c : cases) {
    TransferClock::TimePoint now{};
    TransferClock clock([&now] { return now; });
    clock.Start(limits);
    for (const Step& step : c.steps) {
      now = TransferClock::TimePoint{} + std::chrono::milliseconds(step.atMs);
      if (step.event == Event::Progress) clock.Progress(step.atMs);
      if (step.event == Event::Sent) clock.RequestSent();
      if (step.event != Event::Ask) continue;
      ASSERT_EQ(step.verdict, clock.Check()) << c.name << ", asked at " << step.atMs << " ms";
      EXPECT_EQ(step.waitMs, clock.NextWait().count()) << c.name << ", next wait at " << step.atMs << " ms";
    }
  }
}

TEST(TransferClockTest, ATrickleBelowTheMinimumRateFailsAndASteadyBodyDoesNot) {
  TransferLimits limits;
  limits.connectMs = 500;
  limits.stallMs = 5000;
  limits.rateWindowMs = 1000;
  limits.minWindowBytes = 100;
  struct Case {
    const char* name;
    std::vector<std::pair<int, int64_t>> progress;  // at ms, bytes so far
    int askAt;
    Verdict verdict;
  };
  const Case cases[] = {
      {"a byte now and then", {{0, 0}, {400, 1}, {800, 2}}, 1000, Verdict::TooSlow},
      {"enough in the first window", {{0, 0}, {400, 100}}, 1000, Verdict::KeepGoing},
      {"enough, then a trickle", {{0, 0}, {400, 150}, {1000, 150}, {1500, 160}, {1900, 170}}, 2000, Verdict::TooSlow},
  };
  for (const Case& c : cases) {
    TransferClock::TimePoint now{};
    TransferClock clock([&now] { return now; });
    clock.Start(limits);
    int asked = 0;
    for (const auto& [atMs, bytes] : c.progress) {
      now = TransferClock::TimePoint{} + std::chrono::milliseconds(atMs);
      clock.Progress(bytes);
      if (atMs - asked >= 100) {
        ASSERT_EQ(Verdict::KeepGoing, clock.Check()) << c.name << " at " << atMs;
      }
      asked = atMs;
    }
    now = TransferClock::TimePoint{} + std::chrono::milliseconds(c.askAt);
    EXPECT_EQ(c.verdict, clock.Check()) << c.name;
  }
}

TEST(TransferClockTest, ReasonNamesTheLimitAndStartBeginsAfresh) {
  TransferClock::TimePoint now{};
  TransferClock clock([&now] { return now; });
  TransferLimits limits;
  limits.connectMs = 1234;
  limits.stallMs = 5000;
  clock.Start(limits);
  EXPECT_EQ("", clock.Reason());
  clock.Progress(0);
  now += std::chrono::milliseconds(5000);
  ASSERT_EQ(Verdict::Stalled, clock.Check());
  EXPECT_EQ("FTPStream::ReadFile: timed out: the transfer stalled, nothing received for 5000 ms", clock.Reason());

  clock.Start(limits);  // the next download on the same clock: not answered yet
  EXPECT_EQ(Verdict::KeepGoing, clock.Check());
  EXPECT_EQ("", clock.Reason());
  now += std::chrono::milliseconds(1234);
  ASSERT_EQ(Verdict::ConnectTimeout, clock.Check());
  EXPECT_EQ("FTPStream::ReadFile: timed out: no connection to the server within 1234 ms (ConnectionTimeout)",
            clock.Reason());

  limits.answerMs = 30000;
  clock.Start(limits);
  clock.RequestSent();
  now += std::chrono::milliseconds(30000);
  ASSERT_EQ(Verdict::NoAnswer, clock.Check());
  EXPECT_EQ("FTPStream::ReadFile: timed out: no answer from the server within 30000 ms of the request", clock.Reason());
}

}  // namespace
}  // namespace orvella
