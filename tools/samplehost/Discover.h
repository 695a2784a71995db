// orvella-host --discover: finds ONVIF cameras by WS-Discovery and prints,
// for each, what ImageUrl to use.
#pragma once

#include <string>
#include <vector>

namespace orvella::host {

struct DiscoverOptions {
  std::vector<std::string> probe;  // host[:port] to probe by unicast besides the multicast
  std::string user, password;      // the cameras' login, when given
  std::string tlsTrust;            // for device services on https
  bool multicast = true;
  int listenMs = 3000;
};

// Prints every camera that answered within listenMs. 0 when one did, 1 when none.
int Discover(const DiscoverOptions& o);

}  // namespace orvella::host
