#include <strings.h>

#include <cstring>
#include <mutex>
#include <stdexcept>

#include "acquisition/transport/curl/CurlTransfer.h"
#include "driver/Errors.h"

namespace orvella {

namespace {
void GlobalInit() {
  static std::once_flag once;
  static CURLcode result = CURLE_OK;
  std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
  if (result != CURLE_OK) throw Win32Exception(result, Win32Exception::Kind::Internet);
}

bool IsCertificateRefusal(CURLcode result) {
  return result == CURLE_PEER_FAILED_VERIFICATION || result == CURLE_SSL_PINNEDPUBKEYNOTMATCH;
}

// The server's key from the certificate a finished probe saw; "" for none.
std::string KeyPinOf(CURL* probe) {
  struct curl_certinfo* info = nullptr;
  if (curl_easy_getinfo(probe, CURLINFO_CERTINFO, &info) != CURLE_OK || !info || info->num_of_certs < 1) return "";
  for (curl_slist* item = info->certinfo[0]; item; item = item->next)
    if (std::strncmp(item->data, "Cert:", 5) == 0) return KeyPinOfPem(item->data + 5);
  return "";
}
}  // namespace

CurlTransfer::CurlTransfer() {
  GlobalInit();
  easy.reset(curl_easy_init());
  multi.reset(curl_multi_init());
  if (!easy || !multi) throw Win32Exception(CURLE_FAILED_INIT, Win32Exception::Kind::Internet);
  CURL* h = easy.get();
  curl_easy_setopt(h, CURLOPT_USERAGENT, "Orvella");
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);  // threads: no SIGALRM for name look-ups
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https,ftp");
  // Redirects are followed within these schemes, as WinInet does; with a
  // login only within the URL's origin (OnRequest).
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https,ftp");
  // One request and one answer at a time, as with WinInet.
  curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(h, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);  // a proxy's 200 is not the camera's answer
  curl_easy_setopt(h, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC | CURLAUTH_DIGEST));
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &CurlTransfer::OnHeader);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &CurlTransfer::OnBody);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(h, CURLOPT_PREREQFUNCTION, &CurlTransfer::OnRequest);
  curl_easy_setopt(h, CURLOPT_PREREQDATA, this);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
  // A receive buffer of a whole loopback/LAN burst: a 300 KB picture arrives
  // in a few reads instead of twenty 16 KB ones (about twice as fast).
  curl_easy_setopt(h, CURLOPT_BUFFERSIZE, 256L * 1024);
}

CurlTransfer::~CurlTransfer() {
  Stop();
}

void CurlTransfer::Start(const UrlLogin& to, const TlsTrust& trust, long connectLimitMs, Receiver& r,
                         const PostData* post) {
  CURL* h = easy.get();
  login = to;
  receiver = &r;
  answer.Clear();
  answered = false;
  failure = nullptr;
  errorText[0] = '\0';
  curl_easy_setopt(h, CURLOPT_URL, login.url.c_str());
  curl_easy_setopt(h, CURLOPT_USERNAME, login.hasCredentials ? login.user.c_str() : nullptr);
  curl_easy_setopt(h, CURLOPT_PASSWORD, login.hasCredentials ? login.password.c_str() : nullptr);
  const bool checked = trust.mode == TlsTrust::Mode::System;
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, checked ? 1L : 0L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, checked ? 2L : 0L);
  curl_easy_setopt(h, CURLOPT_PINNEDPUBLICKEY, trust.mode == TlsTrust::Mode::Pin ? trust.pins.c_str() : nullptr);
  connectMs = connectLimitMs;
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, connectMs);
  // On a reused FTP control connection libcurl (7.88) at times leaves the
  // passive data connection out of the poll set, and the download then waits
  // a whole poll slice (1 s). A fresh login per picture costs well under a
  // millisecond on a LAN; HTTP keeps its connection.
  curl_easy_setopt(h, CURLOPT_FORBID_REUSE, strncasecmp(login.url.c_str(), "ftp://", 6) == 0 ? 1L : 0L);
  SetRequest(post);
  if (curl_multi_add_handle(multi.get(), h) != CURLM_OK)
    throw Win32Exception(CURLE_FAILED_INIT, Win32Exception::Kind::Internet);
  added = true;
}

// A POST sends its body with its Content-Type and no "Expect:" (a camera
// may never answer it), and follows no redirect: one would turn it into a
// GET elsewhere. A GET after it is a plain GET again.
void CurlTransfer::SetRequest(const PostData* post) {
  CURL* h = easy.get();
  if (!post) {
    if (!posting) return;
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    headers.reset();
    posting = false;
    return;
  }
  headers.reset(curl_slist_append(nullptr, ("Content-Type: " + post->contentType).c_str()));
  curl_slist* both = headers ? curl_slist_append(headers.get(), "Expect:") : nullptr;
  if (!both) throw Win32Exception(CURLE_OUT_OF_MEMORY, Win32Exception::Kind::Internet);
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(post->body.size()));
  if (curl_easy_setopt(h, CURLOPT_COPYPOSTFIELDS, post->body.data()) != CURLE_OK)
    throw Win32Exception(CURLE_OUT_OF_MEMORY, Win32Exception::Kind::Internet);
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  posting = true;
}

