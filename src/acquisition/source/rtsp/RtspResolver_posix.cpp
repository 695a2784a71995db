#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include "acquisition/source/rtsp/RtspResolver.h"

namespace orvella::rtsp_resolver {

std::vector<std::string> LookUp(const std::string& host, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int r = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (r != 0) error = gai_strerror(r);
  std::vector<std::string> addresses;
  for (addrinfo* a = found; a; a = a->ai_next) {
    char text[INET6_ADDRSTRLEN] = "";
    const bool v4 = a->ai_family == AF_INET;
    if (!v4 && a->ai_family != AF_INET6) continue;
    const void* raw = v4 ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr)
                         : static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(a->ai_addr)->sin6_addr);
    if (inet_ntop(a->ai_family, raw, text, sizeof text)) addresses.push_back(v4 ? text : "[" + std::string(text) + "]");
  }
  if (found) freeaddrinfo(found);
  return addresses;
}

}  // namespace orvella::rtsp_resolver
