#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <stdexcept>

#include "simcam/ServerPlatform.h"

namespace orvella::simcam {
namespace {

SOCKET Raw(std::intptr_t handle) {
  return static_cast<SOCKET>(handle);
}

sockaddr_in Address(const std::string& address, int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<u_short>(port));
  if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) throw std::runtime_error("bad address " + address);
  return addr;
}

HANDLE stopEvent = nullptr;

BOOL WINAPI OnConsoleControl(DWORD) {
  SetEvent(stopEvent);
  return TRUE;
}

}  // namespace

Socket::~Socket() {
  if (handle != kNone) closesocket(Raw(handle));
}

long Socket::Receive(char* buffer, std::size_t size) const {
  return recv(Raw(handle), buffer, static_cast<int>(size), 0);
}

bool Socket::SendAll(const std::string& head, const std::string& body) const {
  WSABUF parts[2] = {{static_cast<ULONG>(head.size()), const_cast<char*>(head.data())},
                     {static_cast<ULONG>(body.size()), const_cast<char*>(body.data())}};
  DWORD sent = 0;
  if (WSASend(Raw(handle), parts, 2, &sent, 0, nullptr, nullptr) != 0) return false;
  // A blocking socket sends everything or fails; should it stop short, the rest goes plainly.
  const std::string all = sent < head.size() + body.size() ? head + body : std::string();
  for (size_t done = sent; done < all.size();) {
    const int n = send(Raw(handle), all.data() + done, static_cast<int>(all.size() - done), 0);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void Socket::NoDelay() const {
  const BOOL one = TRUE;
  setsockopt(Raw(handle), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

Socket Socket::Accept() const {
  const SOCKET s = accept(Raw(handle), nullptr, nullptr);
  if (s == INVALID_SOCKET && WSAGetLastError() != WSAECONNRESET && WSAGetLastError() != WSAEINTR)
    throw std::runtime_error("accept failed (error " + std::to_string(WSAGetLastError()) + ")");
  return s == INVALID_SOCKET ? Socket() : Socket(static_cast<std::intptr_t>(s));
}

void StartUp() {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) throw std::runtime_error("WSAStartup failed");
  stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

Socket Listen(const std::string& address, int& port) {
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) throw std::runtime_error("socket failed (error " + std::to_string(WSAGetLastError()) + ")");
  Socket owner(static_cast<std::intptr_t>(s));  // closes it when we throw
  sockaddr_in addr = Address(address, port);
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(s, 64) != 0)
    throw std::runtime_error("cannot listen on " + address + ":" + std::to_string(port) + " (error " +
                             std::to_string(WSAGetLastError()) + ")");
  int len = sizeof addr;
  getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
  port = ntohs(addr.sin_port);
  return owner;
}

bool CanConnect(const std::string& address, int port) {
  Socket probe(static_cast<std::intptr_t>(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)));
  sockaddr_in addr = Address(address, port);
  return probe.Valid() && connect(Raw(probe.Handle()), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

void WaitForStop() {
  WaitForSingleObject(stopEvent, INFINITE);
}

std::tm LocalTime(std::time_t t) {
  return *std::localtime(&t);  // the C runtime keeps its result per thread
}

bool MoveOver(const std::string& from, const std::string& to) {
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

long StartFtpServer(const std::string&, int, const std::string&, bool) {
  throw std::runtime_error("--ftp needs Linux (Debian's python3-pyftpdlib)");
}

void StopFtpServer(long) {}

}  // namespace orvella::simcam
