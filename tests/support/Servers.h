// The loopback test servers started by tests/servers/with_servers.py: their
// URLs, the shared data directory, and the HTTP server's connection count.
// The URL scheme of the HTTP server is described in tests/servers/http_server.py.
#pragma once

#include <string>

#include "support/TestImages.h"

namespace orvella::test {

// True when the ports are known: the program runs under with_servers.py, or
// ctest started the servers once for the run (see support/TestEnv.h).
bool ServersAvailable();
// Why a test that needs the servers must fail without them: "" for a program
// run by hand (its server tests skip), otherwise what went wrong in ctest's run.
std::string ServersMissing();

// First in a server test or its fixture's SetUp: skips without the servers
// when run by hand, fails when ctest runs it without them.
#define ORVELLA_REQUIRE_SERVERS()                                                   \
  do {                                                                              \
    if (::orvella::test::ServersAvailable()) break;                                 \
    const std::string missing = ::orvella::test::ServersMissing();                  \
    if (missing.empty()) GTEST_SKIP() << "run under tests/servers/with_servers.py"; \
    FAIL() << missing;                                                              \
  } while (0)

int HttpPort();
int FtpPort();
// The RTSP server (tests/servers/rtsp_server.py): its open and login ports;
// 0 when it is not running.
int RtspPort();
int RtspSecurePort();
// Sends the RTSP server SIG<name> (USR1 down, USR2 up again, STOP stalled,
// CONT going on) through the HTTP server, which both products can reach;
// false when that failed.
bool SignalRtspServer(const std::string& name);
// The RTSP server's picture at frame n, pixel x, y (see rtsp_server.py): red
// moves 4 pixels a frame, green follows the row, blue the diagonal.
void RtspPattern(int x, int y, int n, int rgb[3]);
// "rtsp://[login@]127.0.0.1:<port>" + path; the login port when `login` is given.
std::string RtspUrl(const std::string& path, const std::string& login = "");

// "http://127.0.0.1:<port>" + path; path starts with '/'.
std::string HttpUrl(const std::string& path);
// "ftp://[user:pass@]127.0.0.1:<port>/" + path; no credentials when user is empty (anonymous).
std::string FtpUrl(const std::string& path, const std::string& user = "", const std::string& pass = "");

// lighttpd as a camera with logins and https (tests/servers/lighttpd_server.py):
// "http[s]://[userInfo@]127.0.0.1:<port>" + path; path starts with '/'.
std::string CameraUrl(const std::string& path, bool tls = false, const std::string& userInfo = "");
// Its certificate's public key as openssl computes it: "sha256//<base64>".
std::string CameraKey();
// What it has logged of requests so far: each request's
// line and headers, as "(connections.c.N) fd:F rqst: <line>" lines.
std::string CameraRequestLog();

// DataDir(), the data directory as the servers see it (a Linux path), is in
// support/TestImages.h.
// A path to the data file `name` that this program can open (under Wine the
// Linux path seen through drive Z:).
std::string DataPath(const std::string& name);
// Writes `bytes` to the data file `name`; false on failure.
bool WriteDataFile(const std::string& name, const std::string& bytes);

// The body of the HTTP server's answer to a control path ("/_route?..."; see
// http_server.py), and a text made safe as one value of its query.
std::string ServerControl(const std::string& pathAndQuery);
std::string QueryEncoded(const std::string& text);

// Connections the HTTP server has accepted that carried a real request
// (control requests do not count); -1 when the server cannot be asked.
int HttpConnectionCount();
// Those connections' requests outside the control paths; -1 likewise.
int HttpRequestCount();

// Platform part: plain blocking GET of `path` from the HTTP server over a
// fresh connection; the whole answer (headers and body), or "" on failure.
std::string RawHttpGet(int port, const std::string& path);
// Platform part: DataDir() path of `name` converted for this program.
std::string NativePath(const std::string& linuxPath);

}  // namespace orvella::test
