// Download::Post, a SOAP 1.2 call, against the loopback servers: our HTTP
// server's /soap echoes what arrived (see tests/servers/http_server.py),
// lighttpd asks for Basic and Digest logins in front of it.
#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "acquisition/transport/Download.h"
#include "acquisition/transport/TlsTrust.h"
#include "acquisition/transport/TransferClock.h"
#include "driver/Errors.h"
#include "support/Servers.h"

namespace orvella {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char kType[] =
    "application/soap+xml; charset=utf-8; action=\"http://www.onvif.org/ver10/device/wsdl/GetSystemDateAndTime\"";

// A call of 3000 bytes: beyond the size at which some libraries hold a body
// back for "Expect: 100-continue".
std::string Call() {
  std::string call = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><s:Envelope><s:Body>";
  while (call.size() < 3000 - 22) call += "<x/>";
  call.resize(3000 - 22, ' ');
  return call + "</s:Body></s:Envelope>";
}

// What the server echoes of the call as it arrived.
std::string Echo() {
  return std::string("type=") + kType + "\nlength=3000\nhead=" + Call().substr(0, 32) + "\n";
}

TransferLimits Limits(int connectMs = 3000) {
  TransferLimits limits;
  limits.connectMs = connectMs;
  limits.answerMs = 30000;
  limits.stallMs = 5000;
  limits.rateWindowMs = 10000;
  limits.minWindowBytes = 1024;
  return limits;
}

enum class Fails { kNo, kPlain, kLogin, kWin32 };

// The answer's status and body, or the failure's kind and text.
struct Outcome {
  long status = 0;
  std::string text;
  Fails fails = Fails::kNo;
};

std::string Login(const std::string& userInfo, const std::string& path) {
  return "http://" + userInfo + "@127.0.0.1:" + std::to_string(test::HttpPort()) + path;
}

std::string SilentHttpsUrl() {
  const std::string silent = test::RawHttpGet(test::HttpPort(), "/_silentport");
  return "https://127.0.0.1:" + std::to_string(std::stoi(silent.substr(silent.find("port=") + 5))) + "/soap";
}

class DownloadPostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ORVELLA_REQUIRE_SERVERS();
    download.OpenSession();
  }

  Outcome Post(const std::string& url, const TransferLimits& limits, const TlsTrust& trust = TlsTrust()) {
    Outcome out;
    Download::Body into{buffer, 0, ""};
    try {
      out.status = download.Post(url.c_str(), kType, Call(), limits, trust, into);
      out.text.assign(reinterpret_cast<const char*>(buffer.Data()), into.size);
    } catch (const LoginRefused& e) {
      out = {0, e.what(), Fails::kLogin};
    } catch (const Win32Exception& e) {
      out = {0, e.what(), Fails::kWin32};
    } catch (const std::exception& e) {
      out = {0, e.what(), Fails::kPlain};
    }
    return out;
  }

  Download download;
  ReceiveBuffer buffer;
};

