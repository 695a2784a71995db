// WS-Discovery (2005/04) as ONVIF cameras speak it: the Probe for a
// NetworkVideoTransmitter and what a ProbeMatches answer tells. The
// driver itself never discovers; orvella-host --discover does, with the
// same readers the driver uses for the cameras' other answers.
#pragma once

#include <string>
#include <vector>

#include "acquisition/source/onvif/OnvifAddress.h"

namespace orvella::onvif {

constexpr const char* kDiscoveryGroup = "239.255.255.250";
constexpr int kDiscoveryPort = 3702;

// The Probe datagram; `messageId` is a "urn:uuid:…" the answers relate to.
std::string ProbeMessage(const std::string& messageId);

// One camera's ProbeMatch.
struct Match {
  std::string endpoint;                     // its stable id ("urn:uuid:…")
  std::vector<std::string> xaddrs, scopes;  // device service addresses, scope URIs
};
// The matches of one datagram answering the Probe `messageId`; none for a
// datagram that is no ProbeMatches or answers another Probe.
std::vector<Match> MatchesOf(const std::string& datagram, const std::string& messageId);

// "SimCam SC-100" from the name and hardware scopes, percent-decoded; "" when
// they say nothing. What a camera tells without a login.
std::string NameOfScopes(const std::vector<std::string>& scopes);

// The camera behind an http:// XAddr: host, port and device service path;
// false for anything else.
bool AddressOfXAddr(const std::string& xaddr, Address& out);

// The onvif:// URL that names `address` (its login included), with a profile
// and ?stream when given.
std::string ImageUrlOf(const Address& address, const std::string& profile, bool stream);

}  // namespace orvella::onvif
