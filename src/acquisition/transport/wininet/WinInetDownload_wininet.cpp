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
// and the Transfer, shared with the worker), finishes the call when WinInet
// lets it and ends, and the next download starts a new helper. Its own calls
// are bounded by receive time-outs set on its request handle as WinInet
// creates it.
#include <objbase.h>
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "acquisition/transport/Download.h"
#include "acquisition/transport/HttpAnswer.h"
#include "acquisition/transport/TransferClock.h"
#include "acquisition/transport/wininet/HelperThread.h"
#include "acquisition/transport/wininet/WinInetSession.h"
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

// One download, shared by the worker waiting in ReadFile and the helper
// making the WinInet calls.
struct Transfer final : RequestContext {
  Transfer(HINTERNET session, const char* url, const TransferLimits& limits, DWORD backstopMs)
      : RequestContext(backstopMs), session(session), url(url) {
    clock.Start(limits);
  }

  const HINTERNET session;
  const std::string url;

  WinLock lock;  // hands over on every picture: Windows' own (driver/WinLock.h)
  CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
  TransferClock clock ORVELLA_GUARDED_BY(lock);  // fed by the helper, asked by the worker
  bool finished ORVELLA_GUARDED_BY(lock) = false;
  bool closed ORVELLA_GUARDED_BY(lock) = false;     // the helper has closed its URL handle
  bool cancelled ORVELLA_GUARDED_BY(lock) = false;  // the worker gave up
  std::exception_ptr error ORVELLA_GUARDED_BY(lock);
  int fill ORVELLA_GUARDED_BY(lock) = 0;

  // The helper's until `finished`, then the worker's again.
  ReceiveBuffer buffer;
  std::string contentType;              // the final answer's, "" for none
  long status = 0;                      // the final answer's, 0 for ftp
  bool stream = false;                  // a picture stream: `request` stays open
  InternetHandle request;               // its request, handed over
  std::shared_ptr<WinInetLogin> login;  // the session's, set before the helper starts

  // No wake-up: the worker asks the clock at its own deadlines, and a wake-up
  // per chunk cost more than the chunk under Wine.
  void Report(int bytes) ORVELLA_EXCLUDES(lock) {
    ScopedLock<WinLock> hold(lock);
    clock.Progress(bytes);
    fill = bytes;
  }

  // A request goes out (status callback): its answer is awaited afresh.
  void Sent() override ORVELLA_EXCLUDES(lock) {
    ScopedLock<WinLock> hold(lock);
    clock.RequestSent();
  }

  bool Cancelled() ORVELLA_EXCLUDES(lock) {
    ScopedLock<WinLock> hold(lock);
    return cancelled;
  }
};

long LeadingNumber(const char* text) {
  long value = 0;
  for (; *text >= '0' && *text <= '9' && value < 100000; ++text) value = value * 10 + (*text - '0');
  return value;
}

// Status check of an opened URL: raises for a refused HTTP answer or an
// announced body over the limit. Returns the announced length, or -1 (none
// given, or ftp, which has no status); `status` and `contentType`, the answer's.
long long CheckAnswer(HINTERNET url, long& status, std::string& contentType) {
  char text[32] = "";
  DWORD length = sizeof text;
  if (!HttpQueryInfoA(url, HTTP_QUERY_STATUS_CODE, text, &length, nullptr)) {
    DWORD error = GetLastError();
    if (error != ERROR_INTERNET_INCORRECT_HANDLE_TYPE) throw Win32Exception(error);  // 12018: ftp, no status
    return -1;
  }
  status = LeadingNumber(text);
  if (status < 200 || status > 299) WinInetLogin::Refuse(url);
  contentType = HeaderText(url, HTTP_QUERY_CONTENT_TYPE);
  long long announced = -1;
  char size[32] = "";
  DWORD sizeLength = sizeof size;
  if (HttpQueryInfoA(url, HTTP_QUERY_CONTENT_LENGTH, size, &sizeLength, nullptr))
    announced = std::strtoll(size, nullptr, 10);
  // An announced size over the limit fails before anything is read.
  if (announced > kMaxBodyBytes) throw std::runtime_error(kTooLargeText);
  return announced;
}
}  // namespace

struct Download::Impl {
  ~Impl();

  mutable Mutex lock;
  HINTERNET handle ORVELLA_GUARDED_BY(lock) = nullptr;
  bool open ORVELLA_GUARDED_BY(lock) = false;                  // between OpenSession and CloseSession
  std::shared_ptr<Transfer> current ORVELLA_GUARDED_BY(lock);  // the download in progress, for Abort
  std::atomic<bool> aborted{false};
  std::shared_ptr<std::atomic<int>> helpers = std::make_shared<std::atomic<int>>(0);
  // ReadFile's (the worker's): the helper, and the last download it took.
  std::shared_ptr<HelperThread> helper;
  std::shared_ptr<Transfer> last;
  std::unique_ptr<WinInetOpenAnswer> handed;  // the last picture stream's
  const std::shared_ptr<WinInetLogin> login = std::make_shared<WinInetLogin>();

  enum class Stop { Done, Aborted, TimedOut };

  // The session for the next download: a new one when the last one went
  // with a picture stream. Null when closed or aborted.
  HINTERNET Handle() ORVELLA_EXCLUDES(lock) {
    ScopedLock<Mutex> hold(lock);
    if (!handle && open && !aborted) handle = OpenInternetSession();
    return handle;
  }

