// Picture streams on libcurl: one easy and one multi handle per connection,
// driven by the reader thread (multi perform and poll), whose poll Stop
// wakes from any thread.
#include <curl/curl.h>
#include <strings.h>

#include <cstring>
#include <memory>
#include <string>

#include "acquisition/CurlHandles.h"
#include "acquisition/net/StatusLine.h"
#include "acquisition/source/MjpegStream.h"
#include "driver/Errors.h"

namespace orvella {

namespace {
// One connection's answer as curl reports it.
struct Connection {
  explicit Connection(MjpegStream::Reader& r) : reader(r) {}

  MjpegStream::Reader& reader;
  long status = 0;  // of the header block being read
  std::string contentType;
  bool answered = false;
  std::exception_ptr failure;  // raised inside a callback, rethrown after
  char errorText[CURL_ERROR_SIZE] = "";

  // The final answer: redirects (followed) and interim answers are not.
  void Answer() {
    answered = true;
    reader.Answered(status, contentType);
  }

  static size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    auto* c = static_cast<Connection*>(user);
    const size_t length = size * count;
    long code = 0;
    size_t phrase = 0;
    if (ParseStatusLine(data, length, code, phrase)) {
      c->status = code;
      c->contentType.clear();
    } else if (length > 13 && strncasecmp(data, "content-type:", 13) == 0) {
      c->contentType.assign(data + 13, length - 13);
    } else if (length <= 2 && (data[0] == '\r' || data[0] == '\n') && c->status >= 200 &&
               (c->status < 300 || c->status >= 400)) {
      try {
        c->Answer();  // the blank line ends the final header block
      } catch (...) {
        c->failure = std::current_exception();
        return 0;
      }
    }
    return length;
  }

  static size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* c = static_cast<Connection*>(user);
    const size_t length = size * count;
    try {
      if (!c->answered) c->Answer();
      c->reader.Received(data, length);
    } catch (...) {
      c->failure = std::current_exception();
      return CURL_WRITEFUNC_ERROR;
    }
    return length;
  }
};

void Configure(CURL* h, Connection& c, const std::string& url, const TransferLimits& limits) {
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_USERAGENT, "Orvella");
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);  // a proxy's 200 is not the camera's answer
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.connectMs));
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &Connection::OnHeader);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &c);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Connection::OnBody);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &c);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, c.errorText);
  curl_easy_setopt(h, CURLOPT_BUFFERSIZE, 256L * 1024);  // a picture in a few reads
}
}  // namespace

void ReadPictureStream(MjpegStream::Reader& reader, const std::string& url) {
  EasyHandle easy(curl_easy_init());
  MultiHandle multi(curl_multi_init());
  if (!easy || !multi) throw Win32Exception(CURLE_FAILED_INIT, Win32Exception::Kind::Internet);
  Connection c(reader);
  Configure(easy.get(), c, url, reader.Limits());
  CURLM* m = multi.get();
  if (curl_multi_add_handle(m, easy.get()) != CURLM_OK)
    throw Win32Exception(CURLE_FAILED_INIT, Win32Exception::Kind::Internet);
  // Before the handles go: no waker may touch them afterwards.
  struct Detach {
    MjpegStream::Reader& reader;
    CURLM* multi;
    CURL* easy;
    ~Detach() {
      reader.SetWaker(nullptr);
      curl_multi_remove_handle(multi, easy);
    }
  } detach{reader, m, easy.get()};
  reader.SetWaker([m] { curl_multi_wakeup(m); });

  bool done = false;
  CURLcode result = CURLE_OK;
  MjpegStream::Reader::Plan plan{};
  while (!done && reader.KeepGoing(plan)) {
    int running = 0;
    const CURLMcode step = curl_multi_perform(m, &running);
    if (step != CURLM_OK)
      throw Win32Exception(CURLE_FAILED_INIT, Win32Exception::Kind::Internet, curl_multi_strerror(step));
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(m, &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      result = message->data.result;
      done = true;
    }
    if (running == 0) done = true;
    if (done) break;
    // A perform reads one buffer: read on while there is more.
    int ready = 0;
    curl_multi_poll(m, nullptr, 0, 0, &ready);
    if (ready > 0) continue;
    if (plan.rest) {
      reader.Rest(plan.wait);
    } else {
      reader.Waiting(true);
      curl_multi_poll(m, nullptr, 0, static_cast<int>(plan.wait.count()), nullptr);
      reader.Waiting(false);
    }
  }
  if (c.failure) std::rethrow_exception(c.failure);
  if (!done) return;  // told to stop
  if (result != CURLE_OK) throw Win32Exception(result, Win32Exception::Kind::Internet, c.errorText);
  if (!c.answered) c.Answer();  // an answer without a body: raises for a refusal
}

}  // namespace orvella
