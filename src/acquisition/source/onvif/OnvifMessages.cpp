#include "acquisition/source/onvif/OnvifMessages.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "acquisition/transport/Hash.h"

namespace orvella::onvif {

namespace {
constexpr char kDevice[] = "http://www.onvif.org/ver10/device/wsdl";
constexpr char kMedia[] = "http://www.onvif.org/ver10/media/wsdl";
constexpr char kMedia2[] = "http://www.onvif.org/ver20/media/wsdl";
constexpr char kSchema[] = "http://www.onvif.org/ver10/schema";
constexpr char kSecurity[] = "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-secext-1.0.xsd";
constexpr char kUtility[] = "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-utility-1.0.xsd";
constexpr char kDigestType[] =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-username-token-profile-1.0#PasswordDigest";
constexpr char kBase64Type[] =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-soap-message-security-1.0#Base64Binary";

std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

Call Make(const char* step, const char* ns, const std::string& inner) {
  const std::string open = std::string("<") + step + " xmlns=\"" + ns + "\"";
  return Call{step, std::string(ns) + "/" + step, inner.empty() ? open + "/>" : open + ">" + inner + "</" + step + ">"};
}

std::string ProfileToken(const std::string& profile) {
  return "<ProfileToken>" + Escaped(profile) + "</ProfileToken>";
}

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
long long DaysFromCivil(long long y, long long m, long long d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const long long yoe = y - era * 400;
  const long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

int Number(const soap::Document& doc, int at, const char* name) {
  const std::string text = doc.TextAt(at, {name});
  return text.empty() ? -1 : std::atoi(text.c_str());
}

std::string Value(const soap::Document& doc, int at) {
  std::string text = doc.TextAt(at, {"Value"});
  const size_t colon = text.rfind(':');
  if (colon != std::string::npos) text.erase(0, colon + 1);
  return text;
}
}  // namespace

Call GetSystemDateAndTime() {
  return Make("GetSystemDateAndTime", kDevice, "");
}
Call GetServices() {
  return Make("GetServices", kDevice, "<IncludeCapability>false</IncludeCapability>");
}
Call GetCapabilities() {
  return Make("GetCapabilities", kDevice, "<Category>Media</Category>");
}
Call GetDeviceInformation() {
  return Make("GetDeviceInformation", kDevice, "");
}
Call GetProfiles(bool media2) {
  return media2 ? Make("GetProfiles", kMedia2, "<Type>All</Type>") : Make("GetProfiles", kMedia, "");
}

Call GetSnapshotUri(bool media2, const std::string& profile) {
  return Make("GetSnapshotUri", media2 ? kMedia2 : kMedia, ProfileToken(profile));
}

Call GetStreamUri(bool media2, const std::string& profile) {
  if (media2) return Make("GetStreamUri", kMedia2, "<Protocol>RTSP</Protocol>" + ProfileToken(profile));
  return Make("GetStreamUri", kMedia,
              std::string("<StreamSetup><Stream xmlns=\"") + kSchema + "\">RTP-Unicast</Stream><Transport xmlns=\"" +
                  kSchema + "\"><Protocol>RTSP</Protocol></Transport></StreamSetup>" + ProfileToken(profile));
}

std::string PasswordDigest(const std::string& nonce, const std::string& created, const std::string& password) {
  const std::string text = nonce + created + password;
  const Sha1Digest digest = Sha1(text.data(), text.size());
  return Base64(digest.data(), digest.size());
}

std::string UtcText(std::time_t t) {
  const long long seconds = static_cast<long long>(t);
  long long days = seconds / 86400, rest = seconds % 86400;
  if (rest < 0) rest += 86400, --days;
  // Civil date from days since 1970-01-01.
  const long long z = days + 719468, era = (z >= 0 ? z : z - 146096) / 146097;
  const long long doe = z - era * 146097, yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100), mp = (5 * doy + 2) / 153;
  const long long d = doy - (153 * mp + 2) / 5 + 1, m = mp + (mp < 10 ? 3 : -9), y = yoe + era * 400 + (m <= 2);
  char text[96];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ", y, m, d, rest / 3600, rest / 60 % 60,
                rest % 60);
  return text;
}

