// Every server fault crossed with every host action, through the exported
// functions only. For each cell: the host's calls return (close within
// 1.1 s), a failure run logs one ERR line and its recovery one OK line, a
// failed cycle makes no callback, and the last good image stays readable row
// by row, unchanged. No log line or host callback text ever shows the URL's
// password. The camera keeps one URL for the whole cell; the test servers'
// control paths decide what that URL answers (tests/servers/http_server.py).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "driver/Orvella.h"
#include "support/Host.h"
#include "support/Servers.h"
#include "support/TestImages.h"

namespace {

using namespace std::chrono_literals;
using orvella::test::Host;
using orvella::test::QueryEncoded;
using orvella::test::ServerControl;
using Clock = std::chrono::steady_clock;
using Image = std::vector<unsigned char>;

constexpr int kPort = 7;
constexpr int kWidth = 320, kHeight = 240;
// Wine's WinInet counts an FTP login as connecting: 400 ms was once too
// little for pyftpdlib on a loaded machine.
constexpr int kConnectionTimeoutMs = 1000;
constexpr const char* kPassword = "secretpw";
constexpr const char* kGoodPicture = "pattern_320x240.jpg";  // the image before the fault
constexpr const char* kNextPicture = "photo_800x600.jpg";    // the image after it

// ---- the test servers' control paths -------------------------------------

int NumberAfter(const std::string& text, const std::string& key) {
  size_t at = text.find(key);
  return at == std::string::npos ? -1 : std::atoi(text.c_str() + at + key.size());
}

void Route(const std::string& path, const std::string& to) {
  ASSERT_EQ(ServerControl("/_route?path=" + QueryEncoded(path) + "&to=" + QueryEncoded(to)), "ok\n");
}

int Hits(const std::string& path) {
  return NumberAfter(ServerControl("/_hits?path=" + QueryEncoded(path)), "hits=");
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  for (auto end = Clock::now() + limit; !done(); std::this_thread::sleep_for(5ms))
    if (Clock::now() > end) return done();
  return true;
}

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// ---- the matrix ------------------------------------------------------------

// kSilentTls: an https camera (TlsTrust=any) whose port takes connections
// and never completes a handshake until it is healed.
enum class Source { kHttp, kRefused, kSilentTls, kFtpMissingFile, kFtpWrongPassword };

// What a cycle during the fault does: fail (ERR line, no callback), deliver
// (a slow download still gives the next picture), or either, as the
// platform's decoder decides (a header claiming 30000 x 30000 px over the
// data of a small picture: GDI+ gives up, libjpeg-turbo decodes the region
// and pads what the data lacks, as for any damaged scan).
enum class Outcome { kFails, kDelivers, kEither };

// A JPEG cut inside the needed rows with an end marker appended: both
// products decode JPEG with libjpeg-turbo and refuse it.
constexpr Outcome kCutBeforeEndMarker = Outcome::kFails;

struct Fault {
  const char* name;
  Source source;
  const char* target;  // what the camera's HTTP URL answers during the fault
  Outcome outcome;
  bool slow;          // one faulty cycle takes a noticeable time
  bool onlyOneCycle;  // so slow that only the actions with one faulty cycle run it
};

std::ostream& operator<<(std::ostream& out, const Fault& f) {
  return out << f.name;
}

const Fault kFaults[] = {
    {"Refused", Source::kRefused, "", Outcome::kFails, false, false},
    // Never connected (ConnectionTimeout); a server that connects and never
    // answers is waited for as a slow camera (FTPStream::kAnswerTimeoutMs).
    {"HangInHandshake", Source::kSilentTls, "", Outcome::kFails, true, false},
    {"SlowDrip", Source::kHttp, "/files/photo_800x600.jpg?drip=10&chunk=8192", Outcome::kDelivers, true, false},
    {"DropMidBody", Source::kHttp, "/files/pattern_640x480.jpg?truncate=3000", Outcome::kFails, false, false},
    {"StallShortBody", Source::kHttp, "/files/pattern_640x480.jpg?stall=3000", Outcome::kFails, true, true},
    // Never 5 s without a byte, though the whole body takes 8 s: delivered.
    {"SlowSteadyBody", Source::kHttp, "/files/pattern_640x480.jpg?drip=4000&pieces=3", Outcome::kDelivers, true, true},
    // A byte a second never stalls; the minimum rate ends it.
    {"Trickle", Source::kHttp, "/bytes/100000?drip=1000&chunk=1", Outcome::kFails, true, true},
    {"Status404", Source::kHttp, "/status/404", Outcome::kFails, false, false},
    {"Status500", Source::kHttp, "/status/500", Outcome::kFails, false, false},
    {"HtmlWith200", Source::kHttp, "/html", Outcome::kFails, false, false},
    {"CorruptJpeg", Source::kHttp, "/files/corrupt.jpg", Outcome::kFails, false, false},
    {"TruncatedJpeg", Source::kHttp, "/files/truncated.jpg", Outcome::kFails, false, false},
    {"TruncatedWithEoi", Source::kHttp, "/files/truncated_eoi.jpg", kCutBeforeEndMarker, false, false},
    // 122 KB whose one scan repeated 1000 times would hold the worker for
    // seconds (and a close with it): refused before decoding.
    {"BombPicture", Source::kHttp, "/files/bomb_scans.jpg", Outcome::kFails, false, false},
    {"EmptyBody", Source::kHttp, "/empty", Outcome::kFails, false, false},
    {"HugeDimensions", Source::kHttp, "/files/huge.jpg", Outcome::kEither, false, false},
    // Announced over the 64 MiB bound: refused before the body is read. The
    // server then stops sending, so the refused body costs nothing to close.
    {"OverSizeAnnounced", Source::kHttp, "/bytes/70000000?truncate=100000", Outcome::kFails, false, false},
    // No length given: the bound stops the download after 64 MiB.
    {"OverSizeStreamed", Source::kHttp, "/bytes/70000000?nolength=1", Outcome::kFails, false, false},
    {"FtpWrongPassword", Source::kFtpWrongPassword, "", Outcome::kFails, false, false},
    {"FtpMissingFile", Source::kFtpMissingFile, "", Outcome::kFails, false, false},
};

enum class Action {
  kSingleGrab,
  kContinuous,
  kCloseDuringCycle,
  kFinalizeDuringCycle,
  kCallbackReenters,
  kResizeMidRun
};

// In the order of Action.
const char* const kActionNames[] = {"SingleGrab",          "Continuous",       "CloseDuringCycle",
                                    "FinalizeDuringCycle", "CallbackReenters", "ResizeMidRun"};

const char* ActionName(Action a) {
  return kActionNames[static_cast<int>(a)];
}

std::ostream& operator<<(std::ostream& out, Action a) {
  return out << ActionName(a);
}

// What the host's completion callback does when it re-enters the driver:
// reads the whole image, and then grabs again or closes its own port.
struct Reentry {
  std::mutex lock;
  bool chain = false;      // GUARDED_BY(lock)
  bool closeNext = false;  // GUARDED_BY(lock)
  bool closed = false;     // GUARDED_BY(lock)
  long long closeMs = -1;  // GUARDED_BY(lock)
  int failedRows = 0;      // GUARDED_BY(lock)
  Image image;             // GUARDED_BY(lock)
  int bytesPerPixel = 3;   // GUARDED_BY(lock)
} reentry;

void ORVELLA_CALL Reenter(int, int portNo) {
  int bytesPerPixel;
  {
    std::lock_guard<std::mutex> hold(reentry.lock);
    bytesPerPixel = reentry.bytesPerPixel;
  }
  Image image(size_t(kWidth) * kHeight * bytesPerPixel);
  int failed = 0;
  for (int row = 0; row < kHeight; ++row)
    if (!getCVLGrabRow(0, portNo, &image[size_t(row) * kWidth * bytesPerPixel], row, 0, kWidth - 1)) ++failed;
  bool chain, closeNext;
  {
    std::lock_guard<std::mutex> hold(reentry.lock);
    reentry.image = image;
    reentry.failedRows += failed;
    chain = reentry.chain;
    closeNext = reentry.closeNext;
  }
  Host::OnComplete(0, portNo);
  if (chain) doCVLGrab(0, portNo);
  if (closeNext) {
    auto start = Clock::now();
    closeCVLPort(0, portNo);
    std::lock_guard<std::mutex> hold(reentry.lock);
    reentry.closeMs = MsSince(start);
    reentry.closed = true;
  }
}

class FaultMatrixTest : public ::testing::TestWithParam<std::tuple<Fault, Action>> {
 protected:
  void SetUp() override {
    ORVELLA_REQUIRE_SERVERS();
    fault = std::get<0>(GetParam());
    action = std::get<1>(GetParam());
    cell = std::string(fault.name) + "-" + ActionName(action);
    if (fault.onlyOneCycle &&
        (action == Action::kContinuous || action == Action::kCallbackReenters || action == Action::kResizeMidRun))
      GTEST_SKIP() << "each cycle takes seconds (the 5 s stall limit); its failure takes the same "
                      "path as a fast one (DropMidBody), which runs this action";
    ASSERT_EQ(initialize(host.log.dir().c_str(), orvella::test::ApiLog::Callback), 1);
    {
      std::lock_guard<std::mutex> hold(reentry.lock);
      reentry.chain = reentry.closeNext = reentry.closed = false;
      reentry.closeMs = -1;
      reentry.failedRows = 0;
      reentry.image.clear();
      reentry.bytesPerPixel = gray() ? 1 : 3;
    }
    PrepareSource();
    std::map<std::string, std::string> settings = {{"ImageUrl", url},
                                                   {"width", std::to_string(kWidth)},
                                                   {"height", std::to_string(kHeight)},
                                                   {"Grayscale", gray() ? "1" : "0"},
                                                   {"RefreshRate", "50"},
                                                   {"RefreshRateUnit", "1"},
                                                   {"ConnectionTimeout", std::to_string(kConnectionTimeoutMs)},
                                                   {"LogLevel", "3"}};
    if (fault.source == Source::kSilentTls) settings["TlsTrust"] = "any";  // the healed port's certificate
    host.WriteSettings("Camera 1", settings);
  }

