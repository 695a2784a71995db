#include <winsock2.h>

#include "support/Servers.h"

namespace orvella::test {

std::string RawHttpGet(int port, const std::string& path) {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) return "";
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return "";
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (send(s, request.data(), static_cast<int>(request.size()), 0) == static_cast<int>(request.size())) {
      char chunk[4096];
      int n;
      while ((n = recv(s, chunk, sizeof chunk, 0)) > 0) answer.append(chunk, static_cast<size_t>(n));
    }
  }
  closesocket(s);
  return answer;
}

// Wine shows the Linux file system as drive Z:.
std::string NativePath(const std::string& linuxPath) {
  std::string path = "Z:" + linuxPath;
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

}  // namespace orvella::test
