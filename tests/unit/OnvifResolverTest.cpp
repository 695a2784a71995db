// The way to a camera's picture URI, against a scripted camera (no servers):
// its clock hours off, Media2 before Media, GetCapabilities where
// GetServices is missing, a refused login tried once more and then
// reported as such, no snapshots, a profile asked for by token.
#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <string>

#include "acquisition/source/onvif/OnvifResolver.h"
#include "driver/Errors.h"

namespace orvella::onvif {
namespace {

constexpr std::time_t kOurs = 1796686261;  // 2026-12-07T23:31:01Z

struct Camera final : Poster {
  long long clockOffset = 3 * 3600;  // the camera's clock, hours ahead
  bool media2 = true, services = true, snapshot = true;
  int refusals = 0;  // signed requests refused before the camera takes them
  std::string calls;

  Answer Post(const std::string& url, const std::string& type, const std::string& body) override {
    const std::string action = type.substr(type.rfind('/') + 1, type.size() - type.rfind('/') - 2);
    calls += action + " ";
    if (action == "GetSystemDateAndTime")
      return Ok(
          "<UTCDateTime><Date><Year>2026</Year><Month>12</Month><Day>8</Day></Date><Time><Hour>2</Hour>"
          "<Minute>31</Minute><Second>1</Second></Time></UTCDateTime>");
    const size_t created = body.find("<Created");
    if (created == std::string::npos || body.compare(body.find('>', created) + 1, 20, "2026-12-08T02:31:01Z") != 0 ||
        refusals-- > 0)
      return Fault("ter:NotAuthorized", "Sender not authorized");
    if (action == "GetServices")
      return services ? Ok("<Service><Namespace>http://www.onvif.org/ver10/media/wsdl</Namespace><XAddr>http://"
                           "192.168.1.9/m1</XAddr></Service>" +
                           std::string(media2 ? "<Service><Namespace>http://www.onvif.org/ver20/media/wsdl"
                                                "</Namespace><XAddr>http://192.168.1.9/m2</XAddr></Service>"
                                              : ""))
                      : Fault("ter:ActionNotSupported", "no");
    if (action == "GetCapabilities")
      return Ok("<Capabilities><Media><XAddr>http://x/m1</XAddr></Media></Capabilities>");
    const std::string media = url.substr(url.rfind('/'));
    if (action == "GetProfiles")
      return Ok("<Profiles token=\"" + media.substr(1) + "a\"/><Profiles token=\"" + media.substr(1) + "b\"/>");
    const std::string token = body.substr(body.find("<ProfileToken>") + 14, 3);
    if (action == "GetSnapshotUri")
      return snapshot ? Ok("<Uri> http://cam/snap?p=" + token + "\r\n</Uri>") : Fault("ter:ActionNotSupported", "no");
    return Ok("<Uri>rtsp://cam/live/" + token + "</Uri>");
  }
  static Answer Ok(const std::string& inner) { return {200, "<Envelope><Body>" + inner + "</Body></Envelope>"}; }
  static Answer Fault(const std::string& sub, const std::string& why) {
    return {400, "<Envelope><Body><Fault><Code><Value>s:Sender</Value><Subcode><Value>" + sub +
                     "</Value></Subcode></Code><Reason><Text>" + why + "</Text></Reason></Fault></Body></Envelope>"};
  }
};

TEST(OnvifResolverTest, FindsThePictureUriTheWayCamerasAnswer) {
  const struct {
    const char* name;
    const char* url;
    void (*setUp)(Camera&);
    const char* expect;  // the URI, or the reason
  } cases[] = {
      {"media2 first, the first profile's snapshot", "onvif://u:p@cam", [](Camera&) {}, "http://u:p@cam/snap?p=m2a"},
      {"media only", "onvif://u:p@cam", [](Camera& c) { c.media2 = false; }, "http://u:p@cam/snap?p=m1a"},
      {"no GetServices", "onvif://u:p@cam", [](Camera& c) { c.services = false; }, "http://u:p@cam/snap?p=m1a"},
      {"a profile by token, its stream", "onvif://u:p@cam/m2b?stream", [](Camera&) {}, "rtsp://u:p@cam/live/m2b"},
      {"no snapshots: the stream", "onvif://u:p@cam", [](Camera& c) { c.snapshot = false; }, "rtsp://u:p@cam/live/m2a"},
      {"refused once, then taken", "onvif://u:p@cam", [](Camera& c) { c.refusals = 1; }, "http://u:p@cam/snap?p=m2a"},
      {"refused twice", "onvif://u:p@cam", [](Camera& c) { c.refusals = 2; },
       "LoginRefused ONVIF GetServices: the camera refused the login (NotAuthorized: Sender not authorized)"},
      {"an unknown profile", "onvif://u:p@cam/nope", [](Camera&) {},
       "ONVIF GetProfiles: the camera has no profile nope (it has m2a, m2b)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Camera camera;
    c.setUp(camera);
    Resolver resolver(
        camera, [] { return kOurs; }, [] { return std::string(16, 'n'); });
    Address address;
    std::string got;
    ASSERT_TRUE(ParseAddress(c.url, address, got)) << got;
    try {
      got = resolver.Resolve(address);
    } catch (const LoginRefused& e) {
      got = std::string("LoginRefused ") + e.what();
    } catch (const std::exception& e) {
      got = e.what();
    }
    EXPECT_EQ(got, c.expect) << camera.calls;
  }
}

}  // namespace
}  // namespace orvella::onvif
