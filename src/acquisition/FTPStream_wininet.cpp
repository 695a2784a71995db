// FTPStream on WinInet, used synchronously (the session is opened with flags 0).
//
// Why a helper thread: a blocked synchronous WinInet call is not interrupted
// by closing its handles under Wine, and InternetOpenUrlA ignores the
// session's receive time-out there, so a server that accepts and never
// answers would hold the camera's worker forever. The WinInet calls of one
// download therefore run on a short-lived helper thread while the worker
// watches the clock: it gives up when the answer does not begin within the
// connection time-out, when the transfer stalls, and at once on Abort. The
// helper owns everything it touches (a Transfer shared with the worker), so
// one left behind finishes later without harm; its own calls are bounded by
// receive time-outs set on its request handle as WinInet creates it.
#include <objbase.h>
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>

#include "acquisition/FTPStream.h"
#include "acquisition/TransferClock.h"
#include "acquisition/source/Multipart.h"
#include "driver/Errors.h"
#include "driver/Mutex.h"
#include "driver/Platform.h"

namespace orvella {

namespace {
// Helpers of one stream that may still run after their worker gave up;
// beyond this many a download fails at once rather than add another.
constexpr int kMaxHelpers = 3;

struct InternetCloser {
  void operator()(HINTERNET handle) const { InternetCloseHandle(handle); }
};
using InternetHandle = std::unique_ptr<void, InternetCloser>;

// One download, shared by the worker waiting in ReadFile and the helper
// making the WinInet calls.
struct Transfer {
  Transfer(HINTERNET session, const char* url, const TransferLimits& limits, DWORD backstopMs,
           std::shared_ptr<std::atomic<int>> helpers)
      : session(session), url(url), backstopMs(backstopMs), helpers(std::move(helpers)) {
    clock.Start(limits);
  }

  const HINTERNET session;
  const std::string url;
  const DWORD backstopMs;  // receive and send time-out of the helper's own calls
  const std::shared_ptr<std::atomic<int>> helpers;

  Mutex lock;
  std::condition_variable changed;
  TransferClock clock ORVELLA_GUARDED_BY(lock);  // fed by the helper, asked by the worker
  bool finished ORVELLA_GUARDED_BY(lock) = false;
  bool closed ORVELLA_GUARDED_BY(lock) = false;     // the helper has closed its URL handle
  bool cancelled ORVELLA_GUARDED_BY(lock) = false;  // the worker gave up
  std::exception_ptr error ORVELLA_GUARDED_BY(lock);
  int fill ORVELLA_GUARDED_BY(lock) = 0;

  // The helper's until `finished`, then the worker's again.
  ReceiveBuffer buffer;

  void Report(int bytes) ORVELLA_EXCLUDES(lock) {
    {
      ScopedLock<Mutex> hold(lock);
      clock.Progress(bytes);
      fill = bytes;
    }
    changed.notify_all();
  }

