// Logins to cameras: the credentials of an ImageUrl, the challenges of a
// 401 answer, the Basic and Digest (MD5, SHA-256, their -sess forms, qop
// auth) answers to them, and the reason of a refused answer. libcurl answers
// challenges itself; WinInet's answers go through LoginState, since Wine's
// WinInet answers no Digest challenge and Windows' would need its security
// packages.
//
// Thread safety: none; a LoginState belongs to one stream, whose owner
// guards it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace orvella {

// An ImageUrl taken apart: the credentials (percent-decoded) and the URL
// without them, which is what reaches the internet library. The user info
// ends where the masking of log lines says it does (the last '@' before the
// host), so a password holding '#', '/', '?' or '@' logs in rather than
// ending the URL early.
struct UrlLogin {
  std::string url;     // scheme://host[:port]/path?query, no user info
  std::string origin;  // scheme://host:port, lower case, port explicit
  std::string target;  // /path?query as requested
  std::string user, password;
  bool hasCredentials = false;
};
UrlLogin SplitLogin(const std::string& url);

// A login goes only to the scheme, host and port of the URL it came with.
// Whether the absolute URL `target` (a redirect's) is at that origin.
bool SameOrigin(const UrlLogin& login, const std::string& target);
// The absolute URL a redirect's Location names, resolved against the URL
// `base` it answered (a path, a query, "//host/path" or a whole URL).
std::string ResolveLocation(const std::string& base, const std::string& location);
// The reason of a redirect to another origin left unfollowed because the
// URL carries a login: "redirect to http://host:port not followed: ...".
std::string RedirectRefusalText(const std::string& target);

// One challenge of a WWW-Authenticate header; scheme and parameter names in
// lower case, values unquoted.
struct Challenge {
  std::string scheme;
  std::map<std::string, std::string> params;
};
// Every challenge of a header (several may share one, separated by commas).
std::vector<Challenge> ParseChallenges(const std::string& header);
// "Digest or Basic": the schemes of the challenges, for a reason text.
std::string SchemeNames(const std::vector<Challenge>& challenges);

// "File not available (HTTP 404 Not Found)"; for 401 also the schemes asked
// for and where the credentials are. The server's words are kept printable
// and short.
std::string HttpRefusalText(long status, const std::string& phrase, const std::string& schemes);

// The server's words as a reason quotes them (a phrase, a Content-Type):
// printable ASCII, at most 64 characters, no spaces around.
std::string ServerWords(const std::string& text);

// Whether an HTTP status refuses the request (0: no status, as for ftp).
inline bool IsRefusal(long status) { return status != 0 && (status < 200 || status > 299); }
// Raises a refused answer's `reason`: LoginRefused when it refuses a login
// that went out (401 or 403 to a URL with credentials), on which the worker
// waits before trying again; std::runtime_error otherwise.
[[noreturn]] void ThrowRefusal(long status, bool withLogin, const std::string& reason);

// The final answer's status line and challenges, from the header lines of
// every answer in turn as a header callback sees them (interim answers,
// logins and redirects come first; each status line starts afresh).
struct AnswerHeaders {
  long status = 0;
  std::string phrase;                 // the status line's reason phrase
  std::vector<Challenge> challenges;  // its WWW-Authenticate headers

  // One header line; true when it is a status line.
  bool Feed(const char* line, size_t length);
  // HttpRefusalText of this answer.
  std::string RefusalText() const;
  void Clear();
};

// The answer to a Digest challenge (RFC 7616), for tests and LoginState.
std::string DigestAuthorization(const Challenge& challenge, const std::string& user, const std::string& password,
                                const std::string& method, const std::string& target, uint32_t nc,
                                const std::string& cnonce);

// The login of one stream to its camera: what the next request carries and
// what a 401 changes. After a Digest challenge the server's nonce is reused
// with a counting nc, so after the first picture each one costs one request.
class LoginState {
 public:
  using CnonceSource = std::function<std::string()>;
  explicit LoginState(CnonceSource cnonce = nullptr);

  // A download of `login` begins: another origin or other credentials
  // forget what was learnt.
  void Begin(const UrlLogin& login);
  // The Authorization header value for the next request ("" for none).
  // Basic goes out only to an origin that asked for it; with
  // `basicAfterChallengeOnly` only in answer to this download's challenge
  // (its certificate already checked), never ahead of it.
  std::string Authorization(const std::string& method, bool basicAfterChallengeOnly);
  // A 401 answer with these challenges: true when a further request is
  // worth making (the first challenge, a stale nonce, or a refused answer
  // made ahead of the challenge). False forgets the login.
  bool Challenged(const std::vector<Challenge>& challenges, bool sentCredentials);
  void Reset();

 private:
  enum class Scheme { None, Basic, Digest };
  CnonceSource cnonce;
  Scheme scheme = Scheme::None;
  Challenge digest;
  uint32_t nc = 0;
  std::string origin, user, password, target;
  bool hasCredentials = false;
  bool challengedNow = false;   // this download's answer brought the challenge
  bool sentPreemptive = false;  // the last header was made ahead of a challenge
};

}  // namespace orvella