  void TearDown() override {
    // Whatever happened above: no text the driver gave the host shows the password.
    std::string text = host.log.Text();
    EXPECT_EQ(text.find(kPassword), std::string::npos) << "password in the log of " << cell;
    EXPECT_EQ(host.Callbacks(-2), 0) << "a callback naming no port";
  }

  bool gray() const { return action == Action::kResizeMidRun; }

  // ---- the camera's source: good picture, fault, next picture -------------

  // Sources that cannot come back from good to faulty start faulty: a
  // refused port, once listening, stays so, and a logged-in FTP session
  // (kept by the connection cache) outlives a password change on the server.
  bool GoodFirst() const { return fault.source == Source::kHttp || fault.source == Source::kFtpMissingFile; }

  void PrepareSource() {
    path = "/r/" + cell;
    std::string credentials = std::string("user:") + kPassword + "@";
    switch (fault.source) {
      case Source::kHttp:
        url = "http://" + credentials + "127.0.0.1:" + std::to_string(orvella::test::HttpPort()) + path;
        break;
      case Source::kRefused:
      case Source::kSilentTls: {
        const bool tls = fault.source == Source::kSilentTls;
        refusedPort = NumberAfter(ServerControl(tls ? "/_silentport" : "/_closedport"), "port=");
        ASSERT_GT(refusedPort, 0);
        url = (tls ? "https://" : "http://") + credentials + "127.0.0.1:" + std::to_string(refusedPort) + path;
        break;
      }
      case Source::kFtpMissingFile:
        ASSERT_EQ(ServerControl("/_ftpuser?name=late&password=" + std::string(kPassword)), "ok\n");
        url = orvella::test::FtpUrl(cell + ".jpg", "late", kPassword);
        break;
      case Source::kFtpWrongPassword:
        // No such login yet: the password is wrong until the server learns it.
        ASSERT_EQ(ServerControl("/_ftpuser?name=" + cell + "&password="), "ok\n");
        url = orvella::test::FtpUrl(kGoodPicture, cell, kPassword);
        break;
    }
  }

