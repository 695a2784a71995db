#include "acquisition/source/rtsp/RtspReader.h"

#include <algorithm>
#include <condition_variable>
#include <limits>
#include <stdexcept>
#include <vector>

#include "acquisition/ImageRegion.h"
#include "acquisition/decode/Convert.h"
#include "acquisition/decode/FormatDecoder.h"
#include "acquisition/source/rtsp/RtspLoader.h"
#include "acquisition/source/rtsp/RtspResolver.h"
#include "acquisition/transport/HttpLogin.h"
#include "acquisition/transport/Url.h"
#include "driver/Mutex.h"
#include "driver/Platform.h"
#include "driver/Text.h"

namespace orvella {

namespace {

using Clock = RtspReader::Clock;

// How long a failing stream's TEARDOWN may take before the connection is
// simply dropped.
constexpr int kTeardownMs = 500;
// How often a wait looks at a caller's stop flag, which nobody signals to us.
constexpr auto kStopPoll = std::chrono::milliseconds(20);

int64_t Ticks(Clock::time_point t) {
  return t.time_since_epoch().count();
}

}  // namespace

struct RtspReader::Impl {
  const OrvellaRtspApi* api = nullptr;
  std::string url;
  UrlLogin login;  // of `url`
  RtspLimits limits;
  TlsTrust trust;
  // The decoding thread's own: a redirect or certificate it refused, and
  // where it connects.
  std::string redirectRefusal;
  std::string certificateRefusal;
  std::string connectUrl;

  // Read by FFmpeg's interrupt callback on the decoding thread.
  std::atomic<bool> stop{false};
  std::atomic<int64_t> deadline{std::numeric_limits<int64_t>::max()};
  std::atomic<bool> ended{false};  // Run has returned

  Mutex lock;
  std::condition_variable changed;
  std::shared_ptr<OrvellaRtspPicture> newest ORVELLA_GUARDED_BY(lock);
  RtspPicture newestInfo ORVELLA_GUARDED_BY(lock);
  bool failed ORVELLA_GUARDED_BY(lock) = false;
  std::string failure ORVELLA_GUARDED_BY(lock);
  bool loginRefused ORVELLA_GUARDED_BY(lock) = false;

  // The conversion's cached library state and the gray path's rows.
  Mutex convertLock;
  void* convertCache ORVELLA_GUARDED_BY(convertLock) = nullptr;
  std::vector<unsigned char> bgrRows ORVELLA_GUARDED_BY(convertLock);

  ~Impl() {
    ScopedLock<Mutex> guard(convertLock);
    if (convertCache) api->freeCache(convertCache);
  }

  static int Interrupt(void* opaque) {
    auto* self = static_cast<Impl*>(opaque);
    return self->stop.load() || Ticks(Clock::now()) > self->deadline.load();
  }

  // A login goes only to its own origin (the address it was looked up to
  // is the same camera).
  static int Redirect(void* opaque, const char* target) {
    auto* self = static_cast<Impl*>(opaque);
    if (!self->login.hasCredentials || SameOrigin(self->login, target) ||
        SameOrigin(SplitLogin(self->connectUrl), target))
      return 0;
    self->redirectRefusal = RedirectRefusalText(target);
    return 1;
  }

  // The camera's TlsTrust, as for https: a pin names the key; otherwise the
  // system's verdict stands. A refusal names the key the camera showed.
  static int Certificate(void* opaque, const unsigned char* der, size_t size, const char* systemRefusal) {
    auto* self = static_cast<Impl*>(opaque);
    const std::string pin = KeyPinOfCertificate(der, size);
    if (self->trust.mode == TlsTrust::Mode::Pin) {
      if (self->trust.Accepts(pin)) return 0;
      self->certificateRefusal = TlsRefusalText("the camera's key is not the one TlsTrust names", pin);
      return 1;
    }
    if (!systemRefusal || !*systemRefusal) return 0;
    self->certificateRefusal = TlsRefusalText(systemRefusal, pin);
    return 1;
  }

