// The login mechanisms: Basic and Digest (MD5, SHA-256, their -sess forms,
// qop auth) answers to a 401's challenges. libcurl answers challenges
// itself; WinInet's answers go through LoginState, since Wine's WinInet
// answers no Digest challenge and Windows' would need its security packages.
//
// Thread safety: none; a LoginState belongs to one stream, whose owner
// guards it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "acquisition/transport/HttpAnswer.h"
#include "acquisition/transport/Url.h"

namespace orvella {

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