  void ServeGood() {
    if (fault.source == Source::kHttp) Route(path, std::string("/files/") + kGoodPicture);
    if (fault.source == Source::kFtpMissingFile)
      orvella::test::WriteDataFile(cell + ".jpg", orvella::test::ReadTestImage(kGoodPicture));
  }

  void ServeFault() {
    if (fault.source == Source::kHttp) Route(path, fault.target);
    if (fault.source == Source::kFtpMissingFile) std::remove(orvella::test::DataPath(cell + ".jpg").c_str());
  }

  void ServeNext() {
    switch (fault.source) {
      case Source::kHttp:
        Route(path, std::string("/files/") + kNextPicture);
        break;
      case Source::kRefused:
      case Source::kSilentTls:
        Route(path, std::string("/files/") + kNextPicture);
        ASSERT_EQ(ServerControl("/_openport?port=" + std::to_string(refusedPort)), "ok\n");
        refusedPort = 0;
        break;
      case Source::kFtpMissingFile:
        orvella::test::WriteDataFile(cell + ".jpg", orvella::test::ReadTestImage(kNextPicture));
        break;
      case Source::kFtpWrongPassword:
        ASSERT_EQ(ServerControl("/_ftpuser?name=" + cell + "&password=" + kPassword), "ok\n");
        break;
    }
  }

