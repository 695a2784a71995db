// The source table's switching rules, with scripted sources and no servers:
// snapshot to stream (the found answer handed over), stream to snapshot, a
// URL change or a failure closing the stream, an abort reaching every source.
#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "acquisition/PixelTarget.h"
#include "acquisition/source/SourceTable.h"
#include "acquisition/transport/TlsTrust.h"
#include "acquisition/transport/TransferClock.h"

namespace orvella {
namespace {

using Found = PictureSource::Found;

// What a source answers to Next, one entry per call; "fail" raises.
struct FakeSource final : PictureSource {
  enum class Kind { kResolver, kRtsp, kStream, kSnapshot };
  FakeSource(const char* n, Kind k, std::string& log) : name(n), kind(k), log(log) {}

  bool Serves(const std::string& url) const override {
    if (kind == Kind::kResolver) return url.rfind("onvif:", 0) == 0;
    if (kind == Kind::kRtsp) return url.rfind("rtsp:", 0) == 0;
    if (kind == Kind::kStream) return url == streamUrl;
    return true;
  }
  Found Next(const Request& request) override {
    Note("next");
    std::string answer = script.empty() ? "picture" : script.front();
    if (!script.empty()) script.pop_front();
    if (answer == "fail") throw std::runtime_error(name + " failed");
    if (kind == Kind::kResolver) return Found::kResolved;
    if (answer == "stream") return Found::kPictureStream;
    if (answer == "single") {
      streamUrl.clear();
      open = false;
      return Found::kNotAStream;
    }
    delivered = request.url;
    return Found::kPicture;
  }
  void Write(const PixelTarget&, int, int, bool) override { Note("write"); }
  void Abort() override { Note("abort"); }
  void Close() override {
    if (open) Note("close");
    open = false;
  }
  void Failed() override {
    if (kind != Kind::kRtsp) Close();  // RTSP keeps its reconnecting reader
  }
  std::unique_ptr<OpenAnswer> TakeAnswer() override { return std::make_unique<OpenAnswer>(); }
  const std::string& ResolvedUrl() const override { return resolvedUrl; }
  bool Adopt(const std::string& url, std::unique_ptr<OpenAnswer>& answer) override {
    if (kind != Kind::kStream || !answer) return false;
    Note("adopt");
    answer.reset();
    streamUrl = url;
    open = true;
    return true;
  }
  void Note(const char* what) { log += name + "." + what + " "; }

  std::string name;
  Kind kind;
  std::string& log;
  std::deque<std::string> script;
  std::string streamUrl, delivered, resolvedUrl = "http://a";
  bool open = false;
};

TEST(SourceTableTest, SwitchesSourcesByTheRules) {
  struct Step {
    const char* url;
    std::map<std::string, std::deque<std::string>> script;  // source -> its answers this step
    const char* events;                                     // what the sources saw, in order
    const char* failure;                                    // "" when a picture is written
  };
  // A download of http://a finds a stream, and the stream delivers.
  const Step found = {"http://a", {{"snap", {"stream"}}}, "snap.next mjpeg.adopt mjpeg.next mjpeg.write ", ""};
  const struct {
    const char* name;
    std::vector<Step> steps;
  } cases[] = {
      {"a download finding a stream hands it over, and the stream reads on",
       {found, {"http://a", {}, "mjpeg.next mjpeg.write ", ""}}},
      {"a stream answering with a single picture goes back to snapshots",
       {found,
        {"http://a", {{"mjpeg", {"single"}}}, "mjpeg.next snap.next snap.write ", ""},
        {"http://a", {}, "snap.next snap.write ", ""}}},
      {"a URL change closes the stream",
       {found,
        {"http://b", {}, "snap.next mjpeg.close snap.write ", ""},
        {"rtsp://c", {}, "rtsp.next rtsp.write ", ""}}},
      {"a failure closes the stream, and the next cycle reconnects it",
       {found,
        {"http://a", {{"mjpeg", {"fail"}}}, "mjpeg.next mjpeg.close ", "mjpeg failed"},
        {"http://a", {}, "mjpeg.next mjpeg.write ", ""}}},
      {"an onvif URL stands for the URL it resolves to, streams included",
       {{"onvif://c", {{"snap", {"stream"}}}, "onvif.next snap.next mjpeg.adopt mjpeg.next mjpeg.write ", ""},
        {"onvif://c", {}, "onvif.next mjpeg.next mjpeg.write ", ""},
        {"onvif://c", {{"onvif", {"fail"}}}, "onvif.next mjpeg.close ", "onvif failed"}}},
      {"a camera that keeps switching fails the cycle",
       {{"http://a",
         {{"snap", {"stream", "stream"}}, {"mjpeg", {"single", "single"}}},
         "snap.next mjpeg.adopt mjpeg.next snap.next mjpeg.adopt mjpeg.next ",
         SourceTable::kSwitchingText}}},
  };
  const TransferLimits limits;
  const TlsTrust trust;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string log;
    FakeSource onvif("onvif", FakeSource::Kind::kResolver, log), rtsp("rtsp", FakeSource::Kind::kRtsp, log),
        mjpeg("mjpeg", FakeSource::Kind::kStream, log), snap("snap", FakeSource::Kind::kSnapshot, log);
    std::map<std::string, FakeSource*> byName{{"onvif", &onvif}, {"rtsp", &rtsp}, {"mjpeg", &mjpeg}, {"snap", &snap}};
    SourceTable table{&onvif, &rtsp, &mjpeg, &snap};
    for (const Step& step : c.steps) {
      SCOPED_TRACE(step.url);
      for (const auto& entry : step.script) byName[entry.first]->script = entry.second;
      log.clear();
      std::string failure;
      try {
        table.Next(PictureSource::Request{step.url, PictureSource::Clock::time_point(), limits, trust});
        table.Write(PixelTarget{}, 1, 1, true);
      } catch (const std::exception& e) {
        failure = e.what();
      }
      EXPECT_EQ(log, step.events);
      EXPECT_EQ(failure, step.failure);
    }
  }
}

TEST(SourceTableTest, AbortReachesEverySource) {
  std::string log;
  FakeSource rtsp("rtsp", FakeSource::Kind::kRtsp, log), mjpeg("mjpeg", FakeSource::Kind::kStream, log),
      snap("snap", FakeSource::Kind::kSnapshot, log);
  SourceTable table{&rtsp, &mjpeg, &snap};
  table.Abort();
  EXPECT_EQ(log, "rtsp.abort mjpeg.abort snap.abort ");
}

}  // namespace
}  // namespace orvella