TEST_F(DownloadPostTest, AnswersFaultsLoginsLimitsAndRedirects) {
  const std::string odd = "orvella:Pa%23s%40%3A%2F%3F%25w0rd";  // lighttpd's second user
  const std::string fault = "<env:Fault>";
  const std::string big = "/soap?size=" + std::to_string(Download::kMaxPostAnswerBytes + 1);
  struct Case {
    const char* what;
    std::string url;
    long status;       // when it passes
    std::string held;  // in the answer's body, or in the failure's text
    Fails fails;
    TransferLimits limits;
    TlsTrust trust;
  };
  const Case cases[] = {
      {"200", test::HttpUrl("/soap"), 200, Echo(), Fails::kNo, Limits(), {}},
      {"400 fault", test::HttpUrl("/soap?status=400"), 400, fault + "<env:Code>", Fails::kNo, Limits(), {}},
      {"500 fault", test::HttpUrl("/soap?status=500"), 500, Echo(), Fails::kNo, Limits(), {}},
      {"404",
       test::HttpUrl("/soap?status=404"),
       0,
       "File not available (HTTP 404 Not Found)",
       Fails::kPlain,
       Limits(),
       {}},
      {"401 without login",
       test::HttpUrl("/soap?auth=basic"),
       0,
       "(HTTP 401 Unauthorized: the camera asks for Basic",
       Fails::kPlain,
       Limits(),
       {}},
      {"Basic, body sent again", Login("user:sEcr3tw0rd", "/soap?auth=basic"), 200, Echo(), Fails::kNo, Limits(), {}},
      {"login nobody asks for", Login("user:sEcr3tw0rd", "/soap"), 200, Echo(), Fails::kNo, Limits(), {}},
      {"Digest, body sent again", test::CameraUrl("/digest/soap", false, odd), 200, Echo(), Fails::kNo, Limits(), {}},
      {"Digest, nonce kept", test::CameraUrl("/digest/soap", false, odd), 200, Echo(), Fails::kNo, Limits(), {}},
      {"Digest MD5", test::CameraUrl("/digest-md5/soap", false, "user:pass"), 200, Echo(), Fails::kNo, Limits(), {}},
      {"Digest over https, pinned", test::CameraUrl("/digest/soap", true, odd), 200, Echo(), Fails::kNo, Limits(),
       TlsTrust::Parse(test::CameraKey())},
      {"Digest refused",
       test::CameraUrl("/digest/soap", false, "orvella:wr0ngw0rd"),
       0,
       "(HTTP 401 Unauthorized",
       Fails::kLogin,
       Limits(),
       {}},
      {"Basic through lighttpd", test::CameraUrl("/basic/soap", false, odd), 200, Echo(), Fails::kNo, Limits(), {}},
      {"redirect",
       test::HttpUrl("/redirect?to=/soap"),
       0,
       "File not available (HTTP 302 Found)",
       Fails::kPlain,
       Limits(),
       {}},
      {"redirect with a login",
       Login("user:sEcr3tw0rd", "/redirect?to=/soap"),
       0,
       "File not available (HTTP 302 Found)",
       Fails::kPlain,
       Limits(),
       {}},
      {"answer at the limit",
       test::HttpUrl("/soap?size=" + std::to_string(Download::kMaxPostAnswerBytes)),
       200,
       std::string(1, '\0'),
       Fails::kNo,
       Limits(),
       {}},
      {"announced answer over the limit",
       test::HttpUrl(big),
       0,
       Download::kPostTooLargeText,
       Fails::kPlain,
       Limits(),
       {}},
      {"answer found over the limit",
       test::HttpUrl(big + "&nolength=1"),
       0,
       Download::kPostTooLargeText,
       Fails::kPlain,
       Limits(),
       {}},
      {"ftp", test::FtpUrl("x"), 0, Download::kPostSchemeText, Fails::kPlain, Limits(), {}},
      {"ConnectionTimeout", SilentHttpsUrl(), 0, "(ConnectionTimeout)", Fails::kWin32, Limits(500), {}},
      {"answer slower than ConnectionTimeout",
       test::HttpUrl("/soap?delay=1500"),
       200,
       Echo(),
       Fails::kNo,
       Limits(500),
       {}},
      {"stalled answer",
       test::HttpUrl("/soap?size=5000&stall=100"),
       0,
       "nothing received for 1000 ms",
       Fails::kWin32,
       [] {
         TransferLimits limits = Limits();
         limits.stallMs = 1000;
         return limits;
       }(),
       {}},
  };
  for (const Case& c : cases) {
    const Outcome got = Post(c.url, c.limits, c.trust);
    EXPECT_EQ(static_cast<int>(c.fails), static_cast<int>(got.fails)) << c.what << ": " << got.text;
    EXPECT_EQ(c.status, got.status) << c.what;
    EXPECT_NE(std::string::npos, got.text.find(c.held)) << c.what << ": " << got.text;
    EXPECT_EQ(std::string::npos, got.text.find("w0rd")) << c.what << ": a password in " << got.text;
  }
  // The same session downloads as before: a GET, redirects followed.
  Download::Body body{buffer, 0, ""};
  ASSERT_EQ(Download::Got::kBody, download.Fetch(test::HttpUrl("/redirect?to=/bytes/5").c_str(), Limits(), {}, body));
  EXPECT_EQ(5u, body.size);
}

TEST_F(DownloadPostTest, NoLoginGoesOutUnasked) {
  const Outcome got = Post(Login("user:sEcr3tw0rd", "/soap"), Limits());
  EXPECT_EQ(200, got.status) << got.text;
  EXPECT_EQ(std::string::npos, test::ServerControl("/_lastrequest").find("Authorization"));
}

TEST_F(DownloadPostTest, CallsAndDownloadsShareOneConnection) {
  Download::Body body{buffer, 0, ""};
  ASSERT_EQ(Download::Got::kBody, download.Fetch(test::HttpUrl("/bytes/10").c_str(), Limits(), {}, body));
  const int before = test::HttpConnectionCount();
  for (const char* path : {"/soap", "/soap?status=500", "/soap?status=400", "/soap"})
    EXPECT_EQ(Fails::kNo, Post(test::HttpUrl(path), Limits()).fails) << path;
  ASSERT_EQ(Download::Got::kBody, download.Fetch(test::HttpUrl("/bytes/10").c_str(), Limits(), {}, body));
  EXPECT_EQ(before, test::HttpConnectionCount()) << "four calls between two downloads, no new connection";
}

TEST_F(DownloadPostTest, AbortFromAnotherThread) {
  std::thread aborter([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    download.Abort();
  });
  const Clock::time_point start = Clock::now();
  const Outcome got = Post(test::HttpUrl("/hang"), Limits());
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  aborter.join();
  EXPECT_EQ(Download::kAbortedText, got.text);
  EXPECT_LT(ms, 1500) << "the abort came after 300 ms";
  EXPECT_EQ(Download::kAbortedText, Post(test::HttpUrl("/soap"), Limits()).text) << "until reopened";
  download.OpenSession();
  EXPECT_EQ(200, Post(test::HttpUrl("/soap"), Limits()).status);
}

}  // namespace
}  // namespace orvella
