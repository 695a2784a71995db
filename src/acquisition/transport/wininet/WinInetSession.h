// The one WinInet set-up of a camera's connections, for snapshot downloads
// and picture streams alike: the session (agent "Orvella", the status
// callback, per-server connection limits), its time-outs, the request flags
// (never from or into the cache) and the login and trust of each request
// (WinInetLogin). Windows product only.
//
// Thread safety: the functions take what they touch as arguments; a
// RequestContext is shared by the thread that opens a request and WinInet's
// status callback on the same thread.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <memory>
#include <string>

#include "acquisition/transport/StreamReading.h"
#include "acquisition/transport/TransferClock.h"
#include "acquisition/transport/wininet/WinInetLogin.h"

namespace orvella {

struct InternetCloser {
  void operator()(HINTERNET handle) const { InternetCloseHandle(handle); }
};
using InternetHandle = std::unique_ptr<void, InternetCloser>;

// Never from or into the cache: a picture is always fresh, and a stream has
// no end to store.
constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE;

// What the status callback needs of a request: the receive and send
// time-out its own calls get (`backstopMs`) and who hears that it went out.
// Must live as long as the request handle.
struct RequestContext {
  explicit RequestContext(DWORD backstop) : backstopMs(backstop) {}
  virtual ~RequestContext() = default;
  // The request goes out (once connected and, for https, handshaken).
  virtual void Sent() {}
  const DWORD backstopMs;
};

// A new session with the status callback; raises Win32Exception.
HINTERNET OpenInternetSession();
// The session's time-outs for the next request: the connection limit, and
// for every other wait a backstop a second beyond the longest quiet spell
// the clock allows, so the clock always speaks first. Returns the backstop.
DWORD SetTimeouts(HINTERNET session, const TransferLimits& limits);
// Opens `url` on `session` with `login` (its trust set by the caller) and
// the request flags; the request reports to `context`. A GET, or a POST of
// `post` (see WinInetLogin::Open).
HINTERNET OpenRequest(HINTERNET session, WinInetLogin& login, const std::string& url, RequestContext& context,
                      WinInetLogin::PostData* post = nullptr);
// A header of the final answer; "" when it has none (or one over 1 KB).
std::string HeaderText(HINTERNET request, DWORD what);

// A picture stream's answer as a download hands it to the stream's reader:
// the session and the request, whose body is unread, with what they need.
struct WinInetOpenAnswer final : OpenAnswer {
  std::shared_ptr<RequestContext> context;  // the status callback's, as long as the handles
  std::shared_ptr<WinInetLogin> login;
  InternetHandle session;  // closed after the request
  InternetHandle request;
  long status = 0;
  std::string contentType;

  // Closes the handles on this thread.
  void Close() {
    request.reset();
    session.reset();
  }
  // Under Wine, closing a request whose body is still coming reads the body
  // to its end first, and a stream has none: handles still open go to a
  // thread of their own, so whoever lets go of an unread stream never waits.
  ~WinInetOpenAnswer() override;
};

}  // namespace orvella
