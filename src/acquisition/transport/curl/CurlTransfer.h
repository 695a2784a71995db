// One libcurl transfer to a camera: an easy handle and the multi handle that
// drives it, set up once for snapshot downloads and picture streams alike.
// The set-up: agent "Orvella", http/https/ftp, HTTP/1.1, redirects (with a
// login only within the URL's origin, refused before the request goes out),
// the URL's credentials apart from it (libcurl answers Basic and Digest
// challenges and, with both allowed, never sends Basic before a server
// asked), the certificate check the camera's trust asks for, and the
// answer's headers read into AnswerHeaders. A request is a GET, or a POST of
// a body that follows no redirect and whose 400 and 500 answers (SOAP
// faults) are read as answers.
//
// Thread safety: one thread drives a transfer at a time (a download's worker,
// then, once handed over, a stream's reader); Wake from any thread.
#pragma once

#include <curl/curl.h>

#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "acquisition/transport/HttpAnswer.h"
#include "acquisition/transport/StreamReading.h"
#include "acquisition/transport/TlsTrust.h"
#include "acquisition/transport/Url.h"
#include "acquisition/transport/curl/CurlHandles.h"

namespace orvella {

class CurlTransfer {
 public:
  // Where the transfer's news goes, from inside libcurl's callbacks on the
  // thread that drives it. What a function raises fails the transfer.
  class Receiver {
   public:
    // A request goes out on a connected (for https: handshaken) connection.
    virtual void RequestSent() {}
    // A header line arrived.
    virtual void HeaderArrived() {}
    // The final answer's headers are complete (at its first body byte, or
    // at its end when it has none).
    virtual void Answered(const AnswerHeaders& answer) = 0;
    virtual void Received(const char* data, size_t size) = 0;

   protected:
    ~Receiver() = default;
  };

  // Raises Win32Exception when libcurl cannot make its handles.
  CurlTransfer();
  ~CurlTransfer();
  CurlTransfer(const CurlTransfer&) = delete;
  CurlTransfer& operator=(const CurlTransfer&) = delete;

  // What a POST sends (copied as it starts).
  struct PostData {
    const std::string& contentType;
    const std::string& body;
  };

  // Points the transfer at `login`'s URL with its credentials, `trust` and a
  // connection backstop, reporting to `receiver`, and starts it: a GET, or
  // with `post` a POST.
  void Start(const UrlLogin& login, const TlsTrust& trust, long connectMs, Receiver& receiver,
             const PostData* post = nullptr);
  // From now on the transfer's news goes to `receiver` (a hand-over).
  void Redirect(Receiver& receiver) { this->receiver = &receiver; }
  // Reads what has arrived; true once libcurl is done with the transfer,
  // with its result in `result`.
  bool Perform(CURLcode& result);
  // Waits up to `ms` for the connection; a Wake ends it at once.
  void Poll(long ms);
  // Whether data waits to be read (a perform reads one buffer at a time).
  bool Pending();
  void Wake();
  // Detaches the easy handle: a finished connection goes back to the cache
  // for the next transfer, an unfinished one is closed.
  void Stop();

  // Raises what the finished transfer ended with, if it failed: a failure
  // raised by the receiver, a refused answer, a refused certificate (with
  // the server's key, from `probeKey`), a library error. A bodiless answer
  // reaches the receiver's Answered here.
  void Judge(CURLcode result, const std::function<std::string()>& probeKey);
  // The key of the server whose certificate was refused: a bare handshake
  // (checking nothing, sending nothing) on this transfer's multi handle.
  // `nextWait` gives the milliseconds the next wait may take, or -1 to give
  // up (a close, a time-out). "" when it cannot be had.
  std::string ProbeKey(const std::function<long()>& nextWait);
  // Whether a failure was raised inside a callback.
  bool Failed() const { return static_cast<bool>(failure); }

  CURL* Easy() const { return easy.get(); }
  const AnswerHeaders& Answer() const { return answer; }
  const UrlLogin& Login() const { return login; }

 private:
  static size_t OnHeader(char* data, size_t size, size_t count, void* user);
  static size_t OnBody(char* data, size_t size, size_t count, void* user);
  static int OnRequest(void* user, char*, char*, int, int);
  // Runs `step` inside a callback: what it raises is kept for Judge.
  template <typename Step>
  bool Guard(Step step);
  // The method, body and headers of the next request.
  void SetRequest(const PostData* post);
  // Whether the final answer's status refuses the request.
  bool Refused(long status) const { return posting ? IsPostRefusal(status) : IsRefusal(status); }

  EasyHandle easy;  // destroyed after multi
  MultiHandle multi;
  bool added = false;
  long connectMs = 0;
  SlistHandle headers;   // a POST's
  bool posting = false;  // the request is a POST
  UrlLogin login;
  Receiver* receiver = nullptr;
  AnswerHeaders answer;
  bool answered = false;
  std::exception_ptr failure;
  char errorText[CURL_ERROR_SIZE] = "";
};

// A picture stream's answer as a download hands it to the stream's reader:
// the transfer, still running, and the body bytes that came with the headers.
struct CurlOpenAnswer final : OpenAnswer {
  std::unique_ptr<CurlTransfer> transfer;
  std::string early;
};

}  // namespace orvella
