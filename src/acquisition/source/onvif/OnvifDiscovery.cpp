#include "acquisition/source/onvif/OnvifDiscovery.h"

#include "acquisition/source/onvif/SoapXml.h"
#include "acquisition/transport/Url.h"

namespace orvella::onvif {

namespace {

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> out;
  size_t at = 0;
  while ((at = text.find_first_not_of(" \t\r\n", at)) != std::string::npos) {
    const size_t end = text.find_first_of(" \t\r\n", at);
    out.push_back(text.substr(at, end - at));
    at = end;
  }
  return out;
}

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  return first == std::string::npos ? "" : text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// The last path segment of the scope onvif://www.onvif.org/<kind>/…, "" when none.
std::string ScopeValue(const std::vector<std::string>& scopes, const std::string& kind) {
  const std::string prefix = "onvif://www.onvif.org/" + kind + "/";
  for (const std::string& s : scopes)
    if (s.compare(0, prefix.size(), prefix) == 0 && s.size() > prefix.size())
      return PercentDecoded(s.substr(prefix.size()));
  return "";
}

}  // namespace

std::string ProbeMessage(const std::string& messageId) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" "
         "xmlns:a=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\" "
         "xmlns:d=\"http://schemas.xmlsoap.org/ws/2005/04/discovery\" "
         "xmlns:dn=\"http://www.onvif.org/ver10/network/wsdl\"><s:Header>"
         "<a:Action s:mustUnderstand=\"1\">http://schemas.xmlsoap.org/ws/2005/04/discovery/Probe</a:Action>"
         "<a:MessageID>" +
         messageId +
         "</a:MessageID><a:ReplyTo><a:Address>http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous"
         "</a:Address></a:ReplyTo><a:To s:mustUnderstand=\"1\">urn:schemas-xmlsoap-org:ws:2005:04:discovery</a:To>"
         "</s:Header><s:Body><d:Probe><d:Types>dn:NetworkVideoTransmitter</d:Types></d:Probe></s:Body>"
         "</s:Envelope>";
}

std::vector<Match> MatchesOf(const std::string& datagram, const std::string& messageId) {
  std::vector<Match> out;
  soap::Document doc;
  std::string error;
  if (!doc.Parse(datagram, error)) return out;
  const int header = doc.Find("Header");
  if (header < 0 || Trimmed(doc.TextAt(header, {"RelatesTo"})) != messageId) return out;
  const int matches = doc.Find("ProbeMatches");
  if (matches < 0) return out;
  for (int m : doc.FindAll("ProbeMatch", matches)) {
    Match match;
    match.endpoint = Trimmed(doc.TextAt(m, {"EndpointReference", "Address"}));
    match.xaddrs = Words(doc.TextAt(m, {"XAddrs"}));
    match.scopes = Words(doc.TextAt(m, {"Scopes"}));
    if (!match.xaddrs.empty()) out.push_back(std::move(match));
  }
  return out;
}

std::string NameOfScopes(const std::vector<std::string>& scopes) {
  const std::string name = ScopeValue(scopes, "name"), hardware = ScopeValue(scopes, "hardware");
  if (name.empty() || name == hardware) return hardware;
  return hardware.empty() ? name : name + " " + hardware;
}

bool AddressOfXAddr(const std::string& xaddr, Address& out) {
  constexpr char kHttp[] = "http://";
  if (xaddr.compare(0, sizeof kHttp - 1, kHttp) != 0) return false;
  const size_t slash = xaddr.find('/', sizeof kHttp - 1);
  std::string why;
  Address parsed;
  if (!ParseAddress("onvif://" + xaddr.substr(sizeof kHttp - 1, slash - (sizeof kHttp - 1)), parsed, why) ||
      parsed.hasCredentials)
    return false;
  out.host = parsed.host;
  out.port = parsed.port;
  out.path = slash == std::string::npos ? "/" : xaddr.substr(slash);
  return out.path.find_first_of(" \t\r\n") == std::string::npos;
}

std::string ImageUrlOf(const Address& address, const std::string& profile, bool stream) {
  std::string url = "onvif://" + address.UserInfo() + address.host;
  if (address.port != 80) url += ":" + std::to_string(address.port);
  if (!profile.empty()) url += "/" + PercentEncoded(profile);
  return stream ? url + "?stream" : url;
}

}  // namespace orvella::onvif
