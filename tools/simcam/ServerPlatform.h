// What the simulated camera needs from the operating system: TCP sockets,
// waiting for a stop request, local time, replacing a file, and the FTP
// server as a child process. One implementation file per platform.
#ifndef ORVELLA_TOOLS_SERVERPLATFORM_H
#define ORVELLA_TOOLS_SERVERPLATFORM_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace orvella::simcam {

// A listening or connected TCP socket, closed by the destructor. Calls on
// one socket come from one thread.
class Socket {
 public:
  Socket() = default;
  explicit Socket(std::intptr_t h) : handle(h) {}
  ~Socket();
  Socket(Socket&& other) noexcept : handle(other.handle) { other.handle = kNone; }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  Socket& operator=(Socket&&) = delete;

  bool Valid() const { return handle != kNone; }
  std::intptr_t Handle() const { return handle; }
  // Gives the handle up: the caller closes it.
  std::intptr_t Release() {
    std::intptr_t h = handle;
    handle = kNone;
    return h;
  }
  // Up to `size` bytes; 0 or less when the peer closed or the socket failed.
  long Receive(char* buffer, std::size_t size) const;
  // Head and body in one gathered write: no Nagle wait between them, no copy.
  bool SendAll(const std::string& head, const std::string& body) const;
  void NoDelay() const;
  // The next client of a listening socket; an invalid socket after a failure
  // worth retrying; throws std::runtime_error when listening is over.
  Socket Accept() const;

 private:
  static constexpr std::intptr_t kNone = -1;
  std::intptr_t handle = kNone;
};

// Before any thread starts: Windows starts Winsock; Linux ignores SIGPIPE and
// keeps SIGINT and SIGTERM for WaitForStop.
void StartUp();

// Listens on address:port; port 0 picks a free one, written back. Throws
// std::runtime_error.
Socket Listen(const std::string& address, int& port);
bool CanConnect(const std::string& address, int port);

// Blocks until Ctrl+C or a request to terminate.
void WaitForStop();

std::tm LocalTime(std::time_t t);

// Moves `from` over `to` in one step; false on failure.
bool MoveOver(const std::string& from, const std::string& to);

// pyftpdlib sharing `dir` read-only on address:port, as a child process that
// ends with us; its log goes to stderr when `verbose`. Linux only: elsewhere
// it throws std::runtime_error, as it does when it cannot start.
long StartFtpServer(const std::string& address, int port, const std::string& dir, bool verbose);
void StopFtpServer(long pid);

}  // namespace orvella::simcam

#endif
