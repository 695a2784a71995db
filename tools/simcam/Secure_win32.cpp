#include "simcam/Secure.h"

#include <stdexcept>

namespace orvella::simcam {

// The logins and TLS of the simulated camera use OpenSSL, which the Linux
// tools link; on Windows the camera serves plain HTTP only.
Login::Login(std::string s, std::string u, std::string p)
    : scheme(std::move(s)), user(std::move(u)), password(std::move(p)) {
  if (!scheme.empty()) throw std::runtime_error("--auth needs the Linux simulated camera");
}

std::string Login::Challenge(const std::string&, const std::string&) { return ""; }

bool Login::DigestAccepted(const std::string&, const std::string&) { return false; }

struct TlsServer::Context {};

TlsServer::TlsServer() { throw std::runtime_error("--tls needs the Linux simulated camera"); }

TlsServer::~TlsServer() = default;

int TlsServer::Accept(int) { return -1; }

}  // namespace orvella::simcam