  bool Cancelled() ORVELLA_EXCLUDES(lock) {
    ScopedLock<Mutex> hold(lock);
    return cancelled;
  }
};

// Called by WinInet on the helper thread inside InternetOpenUrlA, as the
// request handle is created and before the request goes out: the one place
// where Wine lets us bound that request's waits.
void CALLBACK OnStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length) {
  if (status != INTERNET_STATUS_HANDLE_CREATED || context == 0 || info == nullptr || length < sizeof(HINTERNET)) return;
  // Windows passes an INTERNET_ASYNC_RESULT, Wine the handle itself: both start with the handle.
  HINTERNET request = *static_cast<HINTERNET*>(info);
  DWORD ms = reinterpret_cast<Transfer*>(context)->backstopMs;
  InternetSetOptionA(request, INTERNET_OPTION_RECEIVE_TIMEOUT, &ms, sizeof ms);
  InternetSetOptionA(request, INTERNET_OPTION_SEND_TIMEOUT, &ms, sizeof ms);
}

// The session's time-outs for the next download: the connection limit, and
// for every other wait a backstop a second beyond the longest quiet spell
// the clock allows, so the clock always speaks first. Returns the backstop.
DWORD SetTimeouts(HINTERNET session, const TransferLimits& limits) {
  DWORD connect = static_cast<DWORD>(limits.connectMs);
  DWORD backstop = static_cast<DWORD>(limits.LongestQuietMs() + 1000);
  InternetSetOptionA(session, INTERNET_OPTION_CONNECT_TIMEOUT, &connect, sizeof connect);
  for (DWORD option : {INTERNET_OPTION_RECEIVE_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                       INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, INTERNET_OPTION_DATA_SEND_TIMEOUT})
    InternetSetOptionA(session, option, &backstop, sizeof backstop);
  return backstop;
}

long LeadingNumber(const char* text) {
  long value = 0;
  for (; *text >= '0' && *text <= '9' && value < 100000; ++text) value = value * 10 + (*text - '0');
  return value;
}

// Status check of an opened URL: raises for a refused HTTP answer or an
// announced body over the limit. Returns the announced length, or -1 (none
// given, or ftp, which has no status).
long long CheckAnswer(HINTERNET url) {
  char text[32] = "";
  DWORD length = sizeof text;
  if (!HttpQueryInfoA(url, HTTP_QUERY_STATUS_CODE, text, &length, nullptr)) {
    DWORD error = GetLastError();
    if (error != ERROR_INTERNET_INCORRECT_HANDLE_TYPE) throw Win32Exception(error);  // 12018: ftp, no status
    return -1;
  }
  long status = LeadingNumber(text);
  if (status < 200 || status > 299) throw std::runtime_error(FTPStream::kNotAvailableText);
  // A picture stream never ends: it is read as a stream (source/), not downloaded.
  char type[256] = "";
  DWORD typeLength = sizeof type;
  if (HttpQueryInfoA(url, HTTP_QUERY_CONTENT_TYPE, type, &typeLength, nullptr) && IsPictureStreamType(type))
    throw StreamAnswer();
  long long announced = -1;
  char size[32] = "";
  DWORD sizeLength = sizeof size;
  if (HttpQueryInfoA(url, HTTP_QUERY_CONTENT_LENGTH, size, &sizeLength, nullptr))
    announced = std::strtoll(size, nullptr, 10);
  // An announced size over the limit fails before anything is read.
  if (announced > FTPStream::kMaxContentSize) throw std::runtime_error(FTPStream::kTooLargeText);
  return announced;
}
}  // namespace

struct FTPStream::Session {
  mutable Mutex lock;
  HINTERNET handle ORVELLA_GUARDED_BY(lock) = nullptr;
  std::shared_ptr<Transfer> current ORVELLA_GUARDED_BY(lock);  // the download in progress, for Abort
  std::atomic<bool> aborted{false};
  std::shared_ptr<std::atomic<int>> helpers = std::make_shared<std::atomic<int>>(0);

  enum class Stop { Done, Aborted, TimedOut };

  HINTERNET Handle() ORVELLA_EXCLUDES(lock) {
    ScopedLock<Mutex> hold(lock);
    return handle;
  }

  void CloseHandle() ORVELLA_REQUIRES(lock) {
    if (handle) InternetCloseHandle(handle);
    handle = nullptr;
  }

  void Track(std::shared_ptr<Transfer> t) ORVELLA_EXCLUDES(lock) {
    ScopedLock<Mutex> hold(lock);
    current = std::move(t);
  }

  // Helper thread body: the download's WinInet calls, then the hand-back.
  // The URL handle is closed after the worker has its answer: closing a
  // request whose body is still coming reads that body to the end first
  // (Wine keeps the connection for reuse), which for a refused oversized
  // body would hold the worker for as long as the server keeps sending.
  static void Fetch(std::shared_ptr<Transfer> t) {
    std::exception_ptr error;
    InternetHandle url;
    try {
      Download(*t, url);
    } catch (...) {
      error = std::current_exception();
    }
    {
      ScopedLock<Mutex> hold(t->lock);
      t->error = error;
      t->finished = true;
    }
    t->changed.notify_all();
    url.reset(nullptr);
    --*t->helpers;
    {
      ScopedLock<Mutex> hold(t->lock);
      t->closed = true;
    }
    t->changed.notify_all();
  }