std::string Envelope(const Call& call, const Token* token) {
  std::string header;
  if (token && !token->user.empty()) {
    const std::string created = UtcText(token->created);
    header = std::string("<s:Header><Security s:mustUnderstand=\"1\" xmlns=\"") + kSecurity + "\"><UsernameToken>" +
             "<Username>" + Escaped(token->user) + "</Username><Password Type=\"" + kDigestType + "\">" +
             PasswordDigest(token->nonce, created, token->password) + "</Password><Nonce EncodingType=\"" +
             kBase64Type + "\">" + Base64(token->nonce.data(), token->nonce.size()) + "</Nonce><Created xmlns=\"" +
             kUtility + "\">" + created + "</Created></UsernameToken></Security></s:Header>";
  }
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\">" +
         header + "<s:Body>" + call.body + "</s:Body></s:Envelope>";
}

std::string ContentType(const Call& call) {
  return "application/soap+xml; charset=utf-8; action=\"" + call.action + "\"";
}

std::string Fault::Text() const {
  const std::string what = subcode.empty() ? code : subcode;
  return reason.empty() ? what : what + ": " + reason;
}

Fault FaultOf(const soap::Document& answer) {
  Fault fault;
  const int at = answer.Find("Fault");
  if (at < 0) return fault;
  fault.present = true;
  const int code = answer.Child(at, "Code");
  fault.code = Value(answer, code);
  for (int sub = answer.Child(code, "Subcode"); sub >= 0; sub = answer.Child(sub, "Subcode"))
    fault.subcode = Value(answer, sub);
  fault.reason = answer.TextAt(at, {"Reason", "Text"});
  return fault;
}

bool DeviceTime(const soap::Document& answer, std::time_t& utc) {
  const int at = answer.Find("UTCDateTime");
  if (at < 0) return false;
  const int date = answer.Child(at, "Date"), time = answer.Child(at, "Time");
  const int y = Number(answer, date, "Year"), mo = Number(answer, date, "Month"), d = Number(answer, date, "Day");
  const int h = Number(answer, time, "Hour"), mi = Number(answer, time, "Minute"), s = Number(answer, time, "Second");
  if (y < 1970 || y > 9999 || mo < 1 || mo > 12 || d < 1 || d > 31 || h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 ||
      s > 60)
    return false;
  utc = static_cast<std::time_t>(DaysFromCivil(y, mo, d) * 86400LL + h * 3600LL + mi * 60LL + s);
  return true;
}

Services ServicesOf(const soap::Document& answer) {
  Services found;
  for (int service : answer.FindAll("Service")) {
    const std::string ns = answer.TextAt(service, {"Namespace"}), address = answer.TextAt(service, {"XAddr"});
    if (ns == kMedia) found.media = address;
    if (ns == kMedia2) found.media2 = address;
  }
  // GetCapabilities: Capabilities/Media/XAddr.
  const int media = answer.Find("Media");
  if (found.media.empty() && media >= 0) found.media = answer.TextAt(media, {"XAddr"});
  return found;
}

std::vector<Profile> ProfilesOf(const soap::Document& answer) {
  std::vector<Profile> profiles;
  for (int at : answer.FindAll("Profiles")) {
    Profile p;
    p.token = answer.Attribute(at, "token");
    p.name = answer.TextAt(at, {"Name"});
    const int encoding = answer.Find("Encoding", at);
    if (encoding >= 0) p.encoding = answer[encoding].text;
    const int resolution = answer.Find("Resolution", at);
    p.width = resolution >= 0 ? std::max(0, Number(answer, resolution, "Width")) : 0;
    p.height = resolution >= 0 ? std::max(0, Number(answer, resolution, "Height")) : 0;
    if (!p.token.empty()) profiles.push_back(p);
  }
  return profiles;
}

std::string UriOf(const soap::Document& answer) {
  const int at = answer.Find("Uri");
  return at < 0 ? "" : answer[at].text;
}

std::string MakerAndModel(const soap::Document& answer) {
  const int at = answer.Find("GetDeviceInformationResponse");
  if (at < 0) return "";
  const std::string maker = answer.TextAt(at, {"Manufacturer"}), model = answer.TextAt(at, {"Model"});
  return maker.empty() ? model : model.empty() ? maker : maker + " " + model;
}

}  // namespace orvella::onvif
