#include "acquisition/transport/HttpLogin.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <random>

#include "acquisition/transport/Hash.h"
#include "driver/Errors.h"
#include "driver/Text.h"

namespace orvella {

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The server's words in a reason: printable ASCII, at most 64 characters.
std::string Tidy(const std::string& text) {
  std::string out;
  for (char c : text)
    if (c >= 0x20 && c < 0x7F && out.size() < 64) out += c;
  while (!out.empty() && out.back() == ' ') out.pop_back();
  while (!out.empty() && out.front() == ' ') out.erase(0, 1);
  return out;
}

bool IsTokenChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

struct Cursor {
  const std::string& text;
  size_t at = 0;
  void SkipSpace() {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
  }
  std::string Token() {
    SkipSpace();
    size_t from = at;
    while (at < text.size() && IsTokenChar(text[at])) ++at;
    return text.substr(from, at - from);
  }
  std::string Quoted() {  // after the opening quote
    std::string out;
    for (++at; at < text.size() && text[at] != '"'; ++at) {
      if (text[at] == '\\' && at + 1 < text.size()) ++at;
      out += text[at];
    }
    ++at;
    return out;
  }
};

std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string Param(const Challenge& c, const char* name) {
  auto it = c.params.find(name);
  return it == c.params.end() ? "" : it->second;
}

// Digest algorithms we answer, best first: "SHA-256", "MD5", their "-sess".
int DigestRank(const Challenge& c) {
  std::string algorithm = Lower(Param(c, "algorithm"));
  if (algorithm.empty()) algorithm = "md5";
  const std::string qop = Lower(Param(c, "qop"));
  if (!qop.empty() && qop.find("auth") == std::string::npos) return 0;
  if (Lower(Param(c, "userhash")) == "true") return 0;
  if (algorithm == "sha-256" || algorithm == "sha-256-sess") return 3;
  if (algorithm == "md5" || algorithm == "md5-sess") return 2;
  return 0;
}

// Digest first (the strongest algorithm), then Basic; null when none fits.
const Challenge* Best(const std::vector<Challenge>& challenges) {
  const Challenge* best = nullptr;
  int bestRank = 0;
  for (const Challenge& c : challenges) {
    int rank = EqualsNoCase(c.scheme.c_str(), "Digest") ? DigestRank(c) : 0;
    if (EqualsNoCase(c.scheme.c_str(), "Basic")) rank = 1;
    if (rank > bestRank) {
      best = &c;
      bestRank = rank;
    }
  }
  return best;
}

std::string RandomCnonce() {
  std::random_device random;
  char text[17];
  std::snprintf(text, sizeof text, "%08x%08x", random(), random());
  return text;
}

}  // namespace

UrlLogin SplitLogin(const std::string& url) {
  UrlLogin login;
  login.url = url;
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos) return login;
  const auto info = UserInfoRange(url);
  const size_t hostStart = info.first != info.second ? info.second + 1 : scheme + 3;
  size_t hostEnd = url.find_first_of("/?#\\", hostStart);
  if (hostEnd == std::string::npos) hostEnd = url.size();
  if (info.first != info.second) {
    const std::string userInfo = url.substr(info.first, info.second - info.first);
    const size_t colon = userInfo.find(':');
    login.user = PercentDecoded(userInfo.substr(0, colon));
    if (colon != std::string::npos) login.password = PercentDecoded(userInfo.substr(colon + 1));
    login.hasCredentials = true;
    login.url = url.substr(0, scheme + 3) + url.substr(hostStart);
  }
  const std::string name = Lower(url.substr(0, scheme));
  std::string host = Lower(url.substr(hostStart, hostEnd - hostStart));
  if (host.find(':', host.rfind(']') == std::string::npos ? 0 : host.rfind(']')) == std::string::npos)
    host += name == "https"   ? ":443"
            : name == "ftp"   ? ":21"
            : name == "rtsp"  ? ":554"
            : name == "rtsps" ? ":322"
                              : ":80";
  login.origin = name + "://" + host;
  std::string target = url.substr(hostEnd);
  target = target.substr(0, target.find('#'));
  login.target = target.empty() || target[0] != '/' ? "/" + target : target;
  return login;
}

bool SameOrigin(const UrlLogin& login, const std::string& target) {
  return SplitLogin(target).origin == login.origin;
}

