// A camera's HTTP answer as the transports read it: the status line, the
// challenges of a 401, the content type and length, whether it is a picture
// stream and its multipart boundary, and the reason a refusal gives.
//
// Thread safety: none; an AnswerHeaders belongs to the transfer reading it.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace orvella {

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
inline bool IsRefusal(long status) {
  return status != 0 && (status < 200 || status > 299);
}
// The same for a POST's answer: 400 and 500 carry a SOAP fault, read as
// the answer.
inline bool IsPostRefusal(long status) {
  return IsRefusal(status) && status != 400 && status != 500;
}
// Raises a refused answer's `reason`: LoginRefused when it refuses a login
// that went out (401 or 403 to a URL with credentials), on which the worker
// waits before trying again; std::runtime_error otherwise.
[[noreturn]] void ThrowRefusal(long status, bool withLogin, const std::string& reason);

// The final answer's status line, challenges, content type and length, from the header lines of
// every answer in turn as a header callback sees them (interim answers,
// logins and redirects come first; each status line starts afresh).
struct AnswerHeaders {
  long status = 0;
  std::string phrase;                 // the status line's reason phrase
  std::vector<Challenge> challenges;  // its WWW-Authenticate headers
  std::string contentType;            // its Content-Type, as sent ("" for none)
  long long contentLength = -1;       // its Content-Length, -1 for none

  // One header line; true when it is a status line.
  bool Feed(const char* line, size_t length);
  // HttpRefusalText of this answer.
  std::string RefusalText() const;
  void Clear();
};

// True when a Content-Type value names a stream of pictures that replace one
// another (multipart/x-mixed-replace), whatever its case and parameters.
bool IsPictureStreamType(const std::string& contentType);

// The boundary parameter of a Content-Type value, unquoted; "" when none.
std::string BoundaryOf(const std::string& contentType);

// ASCII lower case.
std::string AsciiLower(std::string text);

}  // namespace orvella
