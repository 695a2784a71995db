// FTPStream on libcurl. One easy handle and one multi handle per stream, both
// kept for the whole session: the multi handle's connection cache keeps HTTP
// connections (and FTP logins) alive from one download to the next.
//
// The worker drives the transfer itself (multi perform + poll), so it can
// watch for progress and for Abort, which wakes the poll from any thread.
//
// Logins: the URL's credentials go to libcurl apart from the URL, which
// answers Basic and Digest challenges and keeps the nonce of a Digest login
// on its easy handle (one request per picture once logged in). With more
// than one scheme allowed it never sends Basic before a server asked for it;
// a handle that learnt a login is replaced when the URL's origin or
// credentials change, so nothing learnt from one server reaches another,
// and a redirect to another origin is refused before its request goes out.
#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "acquisition/transport/curl/CurlHandles.h"
#include "acquisition/FTPStream.h"
#include "acquisition/transport/TransferClock.h"
#include "acquisition/transport/curl/CurlLogin.h"
#include "acquisition/transport/HttpLogin.h"
#include "acquisition/transport/TlsTrust.h"
#include "acquisition/source/mjpeg/MultipartParser.h"
#include "driver/Errors.h"
#include "driver/Mutex.h"

namespace orvella {

namespace {
void GlobalInit() {
  static std::once_flag once;
  static CURLcode result = CURLE_OK;
  std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
  if (result != CURLE_OK) throw Win32Exception(result, Win32Exception::Kind::Internet);
}
}  // namespace

struct FTPStream::Session {
  // Guards the handles' lifetime against Abort and IsSessionOpen on other
  // threads; the owner's own calls never overlap (see FTPStream.h).
  mutable Mutex lock;
  EasyHandle easy ORVELLA_GUARDED_BY(lock);    // destroyed after multi
  MultiHandle multi ORVELLA_GUARDED_BY(lock);  // holds the connection cache
  std::atomic<bool> aborted{false};

  // The transfer in progress: the worker's alone, written by the curl
  // callbacks, which run on the thread in ReadFile.
  CURL* transfer = nullptr;  // `easy`, taken while ReadFile runs
  ReceiveBuffer* buffer = nullptr;
  int fill = 0;
  AnswerHeaders answer;  // the last HTTP answer's; status 0 for ftp
  std::string url;       // the last URL downloaded, and its login
  UrlLogin login;
  TransferClock clock;
  std::exception_ptr failure;
  char errorText[CURL_ERROR_SIZE] = "";

  enum class Stop { Done, Aborted, TimedOut };
  struct Outcome {
    Stop stop = Stop::Done;
    CURLcode result = CURLE_OK;
    CURLMcode multiResult = CURLM_OK;
  };

  static size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<Session*>(user);
    const size_t length = size * count;
    self->clock.Progress(self->fill);
    // Every response's status line ("HTTP/1.1 404 Not Found"); the last one
    // is the final answer after interim (1xx) answers, logins and redirects.
    self->answer.Feed(data, length);
    // A picture stream never ends: it is read as a stream (source/), not downloaded.
    const long status = self->answer.status;
    if (status >= 200 && status <= 299 && length > 13 && strncasecmp(data, "content-type:", 13) == 0 &&
        IsPictureStreamType(std::string(data + 13, length - 13))) {
      self->failure = std::make_exception_ptr(StreamAnswer());
      return 0;
    }
    return length;
  }

  // Before each request, once connected (and the TLS handshake done); a
  // redirect to another origin goes no further when the URL has a login.
  static int OnRequest(void* user, char*, char*, int, int) {
    auto* self = static_cast<Session*>(user);
    self->clock.RequestSent();
    return MayRequest(self->transfer, self->login, self->failure) ? CURL_PREREQFUNC_OK : CURL_PREREQFUNC_ABORT;
  }