  // The session and the stream's request go to the stream's reader.
  std::unique_ptr<WinInetOpenAnswer> HandOver(const std::shared_ptr<Transfer>& t) ORVELLA_EXCLUDES(lock);

  void CloseHandle() ORVELLA_REQUIRES(lock) {
    if (handle) InternetCloseHandle(handle);
    handle = nullptr;
  }

  void Track(std::shared_ptr<Transfer> t) ORVELLA_EXCLUDES(lock) {
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

  // One download, then the hand-back. The URL handle is closed after the
  // worker has its answer: closing a request whose body is still coming
  // reads that body to the end first (Wine keeps the connection for reuse),
  // which for a refused oversized body would hold the worker for as long as
  // the server keeps sending.
  static void Fetch(Transfer& t) ORVELLA_EXCLUDES(t.lock) {
    std::exception_ptr error;
    InternetHandle url;
    try {
      Receive(t, url);
    } catch (...) {
      error = std::current_exception();
    }
    {
      ScopedLock<WinLock> hold(t.lock);
      t.error = error;
      t.finished = true;
    }
    WakeAllConditionVariable(&t.changed);
    url.reset(nullptr);
    {
      ScopedLock<WinLock> hold(t.lock);
      t.closed = true;
    }
    WakeAllConditionVariable(&t.changed);
  }

  // Open, status check, availability, read loop. Errors are raised here, on
  // the thread that saw them, so a Win32Exception captures this thread's
  // last error and server reply; `url` keeps the handle for Fetch to close.
  static void Receive(Transfer& t, InternetHandle& url) {
    url.reset(OpenRequest(t.session, *t.login, t.url, t));
    t.Report(0);
    const long long announced = CheckAnswer(url.get(), t.status, t.contentType);
    // A picture stream never ends: its reader reads it on.
    if (t.status != 0 && IsPictureStreamType(t.contentType)) {
      t.stream = true;
      t.request = std::move(url);
      return;
    }
    DWORD available = 0;
    if (!InternetQueryDataAvailable(url.get(), &available, 0, 0)) throw std::runtime_error(kNotAvailableText);

    // A read waits until all it asked for has come: it asks for no more than
    // has arrived, so the clock sees a slow body's every piece.
    int fill = 0;
    for (;;) {
      if (t.Cancelled()) return;
      t.buffer.MakeRoom(fill);
      if (available == 0) break;  // the end of the body
      DWORD got = 0;
      const DWORD room = static_cast<DWORD>(t.buffer.Capacity() - fill);
      if (!InternetReadFile(url.get(), t.buffer.At(fill), std::min(available, room), &got)) throw Win32Exception();
      if (got == 0) break;
      fill += static_cast<int>(got);
      t.Report(fill);
      if (!InternetQueryDataAvailable(url.get(), &available, 0, 0)) throw Win32Exception();
    }
    // WinInet reports a connection closed mid-body as a normal end: a cut
    // picture must not pass for a whole one.
    if (announced >= 0 && fill != announced) {
      char why[160];
      std::snprintf(why, sizeof why, "FTPStream::ReadFile: the connection closed after %d of %lld announced bytes",
                    fill, announced);
      throw Win32Exception(ERROR_INTERNET_CONNECTION_ABORTED, Win32Exception::Kind::Internet, why);
    }
  }

  // The worker's watch over the helper: until the download finishes, Abort,
  // or the clock's verdict; on giving up it tells the helper to stop.
  Stop Watch(Transfer& t) ORVELLA_EXCLUDES(t.lock) {
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
  Transfer& t = *last;
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

std::unique_ptr<WinInetOpenAnswer> Download::Impl::HandOver(const std::shared_ptr<Transfer>& t) {
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
  std::shared_ptr<Transfer> current;
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

Download::Got Download::Fetch(const char* url, const TransferLimits& limits, const TlsTrust& trust, Body& body) {
  Impl& s = *impl;
  s.handed.reset();
  if (s.aborted) throw std::runtime_error(kAbortedText);
  const HINTERNET handle = s.Handle();
  if (s.aborted) throw std::runtime_error(kAbortedText);
  if (!handle) throw std::runtime_error(kNoSessionText);
  HelperThread& helper = s.ReadyHelper();

  auto t = std::make_shared<Transfer>(handle, url, limits, SetTimeouts(handle, limits));
  t->buffer = std::move(body.buffer);
  s.login->SetTrust(trust);
  t->login = s.login;
  s.last = t;
  s.Track(t);
  helper.Post([t] { Impl::Fetch(*t); });
  const Impl::Stop stop = s.Watch(*t);
  s.Track(nullptr);
  if (stop == Impl::Stop::Done) {
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
      s.handed = s.HandOver(t);
      return Got::kPictureStream;
    }
    body.size = static_cast<uint32_t>(fill);
    body.type = t->contentType;
    return Got::kBody;
  }

  // The helper may be stuck in a WinInet call: it is left behind, and keeps
  // the old buffer, and with it the previous content.
  s.DropHelper(false);
  body.buffer = ReceiveBuffer();
  if (stop == Impl::Stop::Aborted) throw std::runtime_error(kAbortedText);
  ScopedLock<WinLock> hold(t->lock);
  throw Win32Exception(ERROR_INTERNET_TIMEOUT, Win32Exception::Kind::Internet, t->clock.Reason());
}

std::unique_ptr<OpenAnswer> Download::TakeAnswer() {
  return std::move(impl->handed);
}

}  // namespace orvella