  // Downloads the camera has asked for so far (HTTP sources only).
  int Requests() const { return fault.source == Source::kHttp ? Hits(path) : -1; }

  // ---- host side -----------------------------------------------------------

  void Open() {
    ASSERT_EQ(host.Open("Camera 1", kPort), 1) << host.log.Text();
    ASSERT_EQ(host.width, kWidth);
    ASSERT_EQ(host.height, kHeight);
  }

  void Close() {
    auto start = Clock::now();
    closeCVLPort(0, kPort);
    EXPECT_LT(MsSince(start), 1100) << "closeCVLPort in " << cell;
  }

  Image ReadImage() {
    Image image = host.ReadImage(kPort);
    EXPECT_EQ(image.size(), size_t(kWidth) * kHeight * (gray() ? 1 : 3)) << "rows of the last image, " << cell;
    return image;
  }

  int Errors() const { return host.log.Count("ERR: ImageReceivingThread::ThreadMain: failed to receive image"); }
  int Resumptions() const { return host.log.Count("OK: ImageReceivingThread::ThreadMain: image receive resumed"); }

  // Grabs one good image and returns it, read row by row.
  Image GrabGood() {
    int before = host.Callbacks(kPort);
    EXPECT_EQ(doCVLGrab(0, kPort), 1);
    EXPECT_TRUE(host.WaitCallbacks(kPort, before + 1, 10s)) << host.log.Text();
    return ReadImage();
  }

  // Waits for the end of the first faulty cycle after `callbacks` callbacks:
  // an ERR line, or the callback of a download that was only slow. Sets
  // `failed`; false when neither came.
  bool AwaitFaultyCycle(int callbacks) {
    // 25 s: 70 MB through TSan's instrumented copies on a loaded machine took over 15 s.
    bool ended = WaitFor([&] { return Errors() >= 1 || host.Callbacks(kPort) > callbacks; }, 25s);
    EXPECT_TRUE(ended) << "neither ERR line nor callback for " << cell << "\n" << host.log.Text();
    failed = Errors() >= 1;
    if (fault.outcome == Outcome::kFails) {
      EXPECT_TRUE(failed) << "no ERR line for " << cell << "\n" << host.log.Text();
    }
    if (fault.outcome == Outcome::kDelivers) {
      EXPECT_FALSE(failed) << host.log.Text();
    }
    return ended;
  }

  // Lets the camera run `count` more cycles: waits until it has asked for
  // that many more downloads, or a short while where they cannot be counted
  // (or end before a request: a stream that still has hanging downloads of
  // its own refuses further ones at once).
  void WaitRequests(int from, int count) {
    if (from < 0) {
      std::this_thread::sleep_for(150ms);
      return;
    }
    WaitFor([&] { return Requests() >= from + count; }, 2s);
  }

  // After switching to the fault while cycles keep coming by themselves
  // (continuous mode, a callback that grabs again): waits until a download
  // asked for after the switch has begun, or the fault's first failure is
  // logged, so a good cycle that was under way has made its callback.
  void SettleAfterSwitch(int requests) {
    if (requests < 0) {
      std::this_thread::sleep_for(100ms);
      return;
    }
    WaitFor([&] { return Requests() > requests || Errors() >= 1; }, 2s);
  }

