// The diagnostic log: level filter, time stamp, line ends, callback pieces,
// the log file and its pending lines, and concurrent writers.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "driver/DriverContext.h"
#include "support/LogCapture.h"
#include "support/Scratch.h"

namespace orvella {
namespace {

using test::LogCapture;

DriverContext* reentrant = nullptr;

// Logs again from inside the callback, on the same thread.
void ORVELLA_CALL CaptureAndLogAgain(const char* text) {
  LogCapture::Callback(text);
  if (std::string(text) == "outer\n") reentrant->Log(1, "inner");
}

std::tm Time(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return t;
}

std::tm FixedTime() {
  return Time(2015, 12, 31, 23, 59, 58);
}

class DriverContextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    context.debugMsgProc = LogCapture::Callback;
    context.SetTimeSource(FixedTime);
  }
  LogCapture log;
  DriverContext context;
};

TEST_F(DriverContextTest, LevelFilterPassesOnlyLevelsUpToTheCurrentOne) {
  context.Log(2, "hidden");
  context.Log(1, "shown");
  ASSERT_EQ(log.Lines(), std::vector<std::string>{"shown\n"});

  context.logLevel = 0;
  context.Log(1, "nothing at level 0");
  EXPECT_EQ(log.Lines().size(), 1u);

  context.logLevel = 4;
  context.Log(4, "row trace");
  EXPECT_EQ(log.Lines().back(), "row trace\n");
}

TEST_F(DriverContextTest, CallbackGetsStampThenMessageSeparately) {
  context.Log(1, "value=%d name=%s", 7, "x");
  EXPECT_EQ(log.Pieces(), (std::vector<std::string>{"31/12/15 23:59:58: ", "value=7 name=x\n"}));
}

TEST_F(DriverContextTest, StampIsZeroPaddedDayMonthYear) {
  char stamp[DriverContext::kStampSize];
  DriverContext::FormatStamp(Time(2009, 3, 7, 14, 5, 9), stamp, sizeof stamp);
  EXPECT_STREQ(stamp, "07/03/09 14:05:09: ");
}

TEST_F(DriverContextTest, LineEndIsAddedOnlyWhereThereIsRoom) {
  context.Log(1, "%s", std::string(1021, 'a').c_str());
  context.Log(1, "%s", std::string(1022, 'b').c_str());
  context.Log(1, "%s", std::string(1023, 'c').c_str());
  context.Log(1, "ends\n");
  context.Log(1, "%s", "");
  auto m = log.Lines();
  ASSERT_EQ(m.size(), 5u);
  EXPECT_EQ(m[0], std::string(1021, 'a') + "\n");
  EXPECT_EQ(m[1], std::string(1022, 'b'));
  EXPECT_EQ(m[2], std::string(1023, 'c'));
  EXPECT_EQ(m[3], "ends\n") << "a message ending in a line end gets no second one";
  EXPECT_EQ(m[4], "");
}

TEST_F(DriverContextTest, OverlongMessageIsCutToTheBuffer) {
  context.Log(1, "%s", std::string(5000, 'z').c_str());
  ASSERT_EQ(log.Lines().size(), 1u);
  EXPECT_EQ(log.Lines()[0], std::string(1023, 'z'));
}

TEST_F(DriverContextTest, PercentInArgumentsIsPrintedAsText) {
  context.Log(1, "url=(%s)", "http://host/a%20b%s%n");
  EXPECT_EQ(log.Lines()[0], "url=(http://host/a%20b%s%n)\n");
}

TEST_F(DriverContextTest, CallbackMayLogAgainOnTheSameThread) {
  reentrant = &context;
  context.debugMsgProc = CaptureAndLogAgain;
  context.Log(1, "outer");
  auto m = log.Lines();
  ASSERT_EQ(m.size(), 2u);
  EXPECT_EQ(m[0], "outer\n");
  EXPECT_EQ(m[1], "inner\n");
}

TEST_F(DriverContextTest, PendingLinesGoToTheHeadOfTheFileOnceThePathIsKnown) {
  test::ScratchDir dir;
  context.logIntoFile = true;
  context.Log(1, "first");
  context.Log(1, "second");
  EXPECT_EQ(context.PendingLineCount(), 2u);
  ASSERT_TRUE(context.SetSystemPath(dir.path().c_str()));
  EXPECT_FALSE(test::FileExists(context.GetLogFilePath())) << "nothing is written before the next message";
  context.Log(1, "third");
  std::string text = test::ReadText(context.GetLogFilePath());
  EXPECT_EQ(text,
            "31/12/15 23:59:58: first\n"
            "31/12/15 23:59:58: second\n"
            "31/12/15 23:59:58: third\n");
  EXPECT_EQ(context.PendingLineCount(), 0u);
  // Text mode: every line end reaches the disk as the platform writes it.
  std::string raw = test::ReadBinary(context.GetLogFilePath());
  EXPECT_EQ(raw.find("\r\n") != std::string::npos, test::PathSeparator() == "\\");
}

TEST_F(DriverContextTest, EmptyMessageLeavesTheNextEntryOnTheSameLine) {
  test::ScratchDir dir;
  context.SetSystemPath(dir.path().c_str());
  context.logIntoFile = true;
  context.Log(1, "%s", "");
  context.Log(1, "next");
  EXPECT_EQ(test::ReadText(context.GetLogFilePath()), "31/12/15 23:59:58: 31/12/15 23:59:58: next\n");
}

