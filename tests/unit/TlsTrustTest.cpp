// The TlsTrust setting: what each value means, the key of a certificate in
// the form the setting takes (checked against openssl's), and the refusal
// text that hands the user that key.
#include <gtest/gtest.h>

#include <string>

#include "acquisition/transport/TlsTrust.h"

namespace orvella {
namespace {

// A self-signed EC certificate; its key pin as `openssl x509 -pubkey | openssl
// pkey -pubin -outform der | openssl dgst -sha256 -binary | base64` gives it.
constexpr char kCertificate[] =
    "-----BEGIN CERTIFICATE-----\n"
    "MIIBiDCCAS2gAwIBAgIUeiRVbk74I6rMP3trILPre89BDuowCgYIKoZIzj0EAwIw\n"
    "GTEXMBUGA1UEAwwOY2FtZXJhLmludmFsaWQwHhcNMjYxMjA3MTQxMTEyWhcNMzYx\n"
    "MjA0MTQxMTEyWjAZMRcwFQYDVQQDDA5jYW1lcmEuaW52YWxpZDBZMBMGByqGSM49\n"
    "AgEGCCqGSM49AwEHA0IABOwU+FjR3VrgA1DQ551BlT7OTlkkaUZTE9SMvGoeMiUv\n"
    "a+2S8nG/lHUuvZI9i4qBHl8lD1yZYku+dnod1BwFy7+jUzBRMB0GA1UdDgQWBBQS\n"
    "Kn+H3z+V/HYJmtPIf0zan2/YKTAfBgNVHSMEGDAWgBQSKn+H3z+V/HYJmtPIf0za\n"
    "n2/YKTAPBgNVHRMBAf8EBTADAQH/MAoGCCqGSM49BAMCA0kAMEYCIQC9lI3eu+gi\n"
    "S+1SQxfebIzRFkH2LJ+9XdXw/khC9muZnwIhAMXjQ+mDFHWJk+a5o0FHjp5Q40xs\n"
    "qFGL4Mqk3PNuZxb9\n"
    "-----END CERTIFICATE-----\n";
constexpr char kPin[] = "sha256//fEYeQ/umjuK/O/x5mHUDQXeS6o79nJjiEWg/BlOdqUY=";
constexpr char kOtherPin[] = "sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";

TEST(TlsTrustTest, ValuesAndTheirMeaning) {
  using Mode = TlsTrust::Mode;
  struct Case {
    std::string value;
    Mode mode;
    bool understood;
    std::string pins;
  };
  const Case cases[] = {
      {"", Mode::System, true, ""},
      {" System ", Mode::System, true, ""},
      {"ANY", Mode::Any, true, ""},
      {kPin, Mode::Pin, true, kPin},
      {std::string(" SHA256//") + (kPin + 8) + " ; " + kOtherPin, Mode::Pin, true, std::string(kPin) + ";" + kOtherPin},
      {"sha256//c2hvcnQ=", Mode::System, false, ""},
      {std::string(kPin) + ";", Mode::System, false, ""},
      {"off", Mode::System, false, ""},
  };
  for (const Case& c : cases) {
    const TlsTrust trust = TlsTrust::Parse(c.value);
    EXPECT_EQ(trust.mode, c.mode) << c.value;
    EXPECT_EQ(trust.understood, c.understood) << c.value;
    EXPECT_EQ(trust.pins, c.pins) << c.value;
  }
  const TlsTrust two = TlsTrust::Parse(std::string(kOtherPin) + ";" + kPin);
  EXPECT_TRUE(two.Accepts(kPin));
  EXPECT_FALSE(two.Accepts("sha256//fEYeQ"));
  EXPECT_FALSE(TlsTrust::Parse("any").Accepts(kPin)) << "'any' needs no pin check";

  EXPECT_EQ(TlsTrust::Parse("any").Warning("Camera 2"),
            "TlsTrust=any: the certificate of camera Camera 2 is not checked");
  EXPECT_EQ(TlsTrust::Parse("of").Warning("Camera 2"),
            "TlsTrust=of of camera Camera 2 is not understood (system, any or sha256//<key>): its certificate is "
            "checked as with system");
  EXPECT_EQ(TlsTrust::Parse(kPin).Warning("Camera 2"), "");
}

TEST(TlsTrustTest, TheKeyOfACertificateAsOpensslComputesIt) {
  EXPECT_EQ(KeyPinOfPem(kCertificate), kPin);
  EXPECT_EQ(KeyPinOfPem("-----BEGIN CERTIFICATE-----\nMIIBiDCCAS2g\n-----END CERTIFICATE-----\n"), "")
      << "a certificate cut short";
  EXPECT_EQ(KeyPinOfPem("no certificate"), "");
  EXPECT_EQ(KeyPinOfCertificate(nullptr, 0), "");
}

TEST(TlsTrustTest, ARefusalHandsOverTheServersKey) {
  EXPECT_EQ(TlsRefusalText("The certificate authority is invalid or incorrect.\r\n", kPin),
            std::string("The certificate authority is invalid or incorrect. (the camera's key is ") + kPin +
                "; once you have checked it is the camera's, TlsTrust=" + kPin + " in its settings accepts it)");
  EXPECT_EQ(TlsRefusalText("SSL certificate problem", ""), "SSL certificate problem");
}

}  // namespace
}  // namespace orvella
