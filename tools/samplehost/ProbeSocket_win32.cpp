// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
// clang-format on

#include <stdexcept>

#include "samplehost/ProbeSocket.h"

namespace orvella::host {

namespace {

sockaddr_in Destination(const std::string& address, int port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = inet_addr(address.c_str());
  to.sin_port = htons(static_cast<u_short>(port));
  return to;
}

}  // namespace

ProbeSocket::ProbeSocket() {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) throw std::runtime_error("cannot start Winsock");
  const SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) throw std::runtime_error("cannot open a UDP socket");
  fd = static_cast<intptr_t>(s);
  const DWORD ttl = 1, loop = 1;  // the local network; simulators on this machine hear it too
  setsockopt(s, IPPROTO_IP, IP_MULTICAST_TTL, reinterpret_cast<const char*>(&ttl), sizeof ttl);
  setsockopt(s, IPPROTO_IP, IP_MULTICAST_LOOP, reinterpret_cast<const char*>(&loop), sizeof loop);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  bind(s, reinterpret_cast<const sockaddr*>(&any), sizeof any);  // Winsock receives only once bound
}

ProbeSocket::~ProbeSocket() {
  closesocket(static_cast<SOCKET>(fd));
  WSACleanup();
}

std::vector<std::string> ProbeSocket::SendToGroup(const std::string& group, int port, const std::string& message) {
  std::vector<std::string> sent;
  const SOCKET s = static_cast<SOCKET>(fd);
  INTERFACE_INFO list[64];
  DWORD bytes = 0;
  if (WSAIoctl(s, SIO_GET_INTERFACE_LIST, nullptr, 0, list, sizeof list, &bytes, nullptr, nullptr) != 0) return sent;
  const sockaddr_in to = Destination(group, port);
  for (DWORD i = 0; i < bytes / sizeof(INTERFACE_INFO); ++i) {
    if (!(list[i].iiFlags & IFF_UP) || !(list[i].iiFlags & IFF_MULTICAST)) continue;
    const in_addr local = list[i].iiAddress.AddressIn.sin_addr;
    if (setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<const char*>(&local), sizeof local) != 0) continue;
    if (sendto(s, message.data(), int(message.size()), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0)
      continue;
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &local, text, sizeof text);
    sent.push_back(text);
  }
  return sent;
}

void ProbeSocket::SendTo(const std::string& address, int port, const std::string& message) {
  const sockaddr_in to = Destination(address, port);
  if (sendto(static_cast<SOCKET>(fd), message.data(), int(message.size()), 0, reinterpret_cast<const sockaddr*>(&to),
             sizeof to) < 0)
    throw std::runtime_error("--probe: cannot send to " + address);
}

bool ProbeSocket::Receive(std::string& datagram, int ms) {
  const SOCKET s = static_cast<SOCKET>(fd);
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval wait{ms / 1000, (ms % 1000) * 1000};
  if (select(0, &readable, nullptr, nullptr, &wait) <= 0) return false;
  datagram.resize(65536);
  const int n = recv(s, &datagram[0], int(datagram.size()), 0);
  if (n < 0) return false;
  datagram.resize(size_t(n));
  return true;
}

}  // namespace orvella::host