  // During a run of failures: no callback, and the last good image stays.
  void ExpectNothingDelivered(int callbacks, const Image& last) {
    EXPECT_EQ(host.Callbacks(kPort), callbacks) << "no callback for a failed cycle";
    EXPECT_EQ(ReadImage(), last) << "the last good image, unchanged";
  }

  // The next picture differs from the last good one (sources that start
  // faulty have no good image to compare with: the buffer's first content).
  void ExpectNewImage(const Image& image, const Image& last) const {
    if (GoodFirst()) {
      EXPECT_NE(image, last) << "the next picture arrived, " << cell;
    }
  }

  // After the fault: one ERR line and one OK line for a run of failures,
  // neither when the fault only slowed the camera down.
  void ExpectOneRunLogged() {
    if (failed) {
      EXPECT_EQ(Errors(), 1) << host.log.Text();
      EXPECT_TRUE(WaitFor([&] { return Resumptions() >= 1; }, 2s));
      EXPECT_EQ(Resumptions(), 1) << host.log.Text();
    } else {
      EXPECT_EQ(Errors(), 0) << host.log.Text();
      EXPECT_EQ(Resumptions(), 0) << host.log.Text();
    }
  }

  // The start of the single-grab actions: the camera open, its last good
  // image, the fault served and a grab asked for.
  struct FaultyGrab {
    Image last;
    int callbacks = 0, requests = 0;
  };
  void StartFaultyGrab(FaultyGrab& grab);

  void RunSingleGrab();
  void RunContinuous();
  void RunInterrupted(bool byFinalize);
  void RunCallbackReenters();
  void RunResizeMidRun();

