// Picture streams on libcurl: one easy and one multi handle per connection,
// driven by the reader thread (multi perform and poll), whose poll Stop
// wakes from any thread. Logins, redirects and certificate trust as for
// downloads.
#include <curl/curl.h>
#include <strings.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "acquisition/transport/curl/CurlHandles.h"
#include "acquisition/transport/curl/CurlLogin.h"
#include "acquisition/transport/HttpLogin.h"
#include "acquisition/source/mjpeg/MjpegReader.h"
#include "driver/Errors.h"

namespace orvella {

namespace {
// One connection's answer as curl reports it.
struct Connection {
  Connection(MjpegReader::Reader& r, CURL* h, const UrlLogin& l) : reader(r), easy(h), login(l) {}

  MjpegReader::Reader& reader;
  CURL* const easy;
  const UrlLogin& login;
  AnswerHeaders answer;  // of the header block being read
  std::string contentType;
  bool answered = false;
  bool withLogin = false;  // the URL carries credentials
  std::exception_ptr failure;  // raised inside a callback, rethrown after
  char errorText[CURL_ERROR_SIZE] = "";

  // The final answer: redirects (followed) and interim answers are not, nor
  // is a challenge that curl answers with the URL's credentials (it never
  // passes that answer's body on).
  void Answer() {
    answered = true;
    if (IsRefusal(answer.status)) ThrowRefusal(answer.status, withLogin, answer.RefusalText());
    reader.Answered(answer.status, contentType);
  }

  static size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    auto* c = static_cast<Connection*>(user);
    const size_t length = size * count;
    const long& status = c->answer.status;
    if (c->answer.Feed(data, length)) {
      c->contentType.clear();
    } else if (length > 13 && strncasecmp(data, "content-type:", 13) == 0) {
      c->contentType.assign(data + 13, length - 13);
    } else if (length <= 2 && (data[0] == '\r' || data[0] == '\n') && status >= 200 && status <= 299) {
      try {
        c->Answer();  // the blank line ends the final header block
      } catch (...) {
        c->failure = std::current_exception();
        return 0;
      }
    }
    return length;
  }

  // Before each request: a redirect to another origin goes no further when
  // the URL has a login.
  static int OnRequest(void* user, char*, char*, int, int) {
    auto* c = static_cast<Connection*>(user);
    return MayRequest(c->easy, c->login, c->failure) ? CURL_PREREQFUNC_OK : CURL_PREREQFUNC_ABORT;
  }

  static size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* c = static_cast<Connection*>(user);
    const size_t length = size * count;
    try {
      if (!c->answered) c->Answer();  // raises for a refusal: its body is not worth reading
      c->reader.Received(data, length);
    } catch (...) {
      c->failure = std::current_exception();
      return CURL_WRITEFUNC_ERROR;
    }
    return length;
  }
};

void Configure(CURL* h, Connection& c, const UrlLogin& login, const MjpegReader::Reader& reader) {
  SetLoginAndTrust(h, login, reader.Trust());
  c.withLogin = login.hasCredentials;
  curl_easy_setopt(h, CURLOPT_USERAGENT, "Orvella");
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);  // a proxy's 200 is not the camera's answer
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(reader.Limits().connectMs));
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &Connection::OnHeader);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &c);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Connection::OnBody);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &c);
  curl_easy_setopt(h, CURLOPT_PREREQFUNCTION, &Connection::OnRequest);
  curl_easy_setopt(h, CURLOPT_PREREQDATA, &c);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, c.errorText);
  curl_easy_setopt(h, CURLOPT_BUFFERSIZE, 256L * 1024);  // a picture in a few reads
}

// Runs `easy` on `m` until curl is done with it (true, its result in
// `result`) or the reader is to end (false).
bool Drive(CURLM* m, CURL* easy, MjpegReader::Reader& reader, CURLcode& result) {
  if (curl_multi_add_handle(m, easy) != CURLM_OK)
    throw Win32Exception(CURLE_FAILED_INIT, Win32Exception::Kind::Internet);
  struct Detach {
    CURLM* multi;
    CURL* easy;
    ~Detach() { curl_multi_remove_handle(multi, easy); }
  } detach{m, easy};
  MjpegReader::Reader::Plan plan{};
  while (reader.KeepGoing(plan)) {
    int running = 0;
    const CURLMcode step = curl_multi_perform(m, &running);
    if (step != CURLM_OK)
      throw Win32Exception(CURLE_FAILED_INIT, Win32Exception::Kind::Internet, curl_multi_strerror(step));
    bool done = running == 0;
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(m, &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      result = message->data.result;
      done = true;
    }
    if (done) return true;
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
  return false;
}

// The key of a server whose certificate was refused, for the reason; "".
std::string ProbeKey(CURLM* m, const UrlLogin& login, MjpegReader::Reader& reader) {
  EasyHandle probe = NewKeyProbe(login, static_cast<long>(reader.Limits().connectMs));
  CURLcode result = CURLE_FAILED_INIT;
  if (!probe || !Drive(m, probe.get(), reader, result) || result != CURLE_OK) return "";
  return KeyPinOf(probe.get());
}
}  // namespace

void ReadPictureStream(MjpegReader::Reader& reader, const std::string& url) {
  const UrlLogin login = SplitLogin(url);
  EasyHandle easy(curl_easy_init());
  MultiHandle multi(curl_multi_init());
  if (!easy || !multi) throw Win32Exception(CURLE_FAILED_INIT, Win32Exception::Kind::Internet);
  Connection c(reader, easy.get(), login);
  Configure(easy.get(), c, login, reader);
  CURLM* m = multi.get();
  // Gone before the handles: no waker may touch them afterwards.
  struct Waker {
    MjpegReader::Reader& reader;
    ~Waker() { reader.SetWaker(nullptr); }
  } waker{reader};
  reader.SetWaker([m] { curl_multi_wakeup(m); });

  CURLcode result = CURLE_OK;
  const bool done = Drive(m, easy.get(), reader, result);
  if (c.failure) std::rethrow_exception(c.failure);
  if (!done) return;  // told to stop
  if (IsCertificateRefusal(result)) {
    const std::string cause = c.errorText[0] ? c.errorText : curl_easy_strerror(result);
    throw Win32Exception(result, Win32Exception::Kind::Internet, TlsRefusalText(cause, ProbeKey(m, login, reader)));
  }
  if (result != CURLE_OK) throw Win32Exception(result, Win32Exception::Kind::Internet, c.errorText);
  if (!c.answered) c.Answer();  // an answer without a body: raises for a refusal
}

}  // namespace orvella
