#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "samplehost/ProbeSocket.h"

namespace orvella::host {

namespace {

sockaddr_in Destination(const std::string& address, int port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = inet_addr(address.c_str());
  to.sin_port = htons(static_cast<uint16_t>(port));
  return to;
}

}  // namespace

ProbeSocket::ProbeSocket() {
  fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) throw std::runtime_error("cannot open a UDP socket");
  const unsigned char ttl = 1, loop = 1;  // the local network; simulators on this machine hear it too
  setsockopt(int(fd), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
  setsockopt(int(fd), IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);
}

ProbeSocket::~ProbeSocket() {
  close(int(fd));
}

std::vector<std::string> ProbeSocket::SendToGroup(const std::string& group, int port, const std::string& message) {
  std::vector<std::string> sent;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return sent;
  const sockaddr_in to = Destination(group, port);
  for (const ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP) ||
        !(i->ifa_flags & IFF_MULTICAST))
      continue;
    const in_addr local = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr;
    if (setsockopt(int(fd), IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof local) != 0) continue;
    if (sendto(int(fd), message.data(), message.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0)
      continue;
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &local, text, sizeof text);
    sent.push_back(std::string(i->ifa_name) + " " + text);
  }
  freeifaddrs(list);
  return sent;
}

void ProbeSocket::SendTo(const std::string& address, int port, const std::string& message) {
  const sockaddr_in to = Destination(address, port);
  if (sendto(int(fd), message.data(), message.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0)
    throw std::runtime_error("--probe: cannot send to " + address);
}

bool ProbeSocket::Receive(std::string& datagram, int ms) {
  pollfd p{int(fd), POLLIN, 0};
  if (poll(&p, 1, ms) <= 0) return false;
  char buffer[65536];
  const ssize_t n = recv(int(fd), buffer, sizeof buffer, 0);
  if (n < 0) return false;
  datagram.assign(buffer, size_t(n));
  return true;
}

}  // namespace orvella::host
