// Winsock's look-up, blocking like the POSIX one: the shared helper thread
// makes it one a close can walk away from, on both products alike.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "acquisition/source/rtsp/RtspResolver.h"

namespace orvella::rtsp_resolver {

std::vector<std::string> LookUp(const std::string& host, std::string& error) {
  // Once per process and never undone: a look-up may outlive whoever asked.
  static const int started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
  }();
  if (started != 0) {
    error = "Winsock could not be started";
    return {};
  }
  ADDRINFOA hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  ADDRINFOA* found = nullptr;
  const int r = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (r != 0) error = gai_strerrorA(r);
  std::vector<std::string> addresses;
  for (ADDRINFOA* a = found; a; a = a->ai_next) {
    char text[NI_MAXHOST] = "";
    if (a->ai_family != AF_INET && a->ai_family != AF_INET6) continue;
    if (getnameinfo(a->ai_addr, static_cast<socklen_t>(a->ai_addrlen), text, sizeof text, nullptr, 0,
                    NI_NUMERICHOST) == 0)
      addresses.push_back(a->ai_family == AF_INET ? text : "[" + std::string(text) + "]");
  }
  if (found) freeaddrinfo(found);
  return addresses;
}

}  // namespace orvella::rtsp_resolver
