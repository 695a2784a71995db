// One camera's downloads: the internet library's session, kept from one
// download to the next (connections and logins are reused), and what a
// download brings. One implementation per library:
// curl/CurlDownload_curl.cpp and wininet/WinInetDownload_wininet.cpp.
//
// Thread safety: OpenSession and CloseSession run on the host thread that
// sets the owner up or tears it down, Fetch and Post on the owner's worker;
// Abort and IsSessionOpen on any thread at any time, also while they run.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "acquisition/transport/ReceiveBuffer.h"
#include "acquisition/transport/StreamReading.h"

namespace orvella {

struct TransferLimits;
class TlsTrust;

class Download {
 public:
  static constexpr const char* kNoSessionText = "FTPStream::ReadFile: Internet session not opened";
  static constexpr const char* kNotAvailableText = "File not available";
  static constexpr const char* kAbortedText = "FTPStream::ReadFile: download aborted";
  // A call's answer is small: a larger one fails.
  static constexpr int kMaxPostAnswerBytes = 1024 * 1024;
  static constexpr const char* kPostTooLargeText = "FTPStream::ReadFile: response larger than 1 MiB (1048576 bytes)";
  static constexpr const char* kPostSchemeText = "FTPStream::ReadFile: only http and https URLs take a POST";

  // What the URL answered.
  enum class Got {
    kBody,           // the whole body
    kPictureStream,  // a picture stream: its body waits in TakeAnswer
  };
  // The bytes of a kBody answer.
  struct Body {
    ReceiveBuffer& buffer;
    uint32_t size = 0;
    std::string type;  // the final answer's Content-Type as sent, "" for none
  };

  Download();
  ~Download();
  Download(const Download&) = delete;
  Download& operator=(const Download&) = delete;

  // Opens the session (agent "Orvella"); raises Win32Exception. Reopening
  // after Abort clears the abort.
  void OpenSession();
  // Any time, any number of times (not while Fetch runs: Abort first).
  void CloseSession();
  bool IsSessionOpen() const;
  // A Fetch in flight fails within milliseconds, and every later one until
  // OpenSession.
  void Abort();

  // Fetches `url` under `limits`, logging in with its credentials and
  // trusting https certificates as `trust` says. HTTP statuses 200-299 pass
  // (ftp has none). Raises on every failure (see FTPStream::ReadFile).
  // After a failure `body.buffer` may have been swapped for an empty one.
  Got Fetch(const char* url, const TransferLimits& limits, const TlsTrust& trust, Body& body);
  // Posts `body` with this Content-Type (a SOAP 1.2 call names its action
  // there) to the http(s) `url`, on the same session, login, trust and clock
  // as Fetch. Returns the final answer's status, its body in `into`: 200-299,
  // and 400 and 500, which carry a SOAP fault. Every other status raises as
  // for Fetch (401 or 403 after credentials: LoginRefused); a redirect is
  // never followed (its status raises), and an answer over
  // kMaxPostAnswerBytes raises kPostTooLargeText. A URL other than http(s)
  // raises kPostSchemeText, a Content-Type holding a line break
  // std::invalid_argument. After a failure `into.buffer` may have been
  // swapped for an empty one.
  long Post(const char* url, const std::string& contentType, const std::string& body, const TransferLimits& limits,
            const TlsTrust& trust, Body& into);
  // The answer of the last kPictureStream, its body unread; the session
  // connects afresh for the next download. Null after any other outcome.
  std::unique_ptr<OpenAnswer> TakeAnswer();

 private:
  // Raises what no POST may be: to a URL other than http(s), or with a
  // Content-Type that would end the header.
  static void RefusePost(const char* url, const std::string& contentType);

  struct Impl;
  std::unique_ptr<Impl> impl;
};

}  // namespace orvella
