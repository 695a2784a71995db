// A camera URL's login: the credentials of an ImageUrl apart from the URL,
// its origin, and the rule that a login goes only to that origin (redirects).
#pragma once

#include <string>

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

}  // namespace orvella
