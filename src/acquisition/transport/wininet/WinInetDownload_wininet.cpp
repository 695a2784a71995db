// Downloads on WinInet, used synchronously (the session is opened with flags 0).
//
// Why a helper thread: a blocked synchronous WinInet call is not interrupted
// by closing its handles under Wine, and InternetOpenUrlA ignores the
// session's receive time-out there, so a server that accepts and never
// answers would hold the camera's worker forever. The WinInet calls of the
// camera's downloads therefore run on a helper thread while the worker
// watches the clock: it gives up when the answer does not begin within the
// connection time-out, when the transfer stalls, and at once on Abort.
//
// The helper lives as long as the stream and takes one download after
// another: starting a thread per picture cost more under Wine than the
// download itself. A download given up while the helper is inside a WinInet
// call leaves that helper behind: it owns everything it touches (its Helper
// and the WinInetTransfer, shared with the worker, a call's body included),
// finishes the call when WinInet lets it and ends, and the next download
// starts a new helper. Its own calls are bounded by receive time-outs set on
// its request handle as WinInet creates it.
#include <objbase.h>
#include <windows.h>
#include <wininet.h>

#include <chrono>
#include <stdexcept>
#include <string>

#include "acquisition/transport/Download.h"
#include "acquisition/transport/TransferClock.h"
#include "acquisition/transport/wininet/HelperThread.h"
#include "acquisition/transport/wininet/WinInetTransfer.h"
#include "driver/Errors.h"
#include "driver/Mutex.h"
#include "driver/Platform.h"
#include "driver/WinLock.h"

namespace orvella {

namespace {
// Helper threads of one stream still running (the stream's own and those
// left behind); a download that needs a new one fails at once rather than
// add one beyond this.
constexpr int kMaxHelpers = 3;

}  // namespace

struct Download::Impl {
  ~Impl();

  mutable Mutex lock;
  HINTERNET handle ORVELLA_GUARDED_BY(lock) = nullptr;
  bool open ORVELLA_GUARDED_BY(lock) = false;                         // between OpenSession and CloseSession
  std::shared_ptr<WinInetTransfer> current ORVELLA_GUARDED_BY(lock);  // the download in progress, for Abort
  std::atomic<bool> aborted{false};
  std::shared_ptr<std::atomic<int>> helpers = std::make_shared<std::atomic<int>>(0);
  // ReadFile's (the worker's): the helper, and the last download it took.
  std::shared_ptr<HelperThread> helper;
  std::shared_ptr<WinInetTransfer> last;
  std::unique_ptr<WinInetOpenAnswer> handed;  // the last picture stream's
  const std::shared_ptr<WinInetLogin> login = std::make_shared<WinInetLogin>();
  long status = 0;  // the last body's

  enum class Stop { Done, Aborted, TimedOut };

  // The session for the next download: a new one when the last one went
  // with a picture stream. Null when closed or aborted.
  HINTERNET Handle() ORVELLA_EXCLUDES(lock) {
    ScopedLock<Mutex> hold(lock);
    if (!handle && open && !aborted) handle = OpenInternetSession();
    return handle;
  }

  // The session and the stream's request go to the stream's reader.
  std::unique_ptr<WinInetOpenAnswer> HandOver(const std::shared_ptr<WinInetTransfer>& t) ORVELLA_EXCLUDES(lock);

  void CloseHandle() ORVELLA_REQUIRES(lock) {
    if (handle) InternetCloseHandle(handle);
    handle = nullptr;
  }

  void Track(std::shared_ptr<WinInetTransfer> t) ORVELLA_EXCLUDES(lock) {
    ScopedLock<Mutex> hold(lock);
    current = std::move(t);
  }

  // The helper for the next download: the stream's own, unless it is still
  // closing the last one after 100 ms (reading a refused body to the end),
  // in which case that one is left to it.
  HelperThread& ReadyHelper();
  // Whether the helper has closed the last download's URL handle, waiting
  // up to 100 ms for it.
  bool HelperIdle();
  void DropHelper(bool idle);

  // One request on the helper while the worker watches it; raises on every
  // failure. True for a picture stream (then in `handed`).
  bool Run(const char* url, const TransferLimits& limits, const TlsTrust& trust, Body& body,
           std::unique_ptr<WinInetLogin::PostData> post);

