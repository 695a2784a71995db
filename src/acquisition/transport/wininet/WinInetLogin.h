// Logins and certificate trust for the WinInet downloads
// (WinInetLogin_wininet.cpp; Windows product only). Wine's WinInet answers
// no Digest challenge and cannot be told which certificate to accept, so the
// stream answers challenges itself (LoginState) and checks pinned keys itself.
//
// Thread safety: one object per stream, shared with the stream's helper
// threads (a helper left behind may still use it); its state takes its lock.
#pragma once

#include <cstdint>
#include <string>

#include "acquisition/transport/HttpLogin.h"
#include "acquisition/transport/TlsTrust.h"
#include "driver/Mutex.h"

namespace orvella {

class WinInetLogin {
 public:
  using Handle = void*;  // HINTERNET

  // Per-server connection limits for the whole process: many cameras on one
  // recorder must not queue behind WinInet's default of a few connections.
  static void RaiseConnectionLimits();

  // A POST's Content-Type and body, and the connection handle its requests
  // hang from: made by Open, closed with the PostData, which must therefore
  // go after the request Open returned.
  struct PostData {
    std::string contentType;
    std::string body;
    Handle connection = nullptr;

    PostData() = default;
    PostData(const PostData&) = delete;
    PostData& operator=(const PostData&) = delete;
    ~PostData();
  };

  // The camera's trust; takes effect at the next Open.
  void SetTrust(const TlsTrust& trust) ORVELLA_EXCLUDES(lock);

  // Opens `url` as InternetOpenUrlA does (same session, context and
  // thread). ftp URLs go as they are. http and https go without their user
  // info: the credentials answer the server's Basic or Digest challenge (and
  // a stale nonce once more), a https certificate is checked as the trust
  // says on every answer, and with credentials a redirect is followed only
  // within the URL's origin (another raises std::runtime_error with
  // RedirectRefusalText). Returns the handle of the final answer, whatever
  // its status, or raises Win32Exception (a refused certificate names the
  // server's key).
  // `flags`: more INTERNET_FLAG_* for every request. With `post` (http and
  // https only) the requests are POSTs of its body, a redirect is never
  // followed and its answer is returned as any other.
  Handle Open(Handle session, const std::string& url, uintptr_t context, uint32_t flags = 0, PostData* post = nullptr)
      ORVELLA_EXCLUDES(lock);

  // From the status callback as WinInet creates a request handle inside
  // Open: the security flags the trust asks for (none outside Open).
  static void OnHandleCreated(Handle request);

  // The HTTP status of an opened URL; 0 when it has none.
  static long StatusOf(Handle url);
  // The reason of a refused HTTP answer on an opened URL:
  // "File not available (HTTP 404 Not Found)", with the schemes asked for a 401.
  static std::string RefusalText(Handle url);
  // Raises the refusal of an opened URL with that reason: LoginRefused when
  // its request carried our credentials and the answer is 401 or 403.
  [[noreturn]] static void Refuse(Handle url);

 private:
  // An http(s) URL: with a login, redirects within its origin are followed
  // here and one elsewhere is refused (RedirectRefusalText).
  Handle OpenLoggedIn(Handle session, const UrlLogin& login, uintptr_t context, uint32_t flags, PostData* post)
      ORVELLA_EXCLUDES(lock);
  // One URL's answer: challenges answered, the certificate checked as
  // `given` says on every answer.
  Handle OpenAnswered(Handle session, const UrlLogin& login, const TlsTrust& given, uintptr_t context, uint32_t flags,
                      PostData* post) ORVELLA_EXCLUDES(lock);

  Mutex lock;
  TlsTrust trust ORVELLA_GUARDED_BY(lock);
  LoginState state ORVELLA_GUARDED_BY(lock);
};

}  // namespace orvella
