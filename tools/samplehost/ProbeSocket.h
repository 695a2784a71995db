// The UDP side of WS-Discovery for orvella-host --discover: one socket that
// sends a probe to the discovery group out of every interface that takes
// multicast, or to an address given by hand, and reads the answers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvella::host {

class ProbeSocket {
 public:
  ProbeSocket();  // raises std::runtime_error
  ~ProbeSocket();
  ProbeSocket(const ProbeSocket&) = delete;
  ProbeSocket& operator=(const ProbeSocket&) = delete;

  // Out of every IPv4 interface that is up and takes multicast; the
  // addresses of those it went out of.
  std::vector<std::string> SendToGroup(const std::string& group, int port, const std::string& message);
  // To an IPv4 address (dotted); raises std::runtime_error when it cannot go.
  void SendTo(const std::string& address, int port, const std::string& message);
  // The next datagram within `ms`; false when none came.
  bool Receive(std::string& datagram, int ms);

 private:
  intptr_t fd = -1;
};

}  // namespace orvella::host