  Host host;
  Fault fault{};
  Action action{};
  std::string cell, path, url;
  int refusedPort = 0;
  bool failed = false;  // the faulty cycles failed (rather than delivered slowly)
};

void FaultMatrixTest::StartFaultyGrab(FaultyGrab& grab) {
  Open();
  grab.last = GoodFirst() ? (ServeGood(), GrabGood()) : ReadImage();
  grab.callbacks = host.Callbacks(kPort);
  ServeFault();
  grab.requests = Requests();
  ASSERT_EQ(doCVLGrab(0, kPort), 1);
}

void FaultMatrixTest::RunSingleGrab() {
  FaultyGrab grab;
  ASSERT_NO_FATAL_FAILURE(StartFaultyGrab(grab));
  ASSERT_TRUE(AwaitFaultyCycle(grab.callbacks));
  if (failed) {
    if (!fault.slow) {  // a second failing cycle of the same run
      ASSERT_EQ(doCVLGrab(0, kPort), 1);
      WaitRequests(grab.requests, 2);
    }
    ExpectNothingDelivered(grab.callbacks, grab.last);
  }

  ServeNext();
  ExpectNewImage(GrabGood(), grab.last);
  ExpectOneRunLogged();
  Close();
}

void FaultMatrixTest::RunContinuous() {
  Open();
  if (GoodFirst()) ServeGood();
  ASSERT_EQ(setProperty(0, kPort, "continuous", 1), 1);
  if (GoodFirst()) {
    ASSERT_TRUE(host.WaitCallbacks(kPort, 2, 10s)) << host.log.Text();
  }
  Image last = ReadImage();  // every good image so far is the same picture

  ServeFault();
  SettleAfterSwitch(Requests());
  int callbacks = host.Callbacks(kPort);
  ASSERT_TRUE(AwaitFaultyCycle(callbacks));
  if (failed) {
    callbacks = host.Callbacks(kPort);
    if (!fault.slow) WaitRequests(Requests(), 4);
    ExpectNothingDelivered(callbacks, last);
  }

  ServeNext();
  callbacks = host.Callbacks(kPort);
  ASSERT_TRUE(host.WaitCallbacks(kPort, callbacks + 2, 10s)) << host.log.Text();
  ExpectNewImage(ReadImage(), last);
  ExpectOneRunLogged();
  ASSERT_EQ(setProperty(0, kPort, "continuous", 0), 1);
  Close();
}

void FaultMatrixTest::RunInterrupted(bool byFinalize) {
  FaultyGrab grab;
  ASSERT_NO_FATAL_FAILURE(StartFaultyGrab(grab));
  const Image& last = grab.last;
  const int callbacks = grab.callbacks;
  if (grab.requests >= 0) {
    ASSERT_TRUE(WaitFor([&] { return Requests() > grab.requests; }, 5s)) << "the cycle never started";
  } else {
    std::this_thread::sleep_for(20ms);
  }
  auto start = Clock::now();
  if (byFinalize) {
    EXPECT_EQ(finalize(), 1);
    EXPECT_LT(MsSince(start), 1100) << "finalize with a camera in its cycle";
    EXPECT_EQ(getCVLNoOfSupportedCameras(), 0);
  } else {
    closeCVLPort(0, kPort);
    EXPECT_LT(MsSince(start), 1100) << "closeCVLPort with the camera in its cycle";
  }
  // A download cut short by the close is no camera failure, and nothing of
  // that cycle reaches the host afterwards.
  int errors = Errors();
  int delivered = host.Callbacks(kPort);
  EXPECT_LE(errors, 1);
  EXPECT_LE(delivered, callbacks + 1);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(host.Callbacks(kPort), delivered) << "callback after the close";
  EXPECT_EQ(Errors(), errors) << "ERR line after the close";

  if (byFinalize) {
    ASSERT_EQ(initialize(host.log.dir().c_str(), orvella::test::ApiLog::Callback), 1);
    Open();
  } else {
    Open();
    // The buffers and the ring outlive the close: the last good image is
    // still there (unless the cycle managed to deliver before the close).
    if (delivered == callbacks) {
      EXPECT_EQ(ReadImage(), last) << "the last good image after reopening";
    }
  }
  ServeNext();
  ExpectNewImage(GrabGood(), last);
  EXPECT_EQ(Resumptions(), 0) << "a new worker starts without a failure run";
  Close();
}

void FaultMatrixTest::RunCallbackReenters() {
  Open();
  ASSERT_EQ(setCompleteCallback(0, kPort, Reenter), 1);
  Image last = ReadImage();
  if (GoodFirst()) {
    ServeGood();
    {
      std::lock_guard<std::mutex> hold(reentry.lock);
      reentry.chain = true;
    }
    ASSERT_EQ(doCVLGrab(0, kPort), 1);
    ASSERT_TRUE(host.WaitCallbacks(kPort, 3, 10s)) << "each callback grabs the next image\n" << host.log.Text();
    std::lock_guard<std::mutex> hold(reentry.lock);
    last = reentry.image;
  }

  // The chain runs into the fault. A failing cycle ends it (no callback, so
  // no further grab); a slow one delivers and the chain goes on.
  ServeFault();
  if (GoodFirst()) {
    SettleAfterSwitch(Requests());
  } else {
    ASSERT_EQ(doCVLGrab(0, kPort), 1);
  }
  int callbacks = host.Callbacks(kPort);
  ASSERT_TRUE(AwaitFaultyCycle(callbacks));
  if (failed) {
    callbacks = host.Callbacks(kPort);
    std::this_thread::sleep_for(100ms);
    ExpectNothingDelivered(callbacks, last);
  }
  {
    std::lock_guard<std::mutex> hold(reentry.lock);
    reentry.chain = false;
  }

  ServeNext();
  std::this_thread::sleep_for(fault.slow || !failed ? 600ms : 50ms);  // a chained grab may still be under way
  callbacks = host.Callbacks(kPort);
  ASSERT_EQ(doCVLGrab(0, kPort), 1);
  ASSERT_TRUE(host.WaitCallbacks(kPort, callbacks + 1, 10s)) << host.log.Text();
  ExpectOneRunLogged();
  {
    std::lock_guard<std::mutex> hold(reentry.lock);
    ExpectNewImage(reentry.image, last);
    EXPECT_EQ(reentry.failedRows, 0) << "every row read inside the callback";
    reentry.closeNext = true;
  }

  // Last: the callback closes its own port.
  ASSERT_EQ(doCVLGrab(0, kPort), 1);
  ASSERT_TRUE(WaitFor(
      [&] {
        std::lock_guard<std::mutex> hold(reentry.lock);
        return reentry.closed;
      },
      10s))
      << host.log.Text();
  {
    std::lock_guard<std::mutex> hold(reentry.lock);
    EXPECT_LT(reentry.closeMs, 1100) << "closeCVLPort inside the callback";
  }
  int value = 0;
  EXPECT_EQ(getProperty(0, kPort, "width", &value), 0) << "the port is unbound";
  Open();  // the camera opens again normally
  Close();
}

void FaultMatrixTest::RunResizeMidRun() {
  Open();
  Image last = GoodFirst() ? (ServeGood(), GrabGood()) : ReadImage();
  int callbacks = host.Callbacks(kPort);

  // Sizes beyond the buffers made at open, and smaller ones, while faulty.
  ServeFault();
  ASSERT_EQ(setProperty(0, kPort, "width", 1600), 1);
  ASSERT_EQ(setProperty(0, kPort, "height", 1200), 1);
  ASSERT_EQ(doCVLGrab(0, kPort), 1);
  ASSERT_TRUE(AwaitFaultyCycle(callbacks));
  if (failed) {
    if (!fault.slow) {
      // Smaller than the buffer, but still beyond what a cut picture holds.
      int requests = Requests();
      ASSERT_EQ(setProperty(0, kPort, "width", 300), 1);
      ASSERT_EQ(setProperty(0, kPort, "height", 230), 1);
      ASSERT_EQ(doCVLGrab(0, kPort), 1);
      WaitRequests(requests, 1);
      std::this_thread::sleep_for(50ms);
    }
    ExpectNothingDelivered(callbacks, last);
  }

  ServeNext();
  ASSERT_EQ(setProperty(0, kPort, "width", 1600), 1);
  ASSERT_EQ(setProperty(0, kPort, "height", 1200), 1);
  Image next = GrabGood();
  ExpectNewImage(next, last);
  ExpectOneRunLogged();
  // Negative sizes read as huge ones: the buffer's own geometry bounds the copy.
  ASSERT_EQ(setProperty(0, kPort, "width", -5), 1);
  ASSERT_EQ(setProperty(0, kPort, "height", -7), 1);
  EXPECT_EQ(GrabGood(), next);
  Close();
}

TEST_P(FaultMatrixTest, NoCrashNoHangNoLoss) {
  switch (action) {
    case Action::kSingleGrab:
      return RunSingleGrab();
    case Action::kContinuous:
      return RunContinuous();
    case Action::kCloseDuringCycle:
      return RunInterrupted(false);
    case Action::kFinalizeDuringCycle:
      return RunInterrupted(true);
    case Action::kCallbackReenters:
      return RunCallbackReenters();
    case Action::kResizeMidRun:
      return RunResizeMidRun();
  }
}

INSTANTIATE_TEST_SUITE_P(EveryFaultAndAction, FaultMatrixTest,
                         ::testing::Combine(::testing::ValuesIn(kFaults),
                                            ::testing::Values(Action::kSingleGrab, Action::kContinuous,
                                                              Action::kCloseDuringCycle, Action::kFinalizeDuringCycle,
                                                              Action::kCallbackReenters, Action::kResizeMidRun)),
                         [](const ::testing::TestParamInfo<std::tuple<Fault, Action>>& info) {
                           return std::string(std::get<0>(info.param).name) + "_" + ActionName(std::get<1>(info.param));
                         });

}  // namespace