std::string ResolveLocation(const std::string& base, const std::string& location) {
  std::string ref = location.substr(0, location.find('#'));
  while (!ref.empty() && (ref.back() == ' ' || ref.back() == '\t')) ref.pop_back();
  ref.erase(0, std::min(ref.find_first_not_of(" \t"), ref.size()));
  const size_t colon = ref.find(':');
  if (colon != std::string::npos && colon > 0 && std::isalpha(static_cast<unsigned char>(ref[0])) &&
      ref.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.") == colon)
    return ref;  // a whole URL
  const size_t scheme = base.find("://");
  if (scheme == std::string::npos) return ref;
  if (ref.rfind("//", 0) == 0) return base.substr(0, scheme + 1) + ref;
  size_t authorityEnd = base.find_first_of("/?#\\", scheme + 3);
  if (authorityEnd == std::string::npos) authorityEnd = base.size();
  const std::string root = base.substr(0, authorityEnd);
  std::string path = base.substr(authorityEnd);
  path = path.substr(0, path.find_first_of("?#"));
  if (path.empty()) path = "/";
  if (ref.empty()) return root + base.substr(authorityEnd, base.find('#', authorityEnd) - authorityEnd);
  if (ref[0] == '/') return root + ref;
  if (ref[0] == '?') return root + path + ref;
  return root + path.substr(0, path.rfind('/') + 1) + ref;
}

std::string RedirectRefusalText(const std::string& target) {
  return "redirect to " + Tidy(SplitLogin(target).origin) +
         " not followed: the camera's login goes only to its own address";
}

std::vector<Challenge> ParseChallenges(const std::string& header) {
  std::vector<Challenge> out;
  Cursor cur{header};
  while (cur.at < header.size()) {
    cur.SkipSpace();
    if (cur.at < header.size() && header[cur.at] == ',') {
      ++cur.at;
      continue;
    }
    const size_t before = cur.at;
    std::string token = cur.Token();
    if (token.empty()) {
      ++cur.at;  // a character no token holds
      continue;
    }
    cur.SkipSpace();
    if (cur.at < header.size() && header[cur.at] == '=' && !out.empty()) {
      ++cur.at;  // a parameter of the challenge before
      cur.SkipSpace();
      std::string value = cur.at < header.size() && header[cur.at] == '"' ? cur.Quoted() : cur.Token();
      out.back().params[Lower(token)] = value;
    } else if (cur.at < header.size() && header[cur.at] == '=') {
      cur.at = before + token.size() + 1;  // a parameter without a challenge: skip it
    } else {
      out.push_back(Challenge{token, {}});
    }
  }
  return out;
}

std::string SchemeNames(const std::vector<Challenge>& challenges) {
  std::string names;
  for (const Challenge& c : challenges) {
    const std::string name = Tidy(c.scheme);
    if (name.empty() || (" " + names + " ").find(" " + name + " ") != std::string::npos) continue;
    names += (names.empty() ? "" : " or ") + name;
  }
  return names;
}

namespace {
// "HTTP/1.1 404 Not Found": true for a status line; then `code` is its
// status and `phrase` the offset of its reason phrase (line end included).
bool ParseStatusLine(const char* data, size_t length, long& code, size_t& phrase) {
  if (length <= 5 || std::memcmp(data, "HTTP/", 5) != 0) return false;
  size_t i = 5;
  while (i < length && data[i] != ' ') ++i;
  while (i < length && data[i] == ' ') ++i;
  code = 0;
  while (i < length && data[i] >= '0' && data[i] <= '9' && code < 100000) code = code * 10 + (data[i++] - '0');
  phrase = i;
  return true;
}

bool StartsNoCase(const char* line, size_t length, const char* prefix, size_t prefixLength) {
  if (length < prefixLength) return false;
  for (size_t i = 0; i < prefixLength; ++i)
    if (std::tolower(static_cast<unsigned char>(line[i])) != prefix[i]) return false;
  return true;
}
}  // namespace

bool AnswerHeaders::Feed(const char* line, size_t length) {
  size_t at = 0;
  if (ParseStatusLine(line, length, status, at)) {
    phrase.assign(line + at, length - at);
    challenges.clear();
    return true;
  }
  constexpr char kAuthenticate[] = "www-authenticate:";
  constexpr size_t kAuthenticateLength = sizeof kAuthenticate - 1;
  if (StartsNoCase(line, length, kAuthenticate, kAuthenticateLength))
    for (Challenge& c : ParseChallenges(std::string(line + kAuthenticateLength, length - kAuthenticateLength)))
      challenges.push_back(std::move(c));
  return false;
}

std::string AnswerHeaders::RefusalText() const {
  return HttpRefusalText(status, phrase, SchemeNames(challenges));
}

void AnswerHeaders::Clear() {
  status = 0;
  phrase.clear();
  challenges.clear();
}

void ThrowRefusal(long status, bool withLogin, const std::string& reason) {
  if (withLogin && (status == 401 || status == 403)) throw LoginRefused(reason);
  throw std::runtime_error(reason);
}

std::string HttpRefusalText(long status, const std::string& phrase, const std::string& schemes) {
  std::string text = "File not available (HTTP " + std::to_string(status);
  const std::string words = Tidy(phrase);
  if (!words.empty()) text += " " + words;
  if (status == 401) {
    const std::string asked = Tidy(schemes);
    if (!asked.empty()) text += ": the camera asks for " + asked;
    text += "; check the user name and password in ImageUrl";
  }
  return text + ")";
}

std::string DigestAuthorization(const Challenge& c, const std::string& user, const std::string& password,
                                const std::string& method, const std::string& target, uint32_t nc,
                                const std::string& cnonce) {
  std::string algorithm = Param(c, "algorithm");
  if (algorithm.empty()) algorithm = "MD5";
  const bool sha = Lower(algorithm).rfind("sha-256", 0) == 0;
  const bool sess = Lower(algorithm).find("-sess") != std::string::npos;
  auto hash = [sha](const std::string& text) {
    return sha ? Hex(Sha256(text.data(), text.size())) : Hex(Md5(text.data(), text.size()));
  };
  const std::string realm = Param(c, "realm"), nonce = Param(c, "nonce"), opaque = Param(c, "opaque");
  const bool qop = !Param(c, "qop").empty();
  char count[9];
  std::snprintf(count, sizeof count, "%08x", static_cast<unsigned>(nc));
  std::string ha1 = hash(user + ":" + realm + ":" + password);
  if (sess) ha1 = hash(ha1 + ":" + nonce + ":" + cnonce);
  const std::string ha2 = hash(method + ":" + target);
  const std::string response =
      qop ? hash(ha1 + ":" + nonce + ":" + count + ":" + cnonce + ":auth:" + ha2) : hash(ha1 + ":" + nonce + ":" + ha2);
  std::string header = "Digest username=" + Quote(user) + ", realm=" + Quote(realm) + ", nonce=" + Quote(nonce) +
                       ", uri=" + Quote(target) + ", algorithm=" + algorithm + ", response=" + Quote(response);
  if (qop) header += std::string(", qop=auth, nc=") + count + ", cnonce=" + Quote(cnonce);
  if (!opaque.empty()) header += ", opaque=" + Quote(opaque);
  return header;
}

LoginState::LoginState(CnonceSource source) : cnonce(source ? std::move(source) : RandomCnonce) {}

void LoginState::Begin(const UrlLogin& login) {
  if (login.origin != origin || login.user != user || login.password != password ||
      login.hasCredentials != hasCredentials) {
    Reset();
    origin = login.origin;
    user = login.user;
    password = login.password;
    hasCredentials = login.hasCredentials;
  }
  target = login.target;
  challengedNow = false;
}

std::string LoginState::Authorization(const std::string& method, bool basicAfterChallengeOnly) {
  sentPreemptive = false;
  if (!hasCredentials || scheme == Scheme::None) return "";
  if (scheme == Scheme::Basic) {
    if (basicAfterChallengeOnly && !challengedNow) return "";
    const std::string pair = user + ":" + password;
    sentPreemptive = !challengedNow;
    return "Basic " + Base64(pair.data(), pair.size());
  }
  sentPreemptive = !challengedNow;
  return DigestAuthorization(digest, user, password, method, target, ++nc, cnonce());
}

bool LoginState::Challenged(const std::vector<Challenge>& challenges, bool sentCredentials) {
  const Challenge* best = hasCredentials ? Best(challenges) : nullptr;
  if (!best) {
    Reset();
    return false;
  }
  const bool stale = Lower(Param(*best, "stale")) == "true";
  if (sentCredentials && !stale && !sentPreemptive) {
    Reset();  // refused although answered afresh: wrong credentials
    return false;
  }
  scheme = EqualsNoCase(best->scheme.c_str(), "Basic") ? Scheme::Basic : Scheme::Digest;
  digest = *best;
  nc = 0;
  challengedNow = true;
  return true;
}

void LoginState::Reset() {
  scheme = Scheme::None;
  digest = Challenge{};
  nc = 0;
  challengedNow = false;
  sentPreemptive = false;
}

std::string ServerWords(const std::string& text) {
  return Tidy(text);
}

}  // namespace orvella
