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
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "acquisition/FTPStream.h"
#include "driver/Errors.h"
#include "driver/Platform.h"

namespace orvella {

namespace {
using Clock = std::chrono::steady_clock;

// Helpers of one stream that may still run after their worker gave up;
// beyond this many a download fails at once rather than add another.
constexpr int kMaxHelpers = 3;

long ElapsedMs(Clock::time_point from, Clock::time_point to) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count());
}

class InternetHandle {
 public:
  explicit InternetHandle(HINTERNET h) : handle(h) {}
  ~InternetHandle() { reset(nullptr); }
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;
  HINTERNET get() const { return handle; }
  void reset(HINTERNET h) {
    if (handle) InternetCloseHandle(handle);
    handle = h;
  }

 private:
  HINTERNET handle;
};

// One download, shared by the worker waiting in ReadFile and the helper
// making the WinInet calls.
struct Transfer {
  // Fixed before the helper starts.
  HINTERNET session = nullptr;
  std::string url;
  DWORD backstopMs = 0;  // receive and send time-out of the helper's own calls
  std::shared_ptr<std::atomic<int>> helpers;

  std::mutex lock;
  std::condition_variable changed;
  bool answered = false;           // GUARDED_BY(lock): InternetOpenUrlA returned
  bool finished = false;           // GUARDED_BY(lock)
  bool closed = false;             // GUARDED_BY(lock): the helper has closed its URL handle
  bool cancelled = false;          // GUARDED_BY(lock): the worker gave up
  Clock::time_point lastProgress;  // GUARDED_BY(lock)
  std::exception_ptr error;        // GUARDED_BY(lock)
  int fill = 0;                    // GUARDED_BY(lock)

  // The helper's until `finished`, then the worker's again.
  ReceiveBuffer buffer;

  void Report(int bytes) {
    {
      std::lock_guard<std::mutex> hold(lock);
      answered = true;
      lastProgress = Clock::now();
      fill = bytes;
    }
    changed.notify_all();
  }

  bool Cancelled() {
    std::lock_guard<std::mutex> hold(lock);
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

long LeadingNumber(const char* text) {
  long value = 0;
  for (; *text >= '0' && *text <= '9' && value < 100000; ++text) value = value * 10 + (*text - '0');
  return value;
}
}  // namespace

struct FTPStream::Session {
  mutable std::mutex lock;
  HINTERNET handle = nullptr;         // GUARDED_BY(lock)
  std::shared_ptr<Transfer> current;  // GUARDED_BY(lock): the download in progress, for Abort
  std::atomic<bool> aborted{false};
  std::shared_ptr<std::atomic<int>> helpers = std::make_shared<std::atomic<int>>(0);