namespace {

// A server that announces a body over the bound and keeps sending it: the
// cycle fails at once for its size, not after the stall limit while the
// refused body is read to its end.
TEST(FaultRefusalTest, OversizedBodyFailsForItsSizeWhileTheServerKeepsSending) {
  ORVELLA_REQUIRE_SERVERS();
  Host host;
  ASSERT_EQ(initialize(host.log.dir().c_str(), orvella::test::ApiLog::Callback), 1);
  const std::string path = "/r/endless";
  Route(path, "/bytes/2000000000");
  host.WriteSettings("Camera 1", {{"ImageUrl", orvella::test::HttpUrl(path)}, {"ConnectionTimeout", "400"}});
  ASSERT_EQ(host.Open("Camera 1", kPort), 1);
  ASSERT_EQ(doCVLGrab(0, kPort), 1);
  bool logged = WaitFor([&] { return host.log.Contains("ERR: "); }, 15s);
  ServerControl("/_cut");  // whoever still reads the refused body stops now
  ASSERT_TRUE(logged) << host.log.Text();
  EXPECT_TRUE(host.log.Contains("reason: FTPStream::ReadFile: response larger than 64 MiB")) << host.log.Text();

  Route(path, std::string("/files/") + kGoodPicture);
  ASSERT_EQ(doCVLGrab(0, kPort), 1);
  EXPECT_TRUE(host.WaitCallbacks(kPort, 1, 10s)) << host.log.Text();
  closeCVLPort(0, kPort);
}

}  // namespace

