#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/Servers.h"

namespace orvella::test {

std::string RawHttpGet(int port, const std::string& path) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return "";
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (send(fd, request.data(), request.size(), 0) == static_cast<ssize_t>(request.size())) {
      char chunk[4096];
      ssize_t n;
      while ((n = recv(fd, chunk, sizeof chunk, 0)) > 0) answer.append(chunk, static_cast<size_t>(n));
    }
  }
  close(fd);
  return answer;
}

std::string NativePath(const std::string& linuxPath) {
  return linuxPath;
}

}  // namespace orvella::test