  // The worker's watch over the helper: until the download finishes, Abort,
  // or the clock's verdict; on giving up it tells the helper to stop.
  Stop Watch(WinInetTransfer& t) ORVELLA_EXCLUDES(t.lock) {
    Stop stop = Stop::Done;
    ScopedLock<WinLock> hold(t.lock);
    while (!t.finished) {
      if (aborted) {
        stop = Stop::Aborted;
        break;
      }
      if (t.clock.Check() != TransferClock::Verdict::KeepGoing) {
        stop = Stop::TimedOut;
        break;
      }
      t.lock.WaitUntil(t.changed, std::chrono::steady_clock::now() + t.clock.NextWait());
    }
    if (stop != Stop::Done) t.cancelled = true;
    return stop;
  }
};

Download::Impl::~Impl() {
  if (helper) DropHelper(HelperIdle());
}

HelperThread& Download::Impl::ReadyHelper() {
  if (helper && !HelperIdle()) DropHelper(false);
  if (!helper) {
    if (*helpers >= kMaxHelpers) throw std::runtime_error("FTPStream::ReadFile: earlier downloads are still hanging");
    helper = HelperThread::Start(helpers);
  }
  return *helper;
}

bool Download::Impl::HelperIdle() {
  if (!last) return true;
  WinInetTransfer& t = *last;
  ScopedLock<WinLock> hold(t.lock);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
  while (!t.closed && std::chrono::steady_clock::now() < deadline) t.lock.WaitUntil(t.changed, deadline);
  return t.closed;
}

void Download::Impl::DropHelper(bool idle) {
  helper->Stop(idle);
  helper.reset();
  last.reset();
}

std::unique_ptr<WinInetOpenAnswer> Download::Impl::HandOver(const std::shared_ptr<WinInetTransfer>& t) {
  auto answer = std::make_unique<WinInetOpenAnswer>();
  answer->context = t;
  answer->login = login;
  answer->status = t->status;
  answer->contentType = t->contentType;
  answer->request = std::move(t->request);
  ScopedLock<Mutex> hold(lock);
  answer->session.reset(handle);  // the next download opens a session of its own
  handle = nullptr;
  return answer;
}

Download::Download() : impl(std::make_unique<Impl>()) {}

Download::~Download() {
  CloseSession();
}

bool Download::IsSessionOpen() const {
  ScopedLock<Mutex> hold(impl->lock);
  return impl->open && !impl->aborted;
}

void Download::OpenSession() {
  HINTERNET fresh = OpenInternetSession();
  ScopedLock<Mutex> hold(impl->lock);
  impl->CloseHandle();
  impl->handle = fresh;
  impl->open = true;
  impl->aborted = false;
}

void Download::CloseSession() {
  ScopedLock<Mutex> hold(impl->lock);
  impl->CloseHandle();
  impl->open = false;
  impl->aborted = false;
}

void Download::Abort() {
  impl->aborted = true;
  std::shared_ptr<WinInetTransfer> current;
  {
    ScopedLock<Mutex> hold(impl->lock);
    // Releases the session and its connections; Windows also cancels the
    // helper's blocked call at once.
    impl->CloseHandle();
    current = impl->current;
  }
  if (current) {
    ScopedLock<WinLock> hold(current->lock);
    WakeAllConditionVariable(&current->changed);
  }
}

bool Download::Impl::Run(const char* url, const TransferLimits& limits, const TlsTrust& trust, Body& body,
                         std::unique_ptr<WinInetLogin::PostData> post) {
  handed.reset();
  if (aborted) throw std::runtime_error(kAbortedText);
  const HINTERNET session = Handle();
  if (aborted) throw std::runtime_error(kAbortedText);
  if (!session) throw std::runtime_error(kNoSessionText);
  HelperThread& ready = ReadyHelper();

  auto t = std::make_shared<WinInetTransfer>(session, url, limits, SetTimeouts(session, limits));
  t->buffer = std::move(body.buffer);
  login->SetTrust(trust);
  t->login = login;
  t->post = std::move(post);
  last = t;
  Track(t);
  ready.Post([t] { t->Run(); });
  const Stop stop = Watch(*t);
  Track(nullptr);
  if (stop == Stop::Done) {
    body.buffer = std::move(t->buffer);  // ours again
    std::exception_ptr error;
    int fill = 0;
    {
      ScopedLock<WinLock> hold(t->lock);
      error = t->error;
      fill = t->fill;
    }
    if (error) std::rethrow_exception(error);
    if (t->stream) {
      handed = HandOver(t);
      return true;
    }
    body.size = static_cast<uint32_t>(fill);
    body.type = t->contentType;
    status = t->status;
    return false;
  }

  // The helper may be stuck in a WinInet call: it is left behind, and keeps
  // the old buffer, and with it the previous content.
  DropHelper(false);
  body.buffer = ReceiveBuffer();
  if (stop == Stop::Aborted) throw std::runtime_error(kAbortedText);
  ScopedLock<WinLock> hold(t->lock);
  throw Win32Exception(ERROR_INTERNET_TIMEOUT, Win32Exception::Kind::Internet, t->clock.Reason());
}

Download::Got Download::Fetch(const char* url, const TransferLimits& limits, const TlsTrust& trust, Body& body) {
  return impl->Run(url, limits, trust, body, nullptr) ? Got::kPictureStream : Got::kBody;
}

long Download::Post(const char* url, const std::string& contentType, const std::string& body,
                    const TransferLimits& limits, const TlsTrust& trust, Body& into) {
  RefusePost(url, contentType);
  auto post = std::make_unique<WinInetLogin::PostData>();
  post->contentType = contentType;
  post->body = body;
  impl->Run(url, limits, trust, into, std::move(post));
  return impl->status;
}

std::unique_ptr<OpenAnswer> Download::TakeAnswer() {
  return std::move(impl->handed);
}

}  // namespace orvella
