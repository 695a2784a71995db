#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "simcam/ServerPlatform.h"

namespace orvella::simcam {
namespace {

sigset_t StopSignals() {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  return stop;
}

sockaddr_in Address(const std::string& address, int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) throw std::runtime_error("bad address " + address);
  return addr;
}

}  // namespace

Socket::~Socket() {
  if (handle != kNone) close(static_cast<int>(handle));
}

long Socket::Receive(char* buffer, std::size_t size) const {
  return static_cast<long>(recv(static_cast<int>(handle), buffer, size, 0));
}

bool Socket::SendAll(const std::string& head, const std::string& body) const {
  iovec parts[2] = {{const_cast<char*>(head.data()), head.size()}, {const_cast<char*>(body.data()), body.size()}};
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = 2;
  for (size_t left = head.size() + body.size(); left > 0;) {
    const ssize_t n = sendmsg(static_cast<int>(handle), &message, MSG_NOSIGNAL);
    if (n <= 0) return false;
    left -= static_cast<size_t>(n);
    for (size_t done = static_cast<size_t>(n); done > 0;) {
      const size_t step = std::min(done, message.msg_iov->iov_len);
      message.msg_iov->iov_base = static_cast<char*>(message.msg_iov->iov_base) + step;
      message.msg_iov->iov_len -= step;
      done -= step;
      if (message.msg_iov->iov_len == 0 && message.msg_iovlen > 1) ++message.msg_iov, --message.msg_iovlen;
    }
  }
  return true;
}

void Socket::NoDelay() const {
  const int one = 1;
  setsockopt(static_cast<int>(handle), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

Socket Socket::Accept() const {
  const int fd = accept(static_cast<int>(handle), nullptr, nullptr);
  if (fd < 0 && errno != EINTR && errno != ECONNABORTED)
    throw std::runtime_error(std::string("accept: ") + std::strerror(errno));
  return Socket(fd);
}

void StartUp() {
  signal(SIGPIPE, SIG_IGN);
  // SIGINT and SIGTERM reach only WaitForStop's sigwait, which cleans up.
  const sigset_t stop = StopSignals();
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
}

Socket Listen(const std::string& address, int& port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  Socket owner(fd);  // closes it when we throw
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr = Address(address, port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0)
    throw std::runtime_error("cannot listen on " + address + ":" + std::to_string(port) + ": " + std::strerror(errno));
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  port = ntohs(addr.sin_port);
  return owner;
}

bool CanConnect(const std::string& address, int port) {
  Socket probe(socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in addr = Address(address, port);
  return probe.Valid() &&
         connect(static_cast<int>(probe.Handle()), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

void WaitForStop() {
  const sigset_t stop = StopSignals();
  int signal = 0;
  sigwait(&stop, &signal);
}

std::tm LocalTime(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm;
}

bool MoveOver(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

long StartFtpServer(const std::string& address, int port, const std::string& dir, bool verbose) {
  const std::string portText = std::to_string(port);
  const int devNull = verbose ? -1 : open("/dev/null", O_WRONLY);
  const pid_t pid = fork();  // the caller is still single-threaded
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // goes with us, however we end
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_UNBLOCK, &all, nullptr);
    if (devNull >= 0) dup2(devNull, STDERR_FILENO);  // its log, one line per session
    execl("/usr/bin/python3", "python3", "-m", "pyftpdlib", "-i", address.c_str(), "-p", portText.c_str(), "-d",
          dir.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  if (devNull >= 0) close(devNull);
  if (pid < 0) throw std::runtime_error("fork failed");
  return pid;
}

void StopFtpServer(long pid) {
  kill(static_cast<pid_t>(pid), SIGTERM);
  waitpid(static_cast<pid_t>(pid), nullptr, 0);
}

}  // namespace orvella::simcam