  // Helper thread body: the download's WinInet calls, then the hand-back.
  // The URL handle is closed after the worker has its answer: closing a
  // request whose body is still coming reads that body to the end first
  // (Wine keeps the connection for reuse), which for a refused oversized
  // body would hold the worker for as long as the server keeps sending.
  static void Fetch(std::shared_ptr<Transfer> t) {
    std::exception_ptr error;
    InternetHandle url(nullptr);
    try {
      Download(*t, url);
    } catch (...) {
      error = std::current_exception();
    }
    {
      std::lock_guard<std::mutex> hold(t->lock);
      t->error = error;
      t->finished = true;
    }
    t->changed.notify_all();
    url.reset(nullptr);
    --*t->helpers;
    {
      std::lock_guard<std::mutex> hold(t->lock);
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

    char text[32] = "";
    DWORD length = sizeof text;
    long long announced = -1;  // Content-Length, when the server gave one
    if (HttpQueryInfoA(url.get(), HTTP_QUERY_STATUS_CODE, text, &length, nullptr)) {
      long status = LeadingNumber(text);
      if (status < 200 || status > 299) throw std::runtime_error(kNotAvailableText);
      char size[32] = "";
      DWORD sizeLength = sizeof size;
      if (HttpQueryInfoA(url.get(), HTTP_QUERY_CONTENT_LENGTH, size, &sizeLength, nullptr))
        announced = std::strtoll(size, nullptr, 10);
      // An announced size over the limit fails before anything is read.
      if (announced > kMaxContentSize) throw std::runtime_error(kTooLargeText);
    } else {
      DWORD error = GetLastError();
      if (error != ERROR_INTERNET_INCORRECT_HANDLE_TYPE) throw Win32Exception(error);  // 12018: ftp, no status
    }
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
};

FTPStream::FTPStream() : session(std::make_unique<Session>()) {}

FTPStream::~FTPStream() {
  CloseSession();
}

void FTPStream::OpenSession() {
  std::lock_guard<std::mutex> hold(session->lock);
  if (session->handle) {
    InternetCloseHandle(session->handle);
    session->handle = nullptr;
  }
  HINTERNET handle = InternetOpenA("Orvella", INTERNET_OPEN_TYPE_PRECONFIG, "", nullptr, 0);
  if (!handle) throw Win32Exception();
  InternetSetStatusCallbackA(handle, &OnStatus);
  session->handle = handle;
  session->aborted = false;
}

void FTPStream::CloseSession() {
  std::lock_guard<std::mutex> hold(session->lock);
  if (session->handle) {
    InternetCloseHandle(session->handle);
    session->handle = nullptr;
  }
  session->aborted = false;
}

bool FTPStream::IsSessionOpen() const {
  std::lock_guard<std::mutex> hold(session->lock);
  return session->handle != nullptr && !session->aborted;
}

void FTPStream::Abort() {
  session->aborted = true;
  std::shared_ptr<Transfer> current;
  {
    std::lock_guard<std::mutex> hold(session->lock);
    // Releases the session and its connections; Windows also cancels the
    // helper's blocked call at once.
    if (session->handle) {
      InternetCloseHandle(session->handle);
      session->handle = nullptr;
    }
    current = session->current;
  }
  if (current) {
    std::lock_guard<std::mutex> hold(current->lock);
    current->changed.notify_all();
  }
}

void FTPStream::ReadFile(const char* url) {
  Session& s = *session;
  HINTERNET handle = nullptr;
  {
    std::lock_guard<std::mutex> hold(s.lock);
    handle = s.handle;
  }
  if (s.aborted) throw std::runtime_error(kAbortedText);
  if (!handle) throw std::runtime_error(kNoSessionText);
  if (*s.helpers >= kMaxHelpers) throw std::runtime_error("FTPStream::ReadFile: earlier downloads are still hanging");

  const int connectMs = connectionTimeoutMs;
  DWORD connect = static_cast<DWORD>(connectMs);
  DWORD backstop = static_cast<DWORD>(std::max(connectMs, kStallTimeoutMs) + 1000);
  InternetSetOptionA(handle, INTERNET_OPTION_CONNECT_TIMEOUT, &connect, sizeof connect);
  for (DWORD option : {INTERNET_OPTION_RECEIVE_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                       INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, INTERNET_OPTION_DATA_SEND_TIMEOUT})
    InternetSetOptionA(handle, option, &backstop, sizeof backstop);

  auto t = std::make_shared<Transfer>();
  t->session = handle;
  t->url = url;
  t->backstopMs = backstop;
  t->helpers = s.helpers;
  t->buffer = std::move(receiveBuffer);
  position = 0;
  const Clock::time_point start = Clock::now();
  t->lastProgress = start;

  std::thread helper;
  ++*s.helpers;
  try {
    helper = std::thread(&Session::Fetch, t);
  } catch (...) {
    --*s.helpers;
    receiveBuffer = std::move(t->buffer);
    throw;
  }
  {
    std::lock_guard<std::mutex> hold(s.lock);
    s.current = t;
  }

  enum class Stop { Done, Aborted, ConnectTimeout, Stalled };
  Stop stop = Stop::Done;
  {
    std::unique_lock<std::mutex> hold(t->lock);
    while (!t->finished) {
      if (s.aborted) {
        stop = Stop::Aborted;
        break;
      }
      // Until the answer begins the connection time-out applies, afterwards
      // the stall limit since the last bytes.
      const Clock::time_point now = Clock::now();
      const long left =
          t->answered ? kStallTimeoutMs - ElapsedMs(t->lastProgress, now) : connectMs - ElapsedMs(start, now);
      if (left <= 0) {
        stop = t->answered ? Stop::Stalled : Stop::ConnectTimeout;
        break;
      }
      t->changed.wait_for(hold, std::chrono::milliseconds(left));
    }
    if (stop != Stop::Done) t->cancelled = true;
  }
  {
    std::lock_guard<std::mutex> hold(s.lock);
    s.current.reset();
  }

  if (stop == Stop::Done) {
    // The buffer is ours again. The helper normally ends at once; one still
    // closing its handle (reading a refused body to the end) is left to it.
    bool closed;
    {
      std::unique_lock<std::mutex> hold(t->lock);
      closed = t->changed.wait_for(hold, std::chrono::milliseconds(100), [&] { return t->closed; });
    }
    if (closed) {
      helper.join();
    } else {
      platform::PinLibrary();
      helper.detach();
    }
    receiveBuffer = std::move(t->buffer);
    if (t->error) std::rethrow_exception(t->error);
    Publish(static_cast<uint32_t>(t->fill));
    return;
  }

  // The helper keeps the old buffer, and with it the previous content.
  platform::PinLibrary();  // a helper left running must never meet unloaded code
  helper.detach();
  receiveBuffer = ReceiveBuffer();
  stat.cbSize.QuadPart = 0;
  if (stop == Stop::Aborted) throw std::runtime_error(kAbortedText);
  if (stop == Stop::ConnectTimeout)
    throw Win32Exception(ERROR_INTERNET_TIMEOUT, Win32Exception::Kind::Internet, ConnectTimeoutText(connectMs));
  throw Win32Exception(ERROR_INTERNET_TIMEOUT, Win32Exception::Kind::Internet, StallTimeoutText(kStallTimeoutMs));
}

FILETIME FTPStream::FileTimeNow() {
  FILETIME now{};
  CoFileTimeNow(&now);
  return now;
}

}  // namespace orvella
