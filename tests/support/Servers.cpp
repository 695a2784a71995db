#include "support/Servers.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "support/TestEnv.h"

namespace orvella::test {

namespace {
int PortFrom(const char* name) {
  return std::atoi(Env(name, "0").c_str());
}
}  // namespace

bool ServersAvailable() {
  return HttpPort() > 0 && FtpPort() > 0 && !DataDir().empty();
}

std::string ServersMissing() {
  const std::string file = Env(kServersFileVariable);
  if (file.empty()) return "";
  if (file == kNoServers)
    return "this test needs the loopback servers: add its suite to SERVER_SUITES in tests/CMakeLists.txt";
  return "the servers file " + file + " names no running servers (did the servers_start test fail?)";
}

int HttpPort() {
  return PortFrom("ORVELLA_HTTP_PORT");
}

int FtpPort() {
  return PortFrom("ORVELLA_FTP_PORT");
}

int RtspPort() {
  return PortFrom("ORVELLA_RTSP_PORT");
}

int RtspSecurePort() {
  return PortFrom("ORVELLA_RTSP_SECURE_PORT");
}

bool SignalRtspServer(const std::string& name) {
  return RawHttpGet(HttpPort(), "/_rtsp?signal=" + name).compare(0, 13, "HTTP/1.1 200 ") == 0;
}

void RtspPattern(int x, int y, int n, int rgb[3]) {
  const double pi = 3.14159265358979323846;
  rgb[0] = int(std::lround(128 + 96 * std::sin(2 * pi * ((x + 4 * n) % 128) / 128)));
  rgb[1] = int(std::lround(128 + 96 * std::sin(2 * pi * y / 96)));
  rgb[2] = int(std::lround(128 + 96 * std::cos(2 * pi * (x + y) / 160)));
}

std::string RtspUrl(const std::string& path, const std::string& login) {
  const int port = login.empty() ? RtspPort() : RtspSecurePort();
  return "rtsp://" + (login.empty() ? "" : login + "@") + "127.0.0.1:" + std::to_string(port) + path;
}

std::string HttpUrl(const std::string& path) {
  return "http://127.0.0.1:" + std::to_string(HttpPort()) + path;
}

std::string FtpUrl(const std::string& path, const std::string& user, const std::string& pass) {
  std::string login = user.empty() ? "" : user + ":" + pass + "@";
  std::string tail = !path.empty() && path[0] == '/' ? path.substr(1) : path;
  return "ftp://" + login + "127.0.0.1:" + std::to_string(FtpPort()) + "/" + tail;
}

std::string DataPath(const std::string& name) {
  return NativePath(DataDir() + "/" + name);
}

bool WriteDataFile(const std::string& name, const std::string& bytes) {
  std::ofstream out(DataPath(name), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

std::string CameraUrl(const std::string& path, bool tls, const std::string& userInfo) {
  const std::string port = Env(tls ? "ORVELLA_LIGHTTPD_TLS_PORT" : "ORVELLA_LIGHTTPD_PORT", "0");
  return std::string(tls ? "https://" : "http://") + (userInfo.empty() ? "" : userInfo + "@") + "127.0.0.1:" + port +
         path;
}

std::string CameraKey() {
  return Env("ORVELLA_LIGHTTPD_KEY");
}

std::string CameraRequestLog() {
  std::ifstream in(NativePath(Env("ORVELLA_LIGHTTPD_LOG")), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string ServerControl(const std::string& pathAndQuery) {
  const std::string answer = RawHttpGet(HttpPort(), pathAndQuery);
  const size_t body = answer.find("\r\n\r\n");
  return body == std::string::npos ? "" : answer.substr(body + 4);
}

std::string QueryEncoded(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

namespace {
int HttpStat(const std::string& name) {
  const std::string answer = RawHttpGet(HttpPort(), "/_stats");
  const size_t at = answer.find(name + "=");
  return at == std::string::npos ? -1 : std::atoi(answer.c_str() + at + name.size() + 1);
}
}  // namespace

int HttpConnectionCount() {
  return HttpStat("connections");
}

int HttpRequestCount() {
  return HttpStat("requests");
}

}  // namespace orvella::test
