#include "acquisition/transport/HttpLogin.h"

#include <cstdio>
#include <random>

#include "acquisition/transport/Hash.h"
#include "driver/Text.h"

namespace orvella {

namespace {

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
  std::string algorithm = AsciiLower(Param(c, "algorithm"));
  if (algorithm.empty()) algorithm = "md5";
  const std::string qop = AsciiLower(Param(c, "qop"));
  if (!qop.empty() && qop.find("auth") == std::string::npos) return 0;
  if (AsciiLower(Param(c, "userhash")) == "true") return 0;
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

std::string DigestAuthorization(const Challenge& c, const std::string& user, const std::string& password,
                                const std::string& method, const std::string& target, uint32_t nc,
                                const std::string& cnonce) {
  std::string algorithm = Param(c, "algorithm");
  if (algorithm.empty()) algorithm = "MD5";
  const bool sha = AsciiLower(algorithm).rfind("sha-256", 0) == 0;
  const bool sess = AsciiLower(algorithm).find("-sess") != std::string::npos;
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
  const bool stale = AsciiLower(Param(*best, "stale")) == "true";
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

}  // namespace orvella