  static size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<Session*>(user);
    const size_t length = size * count;
    // A refused answer's body is not worth waiting for.
    if (IsRefusal(self->answer.status)) return CURL_WRITEFUNC_ERROR;
    try {
      self->Append(data, length);
    } catch (...) {
      self->failure = std::current_exception();
      return CURL_WRITEFUNC_ERROR;
    }
    self->clock.Progress(self->fill);
    return length;
  }

  void Append(const char* data, size_t length) {
    if (fill == 0) {
      curl_off_t announced = -1;
      if (curl_easy_getinfo(transfer, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) == CURLE_OK &&
          announced > kMaxContentSize)
        throw std::runtime_error(kTooLargeText);
    }
    size_t done = 0;
    while (done < length) {
      MakeRoom(*buffer, fill);
      const size_t room = static_cast<size_t>(buffer->Capacity() - fill);
      const size_t chunk = std::min(room, length - done);
      std::memcpy(buffer->At(fill), data + done, chunk);
      fill += static_cast<int>(chunk);
      done += chunk;
    }
  }

  // A URL other than the last one: its login, taken apart once (a camera's
  // URL rarely changes: nothing is allocated per picture), and a fresh
  // handle when it logs in elsewhere or otherwise.
  void ChangeUrl(const char* next) ORVELLA_REQUIRES(lock) {
    UrlLogin taken = SplitLogin(next);
    if (!url.empty() && (taken.origin != login.origin || taken.user != login.user || taken.password != login.password))
      easy = NewEasy();
    url = next;
    login = std::move(taken);
  }

  // A handle with everything but the URL, its login and its trust set.
  EasyHandle NewEasy() {
    EasyHandle easy(curl_easy_init());
    if (!easy) throw Win32Exception(CURLE_FAILED_INIT, Win32Exception::Kind::Internet);
    CURL* h = easy.get();
    curl_easy_setopt(h, CURLOPT_USERAGENT, "Orvella");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);  // threads: no SIGALRM for name look-ups
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https,ftp");
    // Redirects are followed within these schemes, as WinInet does; with a
    // login only within the URL's origin (OnRequest).
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https,ftp");
    // One request and one answer at a time, as with WinInet.
    curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &Session::OnHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Session::OnBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(h, CURLOPT_PREREQFUNCTION, &Session::OnRequest);
    curl_easy_setopt(h, CURLOPT_PREREQDATA, this);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
    // A receive buffer of a whole loopback/LAN burst: a 300 KB picture arrives
    // in a few reads instead of twenty 16 KB ones (about twice as fast).
    // Allocated once per handle.
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, 256L * 1024);
    return easy;
  }

  // Points `easy` at the URL with its login and trust, and resets the
  // transfer state and the clock.
  void Begin(CURL* easy, const UrlLogin& login, const TlsTrust& trust, const TransferLimits& limits,
             ReceiveBuffer& into) {
    const char* url = login.url.c_str();
    SetLoginAndTrust(easy, login, trust);
    // A backstop only: the clock bounds connecting and the handshake, and
    // speaks first with its own words.
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.connectMs) + 1000L);
    // On a reused FTP control connection libcurl (7.88) at times leaves the
    // passive data connection out of the poll set, and the download then waits
    // a whole poll slice (1 s). A fresh login per picture costs well under a
    // millisecond on a LAN; HTTP keeps its connection.
    curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, strncasecmp(url, "ftp://", 6) == 0 ? 1L : 0L);
    transfer = easy;
    buffer = &into;
    fill = 0;
    answer.Clear();
    failure = nullptr;
    errorText[0] = '\0';
    clock.Start(limits);
  }

  // Runs the transfer until curl is done with it, Abort, or the clock's verdict.
  Outcome Drive(CURLM* multi) {
    Outcome out;
    for (;;) {
      int running = 0;
      out.multiResult = curl_multi_perform(multi, &running);
      if (out.multiResult != CURLM_OK) return out;
      int queued = 0;
      bool finished = false;
      while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == transfer) {
          out.result = message->data.result;
          finished = true;
        }
      }
      if (finished || running == 0) return out;
      if (aborted) {
        out.stop = Stop::Aborted;
        return out;
      }
      if (clock.Check() != TransferClock::Verdict::KeepGoing) {
        out.stop = Stop::TimedOut;
        return out;
      }
      // Slices of at most a second: curl's own timers want a perform now and then.
      const long waitMs = std::min<long>(static_cast<long>(clock.NextWait().count()), 1000L);
      curl_multi_poll(multi, nullptr, 0, static_cast<int>(waitMs), nullptr);
    }
  }

  // The key of the server that refused to show a trusted certificate: a
  // bare handshake that checks nothing and sends nothing, bounded and
  // abortable like a download. "" when it cannot be had.
  std::string ProbeKey(CURLM* multi, const UrlLogin& login, const TransferLimits& limits) {
    EasyHandle probe = NewKeyProbe(login, static_cast<long>(limits.connectMs));
    CURL* h = probe.get();
    if (!h || curl_multi_add_handle(multi, h) != CURLM_OK) return "";
    transfer = h;
    clock.Start(limits);
    const Outcome out = Drive(multi);
    curl_multi_remove_handle(multi, h);
    transfer = nullptr;
    return out.stop == Stop::Done && out.result == CURLE_OK ? KeyPinOf(h) : "";
  }

  // Raises what the transfer ended with, if it failed; `serverPin` is the
  // key of a server whose certificate was refused.
  void Judge(const Outcome& out, const std::string& serverPin) const {
    if (out.stop == Stop::Aborted) throw std::runtime_error(kAbortedText);
    if (failure) std::rethrow_exception(failure);
    if (out.stop == Stop::TimedOut)
      throw Win32Exception(CURLE_OPERATION_TIMEDOUT, Win32Exception::Kind::Internet, clock.Reason());
    if (out.multiResult != CURLM_OK)
      throw Win32Exception(CURLE_FAILED_INIT, Win32Exception::Kind::Internet, curl_multi_strerror(out.multiResult));
    // A refusal counts whatever else went wrong afterwards (an interim status
    // line followed by garbage, a body we declined to read).
    if (IsRefusal(answer.status)) ThrowRefusal(answer.status, login.hasCredentials, answer.RefusalText());
    if (IsCertificateRefusal(out.result)) {
      const std::string cause = errorText[0] ? errorText : curl_easy_strerror(out.result);
      throw Win32Exception(out.result, Win32Exception::Kind::Internet, TlsRefusalText(cause, serverPin));
    }
    if (out.result != CURLE_OK) throw Win32Exception(out.result, Win32Exception::Kind::Internet, errorText);
  }
};