  void SetDeadline(int ms) { deadline = Ticks(Clock::now() + std::chrono::milliseconds(ms)); }
  bool DeadlinePassed() const { return Ticks(Clock::now()) > deadline.load(); }

  void Publish(OrvellaRtspPicture* picture, int width, int height) ORVELLA_EXCLUDES(lock) {
    const OrvellaRtspApi* module = api;
    std::shared_ptr<OrvellaRtspPicture> fresh(picture, [module](OrvellaRtspPicture* p) { module->releasePicture(p); });
    std::shared_ptr<OrvellaRtspPicture> old;
    {
      MutexLock guard(lock);
      old = std::move(newest);
      newest = std::move(fresh);
      newestInfo = RtspPicture{newestInfo.sequence + 1, Clock::now(), width, height};
      failed = false;
      failure.clear();
      loginRefused = false;
    }
    changed.notify_all();
  }  // the older picture goes here, outside the lock

  void Fail(const std::string& reason, bool refusedLogin) ORVELLA_EXCLUDES(lock) {
    {
      MutexLock guard(lock);
      failed = true;
      failure = RedactSecrets(reason, url);
      loginRefused = refusedLogin;
    }
    changed.notify_all();
  }

  // Sleeps until `until` or until the client closes.
  void Pause(Clock::time_point until) ORVELLA_EXCLUDES(lock) {
    MutexLock guard(lock);
    while (!stop && Clock::now() < until) guard.WaitUntil(changed, until);
  }