  // Open, status check, availability, read loop. Errors are raised here, on
  // the thread that saw them, so a Win32Exception captures this thread's
  // last error and server reply; `url` keeps the handle for Fetch to close.
  static void Download(Transfer& t, InternetHandle& url) {
    url.reset(InternetOpenUrlA(t.session, t.url.c_str(), nullptr, 0, 0, reinterpret_cast<DWORD_PTR>(&t)));
    if (!url.get()) throw Win32Exception();
    t.Report(0);
    const long long announced = CheckAnswer(url.get());
    DWORD available = 0;
    if (!InternetQueryDataAvailable(url.get(), &available, 0, 0)) throw std::runtime_error(kNotAvailableText);

    int fill = 0;
    for (;;) {
      if (t.Cancelled()) return;
      MakeRoom(t.buffer, fill);
      DWORD got = 0;
      if (!InternetReadFile(url.get(), t.buffer.At(fill), static_cast<DWORD>(t.buffer.Capacity() - fill), &got))
        throw Win32Exception();
      if (got == 0) break;
      fill += static_cast<int>(got);
      t.Report(fill);
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

  // The worker's watch over its helper: until the helper finishes, Abort,
  // or the clock's verdict; on giving up it tells the helper to stop.
  Stop Watch(Transfer& t) ORVELLA_EXCLUDES(t.lock) {
    Stop stop = Stop::Done;
    MutexLock hold(t.lock);
    while (!t.finished) {
      if (aborted) {
        stop = Stop::Aborted;
        break;
      }
      if (t.clock.Check() != TransferClock::Verdict::KeepGoing) {
        stop = Stop::TimedOut;
        break;
      }
      hold.WaitUntil(t.changed, std::chrono::steady_clock::now() + t.clock.NextWait());
    }
    if (stop != Stop::Done) t.cancelled = true;
    return stop;
  }

  // After a finished download: the helper normally ends at once; one still
  // closing its handle (reading a refused body to the end) is left to it.
  static void Release(Transfer& t, std::thread& helper) ORVELLA_EXCLUDES(t.lock) {
    bool closed = false;
    {
      MutexLock hold(t.lock);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
      while (!t.closed)
        if (!hold.WaitUntil(t.changed, deadline)) break;
      closed = t.closed;
    }
    if (closed) {
      helper.join();
    } else {
      platform::PinLibrary();  // a helper left running must never meet unloaded code
      helper.detach();
    }
  }
};

FTPStream::FTPStream() : session(std::make_unique<Session>()) {}

FTPStream::~FTPStream() {
  CloseSession();
}

void FTPStream::OpenSession() {
  ScopedLock<Mutex> hold(session->lock);
  session->CloseHandle();
  HINTERNET handle = InternetOpenA("Orvella", INTERNET_OPEN_TYPE_PRECONFIG, "", nullptr, 0);
  if (!handle) throw Win32Exception();
  InternetSetStatusCallbackA(handle, &OnStatus);
  session->handle = handle;
  session->aborted = false;
}

void FTPStream::CloseSession() {
  ScopedLock<Mutex> hold(session->lock);
  session->CloseHandle();
  session->aborted = false;
}

bool FTPStream::IsSessionOpen() const {
  ScopedLock<Mutex> hold(session->lock);
  return session->handle != nullptr && !session->aborted;
}

void FTPStream::Abort() {
  session->aborted = true;
  std::shared_ptr<Transfer> current;
  {
    ScopedLock<Mutex> hold(session->lock);
    // Releases the session and its connections; Windows also cancels the
    // helper's blocked call at once.
    session->CloseHandle();
    current = session->current;
  }
  if (current) {
    ScopedLock<Mutex> hold(current->lock);
    current->changed.notify_all();
  }
}

void FTPStream::ReadFile(const char* url) {
  Session& s = *session;
  const HINTERNET handle = s.Handle();
  if (s.aborted) throw std::runtime_error(kAbortedText);
  if (!handle) throw std::runtime_error(kNoSessionText);
  if (*s.helpers >= kMaxHelpers) throw std::runtime_error("FTPStream::ReadFile: earlier downloads are still hanging");

  const TransferLimits limits = Limits();
  auto t = std::make_shared<Transfer>(handle, url, limits, SetTimeouts(handle, limits), s.helpers);
  t->buffer = std::move(receiveBuffer);
  position = 0;

  std::thread helper;
  ++*s.helpers;
  try {
    helper = std::thread(&Session::Fetch, t);
  } catch (...) {
    --*s.helpers;
    receiveBuffer = std::move(t->buffer);
    throw;
  }
  s.Track(t);
  const Session::Stop stop = s.Watch(*t);
  s.Track(nullptr);
  if (stop == Session::Stop::Done) {
    Session::Release(*t, helper);
    receiveBuffer = std::move(t->buffer);  // ours again
    ScopedLock<Mutex> hold(t->lock);
    if (t->error) std::rethrow_exception(t->error);
    Publish(static_cast<uint32_t>(t->fill));
    return;
  }

  // The helper keeps the old buffer, and with it the previous content.
  platform::PinLibrary();  // a helper left running must never meet unloaded code
  helper.detach();
  receiveBuffer = ReceiveBuffer();
  stat.cbSize.QuadPart = 0;
  if (stop == Session::Stop::Aborted) throw std::runtime_error(kAbortedText);
  ScopedLock<Mutex> hold(t->lock);
  throw Win32Exception(ERROR_INTERNET_TIMEOUT, Win32Exception::Kind::Internet, t->clock.Reason());
}

FILETIME FTPStream::FileTimeNow() {
  FILETIME now{};
  CoFileTimeNow(&now);
  return now;
}

}  // namespace orvella
