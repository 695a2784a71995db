#include "acquisition/rtsp/RtspResolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <stdexcept>
#include <thread>

#include "driver/Mutex.h"

namespace orvella {

namespace {

// Shared by the waiting caller and the helper, which may outlive the wait.
struct Lookup {
  Mutex lock;
  std::condition_variable done;
  bool finished ORVELLA_GUARDED_BY(lock) = false;
  std::string address ORVELLA_GUARDED_BY(lock);
  std::string error ORVELLA_GUARDED_BY(lock);
};

void Resolve(const std::shared_ptr<Lookup>& lookup, const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int r = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  std::string address, error;
  if (r != 0) error = "cannot resolve " + host + ": " + gai_strerror(r);
  for (int family : {AF_INET, AF_INET6}) {
    for (addrinfo* a = found; a && address.empty(); a = a->ai_next) {
      char text[INET6_ADDRSTRLEN] = "";
      if (a->ai_family != family) continue;
      const void* raw = family == AF_INET ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr)
                                          : static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(a->ai_addr)->sin6_addr);
      if (inet_ntop(family, raw, text, sizeof text)) address = family == AF_INET ? text : "[" + std::string(text) + "]";
    }
  }
  if (found) freeaddrinfo(found);
  if (address.empty() && error.empty()) error = "cannot resolve " + host + ": no address";
  {
    MutexLock guard(lookup->lock);
    lookup->finished = true;
    lookup->address = address;
    lookup->error = error;
  }
  lookup->done.notify_all();
}

bool IsNumeric(const std::string& host) {
  unsigned char buffer[16];
  return host.empty() || host[0] == '[' || inet_pton(AF_INET, host.c_str(), buffer) == 1;
}

}  // namespace

std::string ResolveUrlHost(const std::string& url, const std::function<bool()>& giveUp) {
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos || url.compare(0, scheme, "rtsp") != 0) return url;
  const size_t start = scheme + 3;
  const size_t end = url.find_first_of("/?#", start);
  const std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
  const size_t at = authority.rfind('@');
  const size_t hostStart = at == std::string::npos ? 0 : at + 1;
  const size_t colon = authority.find(':', hostStart);
  const std::string host = authority.substr(hostStart, colon == std::string::npos ? std::string::npos : colon - hostStart);
  if (IsNumeric(host)) return url;

  auto lookup = std::make_shared<Lookup>();
  std::thread(Resolve, lookup, host).detach();
  std::string address;
  {
    MutexLock guard(lookup->lock);
    while (!lookup->finished) {
      if (giveUp()) return "";
      guard.WaitUntil(lookup->done, std::chrono::steady_clock::now() + std::chrono::milliseconds(50));
    }
    if (!lookup->error.empty()) throw std::runtime_error(lookup->error);
    address = lookup->address;
  }
  return url.substr(0, start + hostStart) + address + url.substr(start + hostStart + host.size());
}

}  // namespace orvella