  std::string Session(bool& gotPictures, bool& refusedLogin);
  void Run();
};

// One connection: open, then pictures until the stream fails or the client
// closes. The reason of the failure.
std::string RtspReader::Impl::Session(bool& gotPictures, bool& refusedLogin) {
  const std::string noAnswer = "no answer from the camera within " + std::to_string(limits.connectMs) + " ms";
  SetDeadline(limits.connectMs);
  std::string target;
  try {
    target = ResolveUrlHost(url, [this] { return Interrupt(this) != 0; });
  } catch (const std::exception& e) {
    return e.what();
  }
  if (target.empty()) return noAnswer;
  connectUrl = target;
  redirectRefusal.clear();
  certificateRefusal.clear();
  OrvellaRtspOpenCall open{};
  open.structSize = sizeof open;
  open.url = target.c_str();
  open.tcp = 1;
  open.interrupt = &Impl::Interrupt;
  open.redirect = &Impl::Redirect;
  open.opaque = this;
  if (trust.mode != TlsTrust::Mode::Any) open.certificate = &Impl::Certificate;
  open.checkSystem = trust.mode == TlsTrust::Mode::System;
  open.pictureMemory = decode::kMaxPictureMemory;
  if (api->open(&open) != 1) {
    if (!redirectRefusal.empty()) return redirectRefusal;
    if (!certificateRefusal.empty()) return certificateRefusal;
    refusedLogin = login.hasCredentials && (open.status == 401 || open.status == 403);
    return DeadlinePassed() ? noAnswer : std::string(open.error);
  }
  std::string reason;
  for (;;) {
    OrvellaRtspReadCall read{};
    read.structSize = sizeof read;
    read.session = open.session;
    SetDeadline(limits.stallMs);
    if (api->read(&read) != 1) {
      reason = DeadlinePassed() ? "no picture from the camera for " + std::to_string(limits.stallMs) + " ms"
                                : std::string(read.error);
      break;
    }
    gotPictures = true;
    Publish(read.picture, read.width, read.height);
  }
  SetDeadline(kTeardownMs);
  api->close(open.session);
  return reason;
}

void RtspReader::Impl::Run() {
  std::chrono::seconds retry = kFirstRetry;
  while (!stop) {
    bool gotPictures = false, refusedLogin = false;
    const std::string reason = Session(gotPictures, refusedLogin);
    if (stop) break;
    if (gotPictures) retry = kFirstRetry;
    Fail(reason.empty() ? "the stream failed" : reason, refusedLogin);
    // Cameras lock an account out after a few failed logins.
    Pause(Clock::now() + (refusedLogin ? std::max(retry, std::chrono::seconds(kLoginRetry)) : retry));
    retry = std::min(retry * 2, std::chrono::seconds(kLastRetry));
  }
}

RtspReader::RtspReader() = default;

RtspReader::~RtspReader() {
  Close();
}

void RtspReader::Open(const std::string& url, const RtspLimits& limits, const TlsTrust& trust) {
  Close();
  auto fresh = std::make_shared<Impl>();
  fresh->api = &LoadRtspModule();
  fresh->url = url;
  fresh->login = SplitLogin(url);
  fresh->limits = limits;
  fresh->trust = trust;
  platform::PinLibrary();  // a decoding thread left running must never meet unloaded code
  thread = std::thread([fresh] {
    fresh->Run();
    fresh->ended = true;
  });
  state = std::move(fresh);
}

void RtspReader::Close() {
  if (!state) return;
  state->stop = true;
  {
    MutexLock guard(state->lock);  // a waiter between its test and its wait sees the flag
  }
  state->changed.notify_all();
  // The decoding thread may be inside one picture for seconds: then it ends
  // on its own and frees what it holds (the module is never unloaded).
  // Otherwise it is joined, so no thread of ours outlives a closed client.
  // Polled: a timed wait on a condition variable that a thread notifies as
  // it ends was seen to hang for good under mingw's winpthreads.
  const Clock::time_point until = Clock::now() + kCloseWait;
  while (!state->ended && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (state->ended) {
    thread.join();
  } else {
    thread.detach();
  }
  state.reset();
}

RtspWait RtspReader::WaitPicture(const RtspPicture& after, Clock::time_point deadline, const std::atomic<bool>* stop) {
  if (!state) return RtspWait::kStopped;
  Impl& s = *state;
  MutexLock guard(s.lock);
  for (;;) {
    if (s.stop || (stop && *stop)) return RtspWait::kStopped;
    if (s.newest && s.newestInfo.sequence > after.sequence && s.newestInfo.decodedAt > after.decodedAt)
      return RtspWait::kPicture;
    if (s.failed) return RtspWait::kFailed;
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return RtspWait::kTimedOut;
    guard.WaitUntil(s.changed, stop ? std::min(deadline, now + kStopPoll) : deadline);
  }
}

std::string RtspReader::Failure() const {
  if (!state) return "";
  MutexLock guard(state->lock);
  return state->failed ? state->failure : std::string();
}

bool RtspReader::LoginRefused() const {
  if (!state) return false;
  MutexLock guard(state->lock);
  return state->failed && state->loginRefused;
}

RtspPicture RtspReader::CopyNewest(const PixelTarget& target, int width, int height, bool colour) {
  if (!state) throw std::runtime_error("the RTSP stream is not open");
  Impl& s = *state;
  std::shared_ptr<OrvellaRtspPicture> picture;
  RtspPicture info;
  {
    MutexLock guard(s.lock);
    picture = s.newest;
    info = s.newestInfo;
  }
  if (!picture) throw std::runtime_error("no picture from the camera yet");
  const ImageRegion region = FitRegion(width, height, uint32_t(info.width), uint32_t(info.height), target, colour);
  if (region.width == 0 || region.height == 0) return info;
  ScopedLock<Mutex> guard(s.convertLock);
  OrvellaRtspConvertCall call{};
  call.structSize = sizeof call;
  call.picture = picture.get();
  call.width = int(region.width);
  call.height = int(region.height);
  call.cache = &s.convertCache;
  const size_t bgrRow = size_t(region.width) * 3;
  if (colour) {
    call.data = region.first;
    call.stride = region.stride;
  } else {
    s.bgrRows.resize(bgrRow * region.height);
    call.data = s.bgrRows.data();
    call.stride = int(bgrRow);
  }
  if (s.api->convert(&call) != 1)
    throw std::runtime_error(call.error[0] ? call.error : "the picture cannot be converted");
  if (!colour) {
    for (uint32_t r = 0; r < region.height; ++r)
      decode::GrayFromBgr(s.bgrRows.data() + r * bgrRow, region.Row(r), region.width);
  }
  return info;
}

}  // namespace orvella
