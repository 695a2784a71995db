// The multipart body of a camera's picture stream (multipart/x-mixed-replace,
// "MJPEG over HTTP"): parts found by their delimiter line and, where a part
// announces one, its Content-Length. Shared by every stream backend.
//
// Thread safety: none of its own; one parser belongs to one reader thread.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace orvella {

class MultipartParser {
 public:
  // Where the picture parts' bodies go. Parts whose Content-Type is neither
  // an image nor application/octet-stream are skipped, never passed on.
  class Sink {
   public:
    // A part begins; `length` is its Content-Length, or -1 when none given;
    // `type` its Content-Type as written, "" when none given.
    virtual void PartBegin(long long length, const std::string& type) = 0;
    virtual void PartBytes(const char* data, size_t size) = 0;
    // The part is complete; its last `trim` bytes passed were the carriage
    // return of the delimiter's line end, not picture.
    virtual void PartEnd(size_t trim) = 0;

   protected:
    ~Sink() = default;
  };

  // Limits on what is not picture: one part's header block, and the bytes
  // before the first delimiter or between a part and the next delimiter.
  static constexpr size_t kMaxHeaderBytes = 16 * 1024;
  static constexpr size_t kMaxSkipBytes = 64 * 1024;

  // `boundary` as the answer's Content-Type gives it; "" takes the first
  // line that begins with "--" as the delimiter.
  MultipartParser(const std::string& boundary, Sink& sink);

  // Takes the next bytes of the body, split anywhere. Raises
  // std::runtime_error when they are not a multipart stream; the sink's
  // exceptions pass through. Bytes after the closing delimiter are ignored.
  void Feed(const char* data, size_t size);

  // The closing delimiter ("--boundary--") has been seen.
  bool Closed() const { return state == State::kClosed; }
  // Inside a picture part: an end of the stream now cuts a picture.
  bool InPart() const { return forwarding && (state == State::kBodyLength || state == State::kBodyScan); }

 private:
  enum class State { kPreamble, kHeaders, kBodyLength, kBodyScan, kDelimiterTail, kAfterBody, kClosed };

  // Line-wise states: gathers one line, returns the bytes used.
  size_t TakeLine(const char* data, size_t size);
  void OnLine();
  void OnHeaderLine();
  // A delimiter line ("--b") or the closing one ("--b--"), learning the
  // delimiter from the first such line when needed.
  enum class Delimiter { kNone, kOpen, kClose };
  Delimiter Classify(const std::string& text);
  void BeginBody();
  void Skipped(size_t bytes);
  // Body states: return the bytes used.
  size_t TakeLength(const char* data, size_t size);
  size_t TakeScan(const char* data, size_t size);
  void Emit(const char* data, size_t size);
  void EndPart(size_t trim);
  void LearnDelimiter(const std::string& text);

  Sink& sink;
  std::string boundary;
  std::string delimiter;         // the delimiter line, "--" + boundary as the camera writes it
  std::string marker;            // "\n" + delimiter: the end of a part without a length
  std::vector<size_t> fallback;  // the marker's prefix function (Knuth-Morris-Pratt)
  State state = State::kPreamble;
  std::string line;  // the line being gathered (kept to a bounded length)
  bool lineOverflow = false;
  size_t skipped = 0;       // bytes of preamble, junk or headers so far
  long long length = -1;    // this part's Content-Length
  long long left = 0;       // body bytes still to come (kBodyLength)
  bool picture = true;      // this part's Content-Type is a picture
  std::string type;         // this part's Content-Type
  bool forwarding = false;  // this part's bytes go to the sink
  size_t matched = 0;       // marker bytes matched and held back (kBodyScan)
  char lastEmitted = 0;
};

}  // namespace orvella
