#include "simcam/Secure.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>
#include <thread>
#include <utility>

namespace orvella::simcam {

namespace {

constexpr char kRealm[] = "orvella-simcam";

std::string Base64(const unsigned char* data, size_t size) {
  std::string out(4 * ((size + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data, static_cast<int>(size));
  out.resize(static_cast<size_t>(n));
  return out;
}

std::string HexDigest(const char* algorithm, const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(text.data(), text.size(), digest, &size, EVP_get_digestbyname(algorithm), nullptr);
  std::string hex;
  char pair[3];
  for (unsigned int i = 0; i < size; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    hex += pair;
  }
  return hex;
}

// The value of header `name` (case-insensitive) in `request`, "" if absent.
std::string Header(const std::string& request, const std::string& name) {
  for (size_t at = request.find("\r\n"); at != std::string::npos; at = request.find("\r\n", at + 2)) {
    const size_t start = at + 2;
    if (strncasecmp(request.c_str() + start, (name + ":").c_str(), name.size() + 1) != 0) continue;
    size_t from = request.find_first_not_of(' ', start + name.size() + 1);
    const size_t end = request.find("\r\n", start);
    return from == std::string::npos || from >= end ? "" : request.substr(from, end - from);
  }
  return "";
}

// The name=value and name="value" pairs of a Digest header.
std::map<std::string, std::string> DigestParams(const std::string& header) {
  std::map<std::string, std::string> out;
  size_t at = header.find(' ');
  while (at != std::string::npos && at < header.size()) {
    const size_t eq = header.find('=', at);
    if (eq == std::string::npos) break;
    std::string name = header.substr(at, eq - at);
    name.erase(0, name.find_first_not_of(" ,"));
    std::string value;
    at = eq + 1;
    if (at < header.size() && header[at] == '"') {
      const size_t close = header.find('"', at + 1);
      value = header.substr(at + 1, close - at - 1);
      at = close == std::string::npos ? close : close + 1;
    } else {
      const size_t comma = header.find(',', at);
      value = header.substr(at, comma - at);
      at = comma;
    }
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    out[name] = value;
  }
  return out;
}

std::string NewNonce() {
  unsigned char bytes[16];
  RAND_bytes(bytes, sizeof bytes);
  return Base64(bytes, sizeof bytes);
}

}  // namespace

Login::Login(std::string s, std::string u, std::string p)
    : scheme(std::move(s)), user(std::move(u)), password(std::move(p)), nonce(NewNonce()) {}

std::string Login::Challenge(const std::string& method, const std::string& request) {
  if (scheme.empty()) return "";
  const std::string given = Header(request, "Authorization");
  if (scheme == "basic") {
    const std::string pair = user + ":" + password;
    if (given == "Basic " + Base64(reinterpret_cast<const unsigned char*>(pair.data()), pair.size())) return "";
    return std::string("WWW-Authenticate: Basic realm=\"") + kRealm + "\"\r\n";
  }
  if (given.compare(0, 7, "Digest ") == 0 && DigestAccepted(method, given)) return "";
  std::lock_guard<std::mutex> guard(lock);
  std::string lines;
  for (const char* algorithm : {"SHA-256", "MD5"})
    lines += std::string("WWW-Authenticate: Digest realm=\"") + kRealm + "\", qop=\"auth\", algorithm=" + algorithm +
             ", nonce=\"" + nonce + "\"\r\n";
  return lines;
}

bool Login::DigestAccepted(const std::string& method, const std::string& header) {
  std::map<std::string, std::string> p = DigestParams(header);
  {
    std::lock_guard<std::mutex> guard(lock);
    if (p["nonce"] != nonce) return false;
  }
  const char* algorithm = p["algorithm"] == "SHA-256" ? "SHA256" : "MD5";
  const std::string ha1 = HexDigest(algorithm, user + ":" + kRealm + ":" + password);
  const std::string ha2 = HexDigest(algorithm, method + ":" + p["uri"]);
  const std::string want =
      HexDigest(algorithm, ha1 + ":" + p["nonce"] + ":" + p["nc"] + ":" + p["cnonce"] + ":" + p["qop"] + ":" + ha2);
  return p["username"] == user && p["qop"] == "auth" && p["response"] == want;
}

struct TlsServer::Context {
  SSL_CTX* ssl = nullptr;
  ~Context() { SSL_CTX_free(ssl); }
};

TlsServer::TlsServer() : context(std::make_unique<Context>()) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  if (!key || !cert) throw std::runtime_error("cannot make a TLS key");
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert), 365L * 24 * 3600);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(kRealm), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509_sign(cert, key, EVP_sha256());
  context->ssl = SSL_CTX_new(TLS_server_method());
  const bool ok = context->ssl && SSL_CTX_use_certificate(context->ssl, cert) == 1 &&
                  SSL_CTX_use_PrivateKey(context->ssl, key) == 1;
  unsigned char* der = nullptr;
  const int size = i2d_PUBKEY(key, &der);
  unsigned char digest[32];
  unsigned int digestSize = 0;
  if (size > 0) EVP_Digest(der, static_cast<size_t>(size), digest, &digestSize, EVP_sha256(), nullptr);
  OPENSSL_free(der);
  X509_free(cert);
  EVP_PKEY_free(key);
  if (!ok || digestSize != 32) throw std::runtime_error("cannot set up TLS");
  pin = "sha256//" + Base64(digest, digestSize);
}

TlsServer::~TlsServer() = default;

int TlsServer::Accept(int client) {
  const int one = 1;  // records go out as written: no Nagle wait behind the client's delayed ACK
  setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  SSL* ssl = SSL_new(context->ssl);
  int pair[2];
  if (!ssl || SSL_set_fd(ssl, client) != 1 || SSL_accept(ssl) != 1 || socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) {
    SSL_free(ssl);
    close(client);
    return -1;
  }
  // One thread both ways: an SSL object is not for two threads at once.
  std::thread([ssl, client, plain = pair[1]] {
    char buffer[16384];
    for (;;) {
      pollfd fds[2] = {{client, POLLIN, 0}, {plain, POLLIN, 0}};
      if (SSL_pending(ssl) == 0 && poll(fds, 2, -1) <= 0) break;
      if (SSL_pending(ssl) > 0 || (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
        const int n = SSL_read(ssl, buffer, sizeof buffer);
        if (n <= 0 || send(plain, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n) break;
      }
      if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
        const ssize_t n = recv(plain, buffer, sizeof buffer, 0);
        if (n <= 0 || SSL_write(ssl, buffer, static_cast<int>(n)) != n) break;
      }
    }
    SSL_shutdown(ssl);
    SSL_free(ssl);
    close(client);
    close(plain);
  }).detach();
  return pair[0];
}

}  // namespace orvella::simcam
