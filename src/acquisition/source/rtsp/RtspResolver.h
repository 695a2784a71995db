// Host names of RTSP URLs, resolved where a close can walk away from them.
// FFmpeg resolves with a blocking getaddrinfo that its interrupt callback
// cannot cut short: with a dead name server a close would wait for it.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace orvella {

// `url` with its host name replaced by the name's address (IPv4 first), looked
// up on a helper thread of its own. Asks `giveUp` every 50 ms while it waits
// and then returns "" (the helper finishes alone, touching nothing of ours).
// Numeric hosts and rtsps:// URLs (TLS checks the name) come back unchanged.
// Raises std::runtime_error when the name does not resolve.
std::string ResolveUrlHost(const std::string& url, const std::function<bool()>& giveUp);

// Platform part (RtspResolver_posix.cpp, RtspResolver_win32.cpp): the
// blocking look-up. The addresses as text in the system's order (IPv6 in
// brackets), or none and the system's words in `error`.
namespace rtsp_resolver {
std::vector<std::string> LookUp(const std::string& host, std::string& error);
}

}  // namespace orvella
