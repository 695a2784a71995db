// What the simulated camera asks of a client before it gets a picture: a
// Basic or Digest login (--auth), and TLS with a self-signed certificate made
// at start (--tls). Digest answers are checked with OpenSSL's digests, apart
// from the driver's own code, so the two check each other.
#pragma once

#include <memory>
#include <mutex>
#include <string>

namespace orvella::simcam {

class Login {
 public:
  // `scheme` "" (no login), "basic" or "digest".
  Login(std::string scheme, std::string user, std::string password);

  // "" when the request (its line and headers as received) may be served;
  // otherwise the WWW-Authenticate header lines of the 401 answer to it.
  std::string Challenge(const std::string& method, const std::string& request);

 private:
  bool DigestAccepted(const std::string& method, const std::string& header);

  const std::string scheme, user, password;
  std::mutex lock;
  std::string nonce;  // guarded by lock: the current one
};

class TlsServer {
 public:
  TlsServer();  // a new key and a certificate for "orvella-simcam"; throws on failure
  ~TlsServer();
  TlsServer(const TlsServer&) = delete;
  TlsServer& operator=(const TlsServer&) = delete;

  // The certificate's key as TlsTrust takes it: "sha256//<base64>".
  const std::string& KeyPin() const { return pin; }

  // Runs the handshake on `client` (which it then owns) and returns one end
  // of a socket pair carrying the plain bytes, pumped by a thread of its own
  // until either side closes; -1 when the handshake fails.
  int Accept(int client);

 private:
  struct Context;
  std::unique_ptr<Context> context;
  std::string pin;
};

}  // namespace orvella::simcam
