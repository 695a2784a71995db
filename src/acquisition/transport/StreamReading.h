// Reading an answer that never ends (a camera's picture stream) on a thread
// of its own. One implementation per internet library:
// curl/CurlStream_curl.cpp and wininet/WinInetStream_wininet.cpp.
//
// Thread safety: ReadStream runs on the reader's thread and calls the sink
// there; the sink's owner may wake it through the waker from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace orvella {

struct TransferLimits;
class TlsTrust;

// An answer whose headers are read and whose body has not been (a picture
// stream a download found), with the connection it came on: handed from the
// download to the stream's reader, which reads the body on. Each library
// defines what it holds.
class OpenAnswer {
 public:
  virtual ~OpenAnswer() = default;
};

// What the reader reports to, and asks what to do next.
class StreamSink {
 public:
  virtual const TransferLimits& Limits() const = 0;
  virtual const TlsTrust& Trust() const = 0;
  // The final answer's status and Content-Type. Raises to end the reading
  // (a refusal, a single picture rather than a stream).
  virtual void Answered(long status, const std::string& contentType) = 0;
  // Body bytes as they arrive; raises when they are no picture stream.
  virtual void Received(const char* data, size_t size) = 0;
  // What to do once everything there was has been read.
  struct Plan {
    std::chrono::milliseconds wait;  // the longest wait for more
    bool rest;                       // nobody needs the data now: Rest, not a wait on the connection
  };
  // False once the reading is to end; otherwise the plan for the next wait.
  virtual bool KeepGoing(Plan& plan) = 0;
  // Everything has been read and the reader waits on the connection (true),
  // or has woken (false).
  virtual void Waiting(bool on) = 0;
  // Sleeps up to `most` without reading, until the owner wants data.
  virtual void Rest(std::chrono::milliseconds most) = 0;
  // A way to cut the reader's wait short from another thread (null: none).
  virtual void SetWaker(std::function<void()> wake) = 0;

 protected:
  ~StreamSink() = default;
};

// Reads `url` into `sink` until the connection ends (returns), the sink says
// stop (returns) or a failure (raises). `answer`: the connection a download
// already opened on `url`, whose headers the sink then gets first; null
// connects afresh, with the URL's login and the sink's trust and limits.
void ReadStream(StreamSink& sink, const std::string& url, std::unique_ptr<OpenAnswer> answer);

}  // namespace orvella