namespace {

// The reason of the newest ERR line, "" when there is none.
std::string LastReason(const Host& host) {
  std::string reason;
  for (const std::string& line : host.log.Lines()) {
    const size_t at = line.find(", reason: ");
    if (line.find("ERR: ") != std::string::npos && at != std::string::npos) reason = line.substr(at + 10);
  }
  while (!reason.empty() && (reason.back() == '\t' || reason.back() == '\n')) reason.pop_back();
  return reason;
}

// A 200 answer that is no picture (a login or error page) names what came
// instead; the bytes decide, never the Content-Type. The status is what the
// platform's decoder gives for data it cannot read (Wine's GDI+: 1).
TEST(FaultRefusalTest, AnAnswerThatIsNoPictureSaysWhatCameInstead) {
  ORVELLA_REQUIRE_SERVERS();
  Host host;
  ASSERT_EQ(initialize(host.log.dir().c_str(), orvella::test::ApiLog::Callback), 1);
  const std::string page = orvella::test::ReadTestImage("text.html");
  const std::string pageSize = std::to_string(page.size()) + " bytes";
  const std::string path = "/r/no-picture";
  const std::string http = orvella::test::HttpUrl(path);
  const struct {
    const char* name;
    std::string url, target;
    const char* detail;  // "" for a picture delivered
  } cases[] = {
      {"html", http, "/files/text.html?type=text/html;%20charset=utf-8",
       "the camera answered text/html; charset=utf-8, %s, not a picture"},
      {"text", http, "/status/200", "the camera answered text/plain, 11 bytes, not a picture"},
      {"empty", http, "/empty", "the camera answered application/octet-stream, 0 bytes, not a picture"},
      {"no type", http, "/files/text.html?type=none", "the camera answered with no content type, %s, not a picture"},
      {"ftp", orvella::test::FtpUrl("text.html"), "", "the camera answered with no content type, %s, not a picture"},
      {"picture sent as html", http, std::string("/files/") + kGoodPicture + "?type=text/html", ""},
      {"truncated jpeg", http, "/files/truncated.jpg", nullptr},  // today's reason
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.target.empty()) Route(path, c.target);
    host.WriteSettings("Camera 1", {{"ImageUrl", c.url}, {"ConnectionTimeout", "2000"}});
    ASSERT_EQ(host.Open("Camera 1", kPort), 1);
    const int errors = host.log.Count("ERR: "), callbacks = host.Callbacks(kPort);
    ASSERT_EQ(doCVLGrab(0, kPort), 1);
    ASSERT_TRUE(WaitFor([&] { return host.log.Count("ERR: ") > errors || host.Callbacks(kPort) > callbacks; }, 10s))
        << host.log.Text();
    const std::string reason = host.log.Count("ERR: ") > errors ? LastReason(host) : "";
    closeCVLPort(0, kPort);
    if (c.detail && !*c.detail) {
      EXPECT_EQ(reason, "") << "a picture is decoded whatever its Content-Type says";
      continue;
    }
#ifdef _WIN32
    const std::string status = "GDI Error " + std::to_string(std::atoi(reason.c_str() + 10));
#else
    const std::string status = "GDI Error 2";
#endif
    if (!c.detail) {
      EXPECT_EQ(reason, "GDI Error 2");
      continue;
    }
    std::string detail = c.detail;
    const size_t size = detail.find("%s");
    if (size != std::string::npos) detail.replace(size, 2, pageSize);
    EXPECT_EQ(reason, status + " (" + detail + ")");
  }
}

}  // namespace
