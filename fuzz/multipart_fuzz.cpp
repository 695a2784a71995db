// The MJPEG stream's multipart parser against a camera's bytes: no crash,
// parts well formed (a part with a length gets exactly that many bytes, the
// trimmed line end is one the part passed), and the same parts however the
// network splits the body.
//
// Input: byte 0 picks the boundary ("" learns it, else "frame"), byte 1 the
// chunk size of the split run; the rest is the body.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "acquisition/source/mjpeg/MultipartParser.h"

namespace {

struct Part {
  long long length;
  std::string type, bytes;
};

class Collect : public orvella::MultipartParser::Sink {
 public:
  std::vector<Part> parts;
  bool open = false;

  void PartBegin(long long length, const std::string& type) override {
    Check(!open);
    open = true;
    parts.push_back(Part{length, type, ""});
  }
  void PartBytes(const char* data, size_t size) override {
    Check(open);
    parts.back().bytes.append(data, size);
  }
  void PartEnd(size_t trim) override {
    Check(open);
    Part& part = parts.back();
    Check(trim <= part.bytes.size());
    Check(trim == 0 || part.bytes[part.bytes.size() - trim] == '\r');
    part.bytes.resize(part.bytes.size() - trim);
    if (part.length >= 0) Check(static_cast<long long>(part.bytes.size()) == part.length);
    open = false;
  }
};

// The parts completed and whether the body was refused.
struct Outcome {
  std::vector<Part> parts;
  bool refused = false;
};

Outcome Run(const std::string& boundary, const char* body, size_t size, size_t chunk) {
  Collect sink;
  orvella::MultipartParser parser(boundary, sink);
  Outcome out;
  try {
    for (size_t at = 0; at < size; at += chunk) parser.Feed(body + at, std::min(chunk, size - at));
  } catch (const std::runtime_error&) {
    out.refused = true;
  }
  if (sink.open) sink.parts.pop_back();  // cut by the end of the input
  out.parts = std::move(sink.parts);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const std::string boundary = data[0] & 1 ? "frame" : "";
  const size_t chunk = 1 + data[1] % 97;
  const char* body = reinterpret_cast<const char*>(data + 2);
  const size_t length = size - 2;
  const Outcome whole = Run(boundary, body, length, length ? length : 1);
  const Outcome split = Run(boundary, body, length, chunk);
  Check(whole.refused == split.refused);
  Check(whole.parts.size() == split.parts.size());
  for (size_t i = 0; i < whole.parts.size(); ++i) {
    Check(whole.parts[i].length == split.parts[i].length);
    Check(whole.parts[i].type == split.parts[i].type);
    Check(whole.parts[i].bytes == split.parts[i].bytes);
  }
  return 0;
}