FTPStream::FTPStream() : session(std::make_unique<Session>()) {}

FTPStream::~FTPStream() {
  CloseSession();
}

void FTPStream::OpenSession() {
  GlobalInit();
  ScopedLock<Mutex> hold(session->lock);
  session->aborted = false;
  if (session->easy) return;
  MultiHandle multi(curl_multi_init());
  if (!multi) throw Win32Exception(CURLE_FAILED_INIT, Win32Exception::Kind::Internet);
  session->easy = session->NewEasy();
  session->multi = std::move(multi);
  session->url.clear();
}

void FTPStream::CloseSession() {
  ScopedLock<Mutex> hold(session->lock);
  session->multi.reset();
  session->easy.reset();
}

bool FTPStream::IsSessionOpen() const {
  ScopedLock<Mutex> hold(session->lock);
  return session->easy && !session->aborted;
}

void FTPStream::Abort() {
  session->aborted = true;
  ScopedLock<Mutex> hold(session->lock);
  if (session->multi) curl_multi_wakeup(session->multi.get());  // ends a poll in progress at once
}

void FTPStream::ReadFile(const char* url) {
  Session& s = *session;
  CURL* easy = nullptr;
  CURLM* multi = nullptr;
  {
    ScopedLock<Mutex> hold(s.lock);
    if (s.easy && s.url != url) s.ChangeUrl(url);
    easy = s.easy.get();
    multi = s.multi.get();
  }
  if (!easy) throw std::runtime_error(kNoSessionText);
  if (s.aborted) throw std::runtime_error(kAbortedText);

  const TransferLimits limits = Limits();
  s.Begin(easy, s.login, tlsTrust, limits, receiveBuffer);
  position = 0;
  if (curl_multi_add_handle(multi, easy) != CURLM_OK)
    throw Win32Exception(CURLE_FAILED_INIT, Win32Exception::Kind::Internet);
  const Session::Outcome outcome = s.Drive(multi);
  // Detached mid-transfer, curl closes that connection; a finished one goes
  // back to the cache for the next download.
  curl_multi_remove_handle(multi, easy);
  s.buffer = nullptr;
  s.transfer = nullptr;
  const bool refused = outcome.stop == Session::Stop::Done && IsCertificateRefusal(outcome.result) && !s.failure;
  s.Judge(outcome, refused ? s.ProbeKey(multi, s.login, limits) : "");

  MakeRoom(receiveBuffer, s.fill);  // the final empty read of the download loop
  char* type = nullptr;             // the final answer's; none for ftp
  curl_easy_getinfo(easy, CURLINFO_CONTENT_TYPE, &type);
  Publish(static_cast<uint32_t>(s.fill), type);
}

FILETIME FTPStream::FileTimeNow() {
  // 100-ns intervals since 1601-01-01, as Windows counts them.
  constexpr uint64_t kUnixEpochTicks = 116444736000000000ull;
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  const uint64_t ticks =
      static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100) +
      kUnixEpochTicks;
  FILETIME t;
  t.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
  t.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return t;
}

}  // namespace orvella
