// The picture stream's multipart parser on hand-made streams, each fed whole,
// split at every byte into two pieces, and byte by byte.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "acquisition/source/mjpeg/MultipartParser.h"
#include "acquisition/transport/HttpAnswer.h"

namespace {

using orvella::MultipartParser;

struct Parts : MultipartParser::Sink {
  std::vector<std::string> done, types;
  std::string current;
  long long announced = 0;
  void PartBegin(long long length, const std::string& type) override {
    current.clear();
    announced = length;
    types.push_back(type);
  }
  void PartBytes(const char* data, size_t size) override { current.append(data, size); }
  void PartEnd(size_t trim) override {
    ASSERT_LE(trim, current.size());
    current.resize(current.size() - trim);
    if (announced >= 0) {
      EXPECT_EQ(current.size(), static_cast<size_t>(announced)) << "a part of announced length";
    }
    done.push_back(current);
  }
};

struct Outcome {
  std::vector<std::string> parts;
  bool closed = false;
  std::vector<std::string> types;  // each part's Content-Type, as a failed decode names it
};

Outcome Parse(const std::string& contentType, const std::vector<std::string>& pieces) {
  Parts sink;
  MultipartParser parser(orvella::BoundaryOf(contentType), sink);
  for (const std::string& piece : pieces) parser.Feed(piece.data(), piece.size());
  return {sink.done, parser.Closed(), sink.types};
}

// Every way of cutting `bytes`: whole, in two at each position, byte by byte.
std::vector<std::vector<std::string>> Splits(const std::string& bytes) {
  std::vector<std::vector<std::string>> all{{bytes}};
  for (size_t at = 1; at < bytes.size(); ++at) all.push_back({bytes.substr(0, at), bytes.substr(at)});
  std::vector<std::string> single;
  for (char c : bytes) single.emplace_back(1, c);
  all.push_back(single);
  return all;
}

std::string Part(const std::string& body, bool length, const char* type = "image/jpeg") {
  std::string head = "--frame\r\nContent-Type: " + std::string(type) + "\r\n";
  if (length) head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return head + "X-Frame: 1\r\n\r\n" + body + "\r\n";
}

TEST(MultipartParserTest, PartsSurviveEverySplit) {
  const std::string tricky = "\xff\xd8 a\r\n--fram\r\n-\n--\n--framf\r\r\n\xff\xd9";
  const struct {
    const char* name;
    std::string contentType, stream;
    std::vector<std::string> parts;
    bool closed;
  } cases[] = {
      {"lengths, preamble, the delimiter inside a body",
       "multipart/x-mixed-replace; boundary=frame",
       "preamble\r\n" + Part("A\r\n--frame\r\nB", true) + Part("", true) + Part("CC", true) + "--frame--\r\nepilogue",
       {"A\r\n--frame\r\nB", "", "CC"},
       true},
      {"no lengths: delimiter prefixes inside the bodies",
       "multipart/x-mixed-replace;boundary=\"frame\"",
       Part(tricky, false) + Part("x\n", false) + Part("y", false) + Part("unfinished", false),
       {tricky, "x\n", "y"},
       false},
      {"dashes in the parameter, LF line ends, other parts skipped",
       "Multipart/X-Mixed-Replace; charset=x; boundary=--frame",
       "--frame\nContent-Type: text/plain\n\nnot a picture\n--frame\ncontent-length: 3\n\nabc\n\n--frame--\n",
       {"abc"},
       true},
      {"no boundary parameter: the first delimiter line counts",
       "multipart/x-mixed-replace",
       "\r\n" + Part("P1", false) + Part("P2", true),
       {"P1", "P2"},
       false},
  };
  for (const auto& c : cases) {
    for (const auto& pieces : Splits(c.stream)) {
      const Outcome got = Parse(c.contentType, pieces);
      ASSERT_EQ(got.parts, c.parts) << c.name << ", " << pieces.size() << " pieces, the first " << pieces[0].size()
                                    << " bytes";
      ASSERT_EQ(got.closed, c.closed) << c.name;
    }
  }
}

TEST(MultipartParserTest, NonsenseFailsWithinItsLimits) {
  const std::string type = "multipart/x-mixed-replace; boundary=frame";
  EXPECT_THROW(Parse(type, {std::string(MultipartParser::kMaxSkipBytes + 1, 'x')}), std::runtime_error)
      << "no delimiter at all";
  EXPECT_THROW(Parse(type, {"--frame\r\nX: " + std::string(MultipartParser::kMaxHeaderBytes, 'h')}), std::runtime_error)
      << "an endless header";
  EXPECT_THROW(Parse(type, {Part("abc", true) + std::string(MultipartParser::kMaxSkipBytes + 1, '\xff')}),
               std::runtime_error)
      << "a part longer than it announced";
  EXPECT_NO_THROW(Parse(type, {Part("abc", false) + std::string(MultipartParser::kMaxSkipBytes + 1, 'x')}))
      << "a part without length may be long";
}

TEST(MultipartParserTest, ContentTypes) {
  EXPECT_TRUE(orvella::IsPictureStreamType(" multipart/x-mixed-replace;boundary=a"));
  EXPECT_FALSE(orvella::IsPictureStreamType("image/jpeg"));
  EXPECT_FALSE(orvella::IsPictureStreamType("multipart/mixed; boundary=a"));
  EXPECT_EQ(orvella::BoundaryOf("multipart/x-mixed-replace; BOUNDARY=\"Ab c\"; x=y"), "Ab c");
  EXPECT_EQ(orvella::BoundaryOf("multipart/x-mixed-replace;boundary=--x"), "--x");
  EXPECT_EQ(orvella::BoundaryOf("multipart/x-mixed-replace"), "");
  const std::string untyped = "--frame\r\nContent-Length: 1\r\n\r\nc\r\n";
  EXPECT_EQ(Parse("multipart/x-mixed-replace; boundary=frame",
                  {Part("a", true, "image/jpeg") + Part("b", false, " application/octet-stream; x=1 ") + untyped})
                .types,
            (std::vector<std::string>{"image/jpeg", "application/octet-stream; x=1", ""}));
}

}  // namespace
