// clang-format off
#include <windows.h>  // before the headers that build on it
#include <wincrypt.h>
#include <wininet.h>
// clang-format on

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "acquisition/transport/SslChain.h"
#include "acquisition/transport/wininet/WinInetLogin.h"
#include "driver/Errors.h"

namespace orvella {

namespace {

constexpr DWORD kIgnoreCertificate = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                                     SECURITY_FLAG_IGNORE_CERT_DATE_INVALID | SECURITY_FLAG_IGNORE_REVOCATION |
                                     SECURITY_FLAG_IGNORE_WRONG_USAGE;
// Requests after a 401: the first challenge, a stale nonce.
constexpr int kMaxRequests = 3;
// Redirects followed for a URL with a login, within its origin.
constexpr int kMaxRedirects = 10;

// The security flags for the request InternetOpenUrlA creates on this thread
// (its status callback runs on the calling thread, before the request goes out).
thread_local DWORD pendingSecurityFlags = 0;

bool IsCertificateError(DWORD error) {
  switch (error) {
    case ERROR_INTERNET_INVALID_CA:
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
    case ERROR_INTERNET_SEC_CERT_CN_INVALID:
    case ERROR_INTERNET_SEC_CERT_ERRORS:
    case ERROR_INTERNET_SEC_CERT_NO_REV:
    case ERROR_INTERNET_SEC_CERT_REV_FAILED:
    case ERROR_INTERNET_SEC_INVALID_CERT:
    case ERROR_INTERNET_SEC_CERT_REVOKED:
      return true;
    default:
      return false;
  }
}

// `flags` INTERNET_FLAG_NO_AUTH for a URL with credentials: they are answered
// by us alone, WinInet must never answer a challenge itself.
HINTERNET OpenOnce(HINTERNET session, const std::string& url, const std::string& authorization, DWORD flags,
                   DWORD security, DWORD_PTR context) {
  std::string headers;
  if (!authorization.empty()) headers = "Authorization: " + authorization + "\r\n";
  pendingSecurityFlags = security;
  // No cookie engine, as on Linux (libcurl's is off): a picture URL needs
  // none, and under Wine looking cookies up took more than half of a request.
  HINTERNET handle = InternetOpenUrlA(session, url.c_str(), headers.empty() ? nullptr : headers.c_str(),
                                      static_cast<DWORD>(headers.size()), flags | INTERNET_FLAG_NO_COOKIES, context);
  const DWORD error = GetLastError();
  pendingSecurityFlags = 0;
  SetLastError(error);
  return handle;
}

// "host" of "https://host:port" (an IPv6 address without its brackets).
std::string HostName(const std::string& origin) {
  std::string host = origin.substr(origin.find("://") + 3);
  host = host.substr(0, host.rfind(':'));
  if (host.size() > 1 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  return host;
}

// A POST: InternetOpenUrlA makes GETs only. The body goes with every
// request, the retries after a challenge too; the requests hang from one
// connection handle, made at the first and kept in `post`.
HINTERNET PostOnce(HINTERNET session, const UrlLogin& login, const std::string& authorization, DWORD flags,
                   DWORD security, DWORD_PTR context, WinInetLogin::PostData& post) {
  const bool https = login.origin.rfind("https://", 0) == 0;
  if (!post.connection) {
    const auto port =
        static_cast<INTERNET_PORT>(std::strtoul(login.origin.substr(login.origin.rfind(':') + 1).c_str(), nullptr, 10));
    post.connection =
        InternetConnectA(session, HostName(login.origin).c_str(), port, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
    if (!post.connection) return nullptr;
  }
  pendingSecurityFlags = security;
  HINTERNET request = HttpOpenRequestA(
      post.connection, "POST", login.target.c_str(), nullptr, nullptr, nullptr,
      flags | INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_KEEP_CONNECTION | (https ? INTERNET_FLAG_SECURE : 0), context);
  pendingSecurityFlags = 0;
  if (!request) return nullptr;
  std::string headers = "Content-Type: " + post.contentType + "\r\n";
  if (!authorization.empty()) headers += "Authorization: " + authorization + "\r\n";
  if (HttpSendRequestA(request, headers.c_str(), static_cast<DWORD>(headers.size()), &post.body[0],
                       static_cast<DWORD>(post.body.size())))
    return request;
  const DWORD error = GetLastError();
  InternetCloseHandle(request);
  SetLastError(error);
  return nullptr;
}

// Every WWW-Authenticate header of the answer.
std::vector<Challenge> ChallengesOf(HINTERNET url) {
  std::vector<Challenge> out;
  for (DWORD index = 0;;) {
    char text[2048] = "";
    DWORD length = sizeof text;
    if (!HttpQueryInfoA(url, HTTP_QUERY_WWW_AUTHENTICATE, text, &length, &index)) break;
    for (Challenge& c : ParseChallenges(std::string(text, length))) out.push_back(std::move(c));
  }
  return out;
}

// The server key of an answer received over TLS; "" when there is none.
std::string KeyPinOf(HINTERNET url) {
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  DWORD size = sizeof chain;
  if (!InternetQueryOptionA(url, INTERNET_OPTION_SERVER_CERT_CHAIN_CONTEXT, &chain, &size) || !chain) return "";
  std::string pin;
  if (chain->cChain > 0 && chain->rgpChain[0]->cElement > 0) {
    PCCERT_CONTEXT leaf = chain->rgpChain[0]->rgpElement[0]->pCertContext;
    pin = KeyPinOfCertificate(leaf->pbCertEncoded, leaf->cbCertEncoded);
  }
  CertFreeCertificateChain(chain);
  return pin;
}

// The key of a server whose certificate WinInet refused: Wine gives the
// certificate only with an answer, so ask once more accepting any
// certificate, without credentials, and read none of the answer.
std::string ProbeKey(HINTERNET session, const std::string& url, DWORD_PTR context) {
  HINTERNET probe = OpenOnce(session, url, "", INTERNET_FLAG_NO_AUTH, kIgnoreCertificate, context);
  if (!probe) return "";
  const std::string pin = KeyPinOf(probe);
  InternetCloseHandle(probe);
  return pin;
}

// The URL an answer came from ("" when WinInet does not say).
std::string UrlOf(HINTERNET url) {
  char text[INTERNET_MAX_URL_LENGTH] = "";
  DWORD length = sizeof text;
  if (!InternetQueryOptionA(url, INTERNET_OPTION_URL, text, &length)) return "";
  return std::string(text, strnlen(text, sizeof text));
}

// WinInet's error for a chain policy's verdict, so a camera reads the words
// WinInet's own check would give.
DWORD InternetErrorOf(DWORD policyError) {
  switch (policyError) {
    case static_cast<DWORD>(CERT_E_UNTRUSTEDROOT):
    case static_cast<DWORD>(CERT_E_UNTRUSTEDCA):
    case static_cast<DWORD>(CERT_E_CHAINING):
      return ERROR_INTERNET_INVALID_CA;
    case static_cast<DWORD>(CERT_E_CN_NO_MATCH):
      return ERROR_INTERNET_SEC_CERT_CN_INVALID;
    case static_cast<DWORD>(CERT_E_EXPIRED):
      return ERROR_INTERNET_SEC_CERT_DATE_INVALID;
    case static_cast<DWORD>(CERT_E_REVOKED):
    case static_cast<DWORD>(CRYPT_E_REVOKED):
      return ERROR_INTERNET_SEC_CERT_REVOKED;
    default:
      return ERROR_INTERNET_SEC_INVALID_CERT;
  }
}

// 0 when the system trusts the certificate of an answer from `origin` and
// it names that host, else WinInet's error. WinInet checks only connections it
// opens for the request: a kept one, opened for a request that ignored
// certificate errors (a pinned camera, a refused one's key), passes unchecked.
DWORD SystemTrustError(HINTERNET url, const std::string& origin) {
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  DWORD size = sizeof chain;
  if (!InternetQueryOptionA(url, INTERNET_OPTION_SERVER_CERT_CHAIN_CONTEXT, &chain, &size) || !chain)
    return ERROR_INTERNET_SEC_INVALID_CERT;
  const DWORD error = SslPolicyError(chain, HostName(origin));
  CertFreeCertificateChain(chain);
  return error == 0 ? 0 : InternetErrorOf(error);
}

std::string ErrorWords(DWORD error) {
  char text[512] = "";
  platform::ErrorText(error, Win32Exception::Kind::Internet, text, sizeof text);
  return text[0] ? text : "error " + std::to_string(error);
}

// Raises unless the camera's trust accepts the certificate of an https
// answer, whatever connection carried it.
void CheckTrust(HINTERNET url, const TlsTrust& trust, const std::string& requested) {
  if (trust.mode == TlsTrust::Mode::Any) return;
  std::string where = UrlOf(url);
  if (where.empty()) where = requested;
  const std::string origin = SplitLogin(where).origin;
  if (origin.rfind("https://", 0) != 0) return;
  if (trust.mode == TlsTrust::Mode::Pin) {
    const std::string pin = KeyPinOf(url);
    if (!trust.Accepts(pin))
      throw Win32Exception(ERROR_INTERNET_SEC_INVALID_CERT, Win32Exception::Kind::Internet,
                           TlsRefusalText("the camera's key is not the one TlsTrust names", pin));
    return;
  }
  if (const DWORD error = SystemTrustError(url, origin))
    throw Win32Exception(error, Win32Exception::Kind::Internet, TlsRefusalText(ErrorWords(error), KeyPinOf(url)));
}

// The absolute URL a redirect answer names; "" for any other answer.
std::string RedirectTarget(HINTERNET url, const std::string& requested) {
  switch (WinInetLogin::StatusOf(url)) {
    case 301:
    case 302:
    case 303:
    case 307:
    case 308:
      break;
    default:
      return "";
  }
  char text[2048] = "";
  DWORD length = sizeof text;
  if (!HttpQueryInfoA(url, HTTP_QUERY_LOCATION, text, &length, nullptr)) return "";
  return ResolveLocation(requested, std::string(text, length));
}

}  // namespace

void WinInetLogin::RaiseConnectionLimits() {
  static std::once_flag once;
  std::call_once(once, [] {
    DWORD many = 64;
    InternetSetOptionA(nullptr, INTERNET_OPTION_MAX_CONNS_PER_SERVER, &many, sizeof many);
    InternetSetOptionA(nullptr, INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER, &many, sizeof many);
  });
}

void WinInetLogin::SetTrust(const TlsTrust& given) {
  ScopedLock<Mutex> hold(lock);
  trust = given;
}

void WinInetLogin::OnHandleCreated(Handle request) {
  if (pendingSecurityFlags == 0) return;
  DWORD flags = 0;
  DWORD size = sizeof flags;
  InternetQueryOptionA(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, &size);
  flags |= pendingSecurityFlags;
  InternetSetOptionA(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, sizeof flags);
}

WinInetLogin::PostData::~PostData() {
  if (connection) InternetCloseHandle(connection);
}

WinInetLogin::Handle WinInetLogin::Open(Handle session, const std::string& url, uintptr_t context, uint32_t flags,
                                        PostData* post) {
  const UrlLogin login = SplitLogin(url);
  if (!IsHttpUrl(url)) {
    HINTERNET handle = InternetOpenUrlA(session, url.c_str(), nullptr, 0, flags | INTERNET_FLAG_NO_COOKIES, context);
    if (!handle) throw Win32Exception();
    return handle;
  }
  return OpenLoggedIn(session, login, context, flags, post);
}

WinInetLogin::Handle WinInetLogin::OpenLoggedIn(Handle session, const UrlLogin& login, uintptr_t context,
                                                uint32_t flags, PostData* post) {
  TlsTrust given;
  {
    ScopedLock<Mutex> hold(lock);
    given = trust;
  }
  // A POST follows no redirect: WinInet would go on with a GET.
  if (post) return OpenAnswered(session, login, given, context, flags | INTERNET_FLAG_NO_AUTO_REDIRECT, post);
  if (!login.hasCredentials) return OpenAnswered(session, login, given, context, flags, nullptr);
  // WinInet would follow a redirect with our Authorization header to any
  // server: with a login we follow them ourselves, within the origin only,
  // to the origin as we read it.
  UrlLogin at = login;
  for (int redirects = 0;; ++redirects) {
    HINTERNET handle = OpenAnswered(session, at, given, context, flags | INTERNET_FLAG_NO_AUTO_REDIRECT, nullptr);
    const std::string target = RedirectTarget(handle, at.url);
    if (target.empty() || redirects == kMaxRedirects) return handle;
    InternetCloseHandle(handle);
    const UrlLogin next = SplitLogin(target);
    if (next.origin != login.origin) throw std::runtime_error(RedirectRefusalText(target));
    at.url = next.origin + next.target;
    at.target = next.target;
  }
}

WinInetLogin::Handle WinInetLogin::OpenAnswered(Handle session, const UrlLogin& login, const TlsTrust& given,
                                                uintptr_t context, uint32_t flags, PostData* post) {
  {
    ScopedLock<Mutex> hold(lock);
    state.Begin(login);
  }
  const bool https = login.origin.rfind("https://", 0) == 0;
  const bool pinned = https && given.mode == TlsTrust::Mode::Pin;
  const DWORD security = https && given.mode != TlsTrust::Mode::System ? kIgnoreCertificate : 0;
  for (int request = 1;; ++request) {
    std::string authorization;
    {
      ScopedLock<Mutex> hold(lock);
      // With a pin, WinInet's check passes any certificate: Basic waits for
      // an answer whose key we have seen.
      authorization = state.Authorization(post ? "POST" : "GET", pinned);
    }
    const DWORD requestFlags = flags | (login.hasCredentials ? INTERNET_FLAG_NO_AUTH : 0);
    HINTERNET handle = post ? PostOnce(session, login, authorization, requestFlags, security, context, *post)
                            : OpenOnce(session, login.url, authorization, requestFlags, security, context);
    if (!handle) {
      const DWORD error = GetLastError();
      if (!https || !IsCertificateError(error)) throw Win32Exception(error);
      const std::string cause = ErrorWords(error);
      throw Win32Exception(error, Win32Exception::Kind::Internet,
                           TlsRefusalText(cause, ProbeKey(session, login.url, context)));
    }
    try {
      CheckTrust(handle, given, login.url);
    } catch (...) {
      InternetCloseHandle(handle);
      throw;
    }
    if (StatusOf(handle) != 401 || request == kMaxRequests) return handle;
    bool again = false;
    {
      ScopedLock<Mutex> hold(lock);
      again = state.Challenged(ChallengesOf(handle), !authorization.empty());
    }
    if (!again) return handle;
    InternetCloseHandle(handle);  // a small body: WinInet reads it and keeps the connection
  }
}

long WinInetLogin::StatusOf(Handle url) {
  char text[32] = "";
  DWORD length = sizeof text;
  if (!HttpQueryInfoA(url, HTTP_QUERY_STATUS_CODE, text, &length, nullptr)) return 0;
  return std::strtol(text, nullptr, 10);
}

std::string WinInetLogin::RefusalText(Handle url) {
  char phrase[128] = "";
  DWORD length = sizeof phrase;
  if (!HttpQueryInfoA(url, HTTP_QUERY_STATUS_TEXT, phrase, &length, nullptr)) phrase[0] = '\0';
  const long status = StatusOf(url);
  return HttpRefusalText(status, phrase, status == 401 ? SchemeNames(ChallengesOf(url)) : "");
}

void WinInetLogin::Refuse(Handle url) {
  // Our Authorization header, if the last request carried one (WinInet's
  // own logins are off whenever the URL has credentials).
  char header[16] = "";
  DWORD length = sizeof header;
  const bool sent =
      HttpQueryInfoA(url, HTTP_QUERY_AUTHORIZATION | HTTP_QUERY_FLAG_REQUEST_HEADERS, header, &length, nullptr) ||
      GetLastError() == ERROR_INSUFFICIENT_BUFFER;
  ThrowRefusal(StatusOf(url), sent, RefusalText(url));
}

}  // namespace orvella