bool CurlTransfer::Perform(CURLcode& result) {
  int running = 0;
  const CURLMcode step = curl_multi_perform(multi.get(), &running);
  if (step != CURLM_OK)
    throw Win32Exception(CURLE_FAILED_INIT, Win32Exception::Kind::Internet, curl_multi_strerror(step));
  bool done = running == 0;
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
    if (message->msg != CURLMSG_DONE) continue;
    result = message->data.result;
    done = true;
  }
  return done;
}

void CurlTransfer::Poll(long ms) {
  curl_multi_poll(multi.get(), nullptr, 0, static_cast<int>(ms), nullptr);
}

bool CurlTransfer::Pending() {
  int ready = 0;
  curl_multi_poll(multi.get(), nullptr, 0, 0, &ready);
  return ready > 0;
}

void CurlTransfer::Wake() {
  curl_multi_wakeup(multi.get());
}

void CurlTransfer::Stop() {
  if (added) curl_multi_remove_handle(multi.get(), easy.get());
  added = false;
}

template <typename Step>
bool CurlTransfer::Guard(Step step) {
  try {
    step();
    return true;
  } catch (...) {
    failure = std::current_exception();
    return false;
  }
}

size_t CurlTransfer::OnHeader(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<CurlTransfer*>(user);
  const size_t length = size * count;
  t->receiver->HeaderArrived();
  // Every answer's header lines; the last status line starts the final
  // answer after interim (1xx) answers, logins and redirects.
  if (t->answer.Feed(data, length)) return length;
  const long status = t->answer.status;
  const bool blank = length <= 2 && (data[0] == '\r' || data[0] == '\n');
  if (blank && status != 0 && !t->Refused(status) && !t->answered) {
    t->answered = true;
    if (!t->Guard([t] { t->receiver->Answered(t->answer); })) return 0;
  }
  return length;
}

size_t CurlTransfer::OnBody(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<CurlTransfer*>(user);
  const size_t length = size * count;
  // A refused answer reaches here only when final (libcurl passes no body
  // of a challenge it answers or a redirect it follows): Answered raises,
  // and its body is not worth reading.
  const bool ok = t->Guard([&] {
    if (!t->answered) {
      t->answered = true;
      t->receiver->Answered(t->answer);
    }
    t->receiver->Received(data, length);
  });
  return ok ? length : CURL_WRITEFUNC_ERROR;
}

// Before each request, once connected (and the TLS handshake done); a
// redirect to another origin goes no further when the URL has a login.
int CurlTransfer::OnRequest(void* user, char*, char*, int, int) {
  auto* t = static_cast<CurlTransfer*>(user);
  t->receiver->RequestSent();
  if (!t->login.hasCredentials) return CURL_PREREQFUNC_OK;
  char* url = nullptr;
  if (curl_easy_getinfo(t->easy.get(), CURLINFO_EFFECTIVE_URL, &url) != CURLE_OK || !url || SameOrigin(t->login, url))
    return CURL_PREREQFUNC_OK;
  t->failure = std::make_exception_ptr(std::runtime_error(RedirectRefusalText(url)));
  return CURL_PREREQFUNC_ABORT;
}

void CurlTransfer::Judge(CURLcode result, const std::function<std::string()>& probeKey) {
  if (failure) std::rethrow_exception(failure);
  // A refusal counts whatever else went wrong afterwards (an interim status
  // line followed by garbage, a body we declined to read).
  if (Refused(answer.status)) ThrowRefusal(answer.status, login.hasCredentials, answer.RefusalText());
  if (IsCertificateRefusal(result)) {
    const std::string cause = errorText[0] ? errorText : curl_easy_strerror(result);
    throw Win32Exception(result, Win32Exception::Kind::Internet, TlsRefusalText(cause, probeKey()));
  }
  if (result != CURLE_OK) throw Win32Exception(result, Win32Exception::Kind::Internet, errorText);
  if (!answered) {
    answered = true;
    receiver->Answered(answer);
  }
}

std::string CurlTransfer::ProbeKey(const std::function<long()>& nextWait) {
  Stop();
  EasyHandle probe(curl_easy_init());
  if (!probe) return "";
  CURL* h = probe.get();
  curl_easy_setopt(h, CURLOPT_URL, login.url.c_str());
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECT_ONLY, 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
  curl_easy_setopt(h, CURLOPT_CERTINFO, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, connectMs);
  if (curl_multi_add_handle(multi.get(), h) != CURLM_OK) return "";
  CURLcode result = CURLE_FAILED_INIT;
  bool done = false;
  try {
    for (long wait = nextWait(); wait >= 0 && !(done = Perform(result)); wait = nextWait()) Poll(wait);
  } catch (const std::exception&) {
    done = false;  // the key is a courtesy: the refusal stands without it
  }
  curl_multi_remove_handle(multi.get(), h);
  return done && result == CURLE_OK ? KeyPinOf(h) : "";
}

}  // namespace orvella