TEST_F(DriverContextTest, UnwritableDirectoryLosesTheLineButNotTheCallback) {
  test::ScratchDir dir;
  std::string missing = dir.path() + "/no/such/dir";
  context.SetSystemPath(missing.c_str());
  context.logIntoFile = true;
  context.Log(1, "lost");
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"lost\n"});
  EXPECT_FALSE(test::FileExists(context.GetLogFilePath()));
}

TEST_F(DriverContextTest, SettingsAndLogFileLiveInTheSystemPath) {
  EXPECT_FALSE(context.SetSystemPath(""));
  EXPECT_FALSE(context.SetSystemPath(nullptr));
  std::string sep = test::PathSeparator();
  EXPECT_EQ(context.GetSettingsFilePath(), sep + "Orvella.ini");
  ASSERT_TRUE(context.SetSystemPath("base"));
  EXPECT_EQ(context.GetSettingsFilePath(), "base" + sep + "Orvella.ini");
  EXPECT_EQ(context.GetLogFilePath(), "base" + sep + "Orvella.log");
}

TEST_F(DriverContextTest, ConcurrentWritersProduceWholeLines) {
  test::ScratchDir dir;
  context.SetSystemPath(dir.path().c_str());
  context.logIntoFile = true;
  context.debugMsgProc = nullptr;
  const int kThreads = 8, kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i) context.Log(1, "thread %d line %d %s", t, i, std::string(60, 'a' + t).c_str());
    });
  for (auto& th : threads) th.join();

  std::istringstream lines(test::ReadText(context.GetLogFilePath()));
  std::string line;
  int count = 0;
  std::vector<int> next(kThreads, 0);
  while (std::getline(lines, line)) {
    int t = -1, i = -1;
    char fill[128] = {0};
    ASSERT_EQ(std::sscanf(line.c_str(), "31/12/15 23:59:58: thread %d line %d %127s", &t, &i, fill), 3) << line;
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    EXPECT_EQ(std::string(fill), std::string(60, 'a' + t)) << "interleaved: " << line;
    EXPECT_EQ(i, next[t]++) << "lines of one thread stay in order";
    ++count;
  }
  EXPECT_EQ(count, kThreads * kLines);
}

}  // namespace
}  // namespace orvella

namespace orvella {
namespace {

// Who called the callback with what, in call order.
struct PieceLog {
  std::mutex lock;
  std::vector<std::pair<std::thread::id, std::string>> pieces;
  void Add(const char* text) {
    std::lock_guard<std::mutex> guard(lock);
    pieces.emplace_back(std::this_thread::get_id(), text);
  }
};
PieceLog pieceLog;

void ORVELLA_CALL YieldBetweenPieces(const char* text) {
  pieceLog.Add(text);
  std::this_thread::yield();
}

TEST_F(DriverContextTest, PairsStayWholeWithManyWritersAndALockDefersThemUntilReleased) {
  context.debugMsgProc = YieldBetweenPieces;
  pieceLog.pieces.clear();
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        if (i % 10 == 0) {
          Mutex ours;
          HostSafeLock<Mutex> hold(ours);
          context.Log(1, "kept %d", i);
          context.Log(1, "kept again %d", i);
        } else {
          context.Log(1, "line %d", i);
        }
      }
    });
  for (auto& th : threads) th.join();
  ASSERT_EQ(pieceLog.pieces.size(), 8u * 200 * 2 + 8u * 20 * 2);
  int mixed = 0;
  for (size_t i = 0; i + 1 < pieceLog.pieces.size(); i += 2) {
    const auto& stamp = pieceLog.pieces[i];
    const auto& message = pieceLog.pieces[i + 1];
    if (stamp.first != message.first || stamp.second != "31/12/15 23:59:58: ") ++mixed;
  }
  EXPECT_EQ(mixed, 0) << "a time stamp followed by another line's piece";
}

TEST_F(DriverContextTest, LinesUnderAHostSafeLockReachTheHostOnlyAfterIt) {
  Mutex ours;
  {
    HostSafeLock<Mutex> outer(ours);
    Mutex inner;
    {
      HostSafeLock<Mutex> nested(inner);
      context.Log(1, "first");
    }
    context.Log(1, "second");
    EXPECT_TRUE(log.Pieces().empty()) << "the host was called under a lock of ours";
  }
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"first\n", "second\n"}));
}

// A host whose callback waits for another thread that is logging: that
// thread goes ahead after a short wait instead of deadlocking.
std::atomic<bool> otherLogged{false};
DriverContext* waitingContext = nullptr;

void ORVELLA_CALL WaitForAnotherLogger(const char* text) {
  if (std::string(text) != "waits\n") return;
  std::thread other([] { waitingContext->Log(1, "other"); });
  other.join();  // would never return if the other Log waited for this pair
  otherLogged = true;
}

TEST_F(DriverContextTest, ACallbackWaitingForAnotherLoggingThreadDoesNotDeadlock) {
  waitingContext = &context;
  context.debugMsgProc = WaitForAnotherLogger;
  context.Log(1, "waits");
  EXPECT_TRUE(otherLogged);
}

}  // namespace
}  // namespace orvella
