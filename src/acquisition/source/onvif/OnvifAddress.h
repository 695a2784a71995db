// An ONVIF camera as ImageUrl names it:
// onvif://[user:password@]host[:port][/PROFILE][?stream]
// and what the driver makes of a URI the camera returns.
#pragma once

#include <string>

namespace orvella::onvif {

struct Address {
  std::string user, password;  // percent-decoded
  bool hasCredentials = false;
  std::string host;  // as written (an IPv6 address keeps its brackets)
  int port = 80;
  std::string path = "/onvif/device_service";  // the device service; discovery may find another
  std::string profile;                         // a profile token; "" takes the first profile
  bool stream = false;                         // ?stream: the RTSP stream URI instead of snapshots
  // http://host:port/onvif/device_service
  std::string DeviceService() const;
  // "user:password@", percent-encoded, for a URL; "" without credentials.
  std::string UserInfo() const;
};

// False, with the reason in `why`, for a URL that is no onvif:// URL we read.
bool ParseAddress(const std::string& url, Address& out, std::string& why);

// A URI the camera returned, made usable: control characters and the
// blanks around it removed, the onvif:// URL's credentials added where it
// has none. False, with the reason, for an implausible one ("(null)", no
// host, a scheme that does not fit: http(s) for snapshots, rtsp(s) for
// streams).
bool TakeUri(std::string& uri, bool snapshot, const Address& address, std::string& why);

}  // namespace orvella::onvif
