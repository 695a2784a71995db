// Picture streams on WinInet, read synchronously on the reader's thread: the
// request a download handed over, or a new one opened the same way
// (WinInetSession.h: time-outs, no cache, login and trust).
//
// Nothing can cut a blocked WinInet call short under Wine (closed handles
// and the session's receive time-out are ignored there), so the reader is
// only told to stop: it sees it as soon as data arrives, and a stalled
// server ends its wait at the receive time-out set on the request handle as
// it is created. Nobody waits for the reader meanwhile.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "acquisition/transport/TlsTrust.h"
#include "acquisition/transport/wininet/WinInetSession.h"
#include "driver/Errors.h"

namespace orvella {

namespace {
constexpr DWORD kChunk = 64 * 1024;

// A connection of the stream's own: session, login and request.
std::unique_ptr<WinInetOpenAnswer> Connect(StreamSink& sink, const std::string& url) {
  auto answer = std::make_unique<WinInetOpenAnswer>();
  answer->session.reset(OpenInternetSession());
  answer->context = std::make_shared<RequestContext>(SetTimeouts(answer->session.get(), sink.Limits()));
  answer->login = std::make_shared<WinInetLogin>();
  answer->login->SetTrust(sink.Trust());
  answer->request.reset(OpenRequest(answer->session.get(), *answer->login, url, *answer->context));
  answer->status = WinInetLogin::StatusOf(answer->request.get());
  if (answer->status < 200 || answer->status > 299) WinInetLogin::Refuse(answer->request.get());
  answer->contentType = HeaderText(answer->request.get(), HTTP_QUERY_CONTENT_TYPE);
  return answer;
}
}  // namespace

void ReadStream(StreamSink& sink, const std::string& url, std::unique_ptr<OpenAnswer> given) {
  std::unique_ptr<WinInetOpenAnswer> answer(static_cast<WinInetOpenAnswer*>(given.release()));
  if (!answer) answer = Connect(sink, url);
  // This thread is the stream's own: nobody waits for it to close the handles.
  struct CloseHere {
    WinInetOpenAnswer& answer;
    ~CloseHere() { answer.Close(); }
  } closeHere{*answer};
  sink.Answered(answer->status, answer->contentType);
  HINTERNET request = answer->request.get();

  std::vector<char> chunk(kChunk);
  // Always reads as data comes (no rest): a call here cannot be cut short.
  StreamSink::Plan plan{};
  while (sink.KeepGoing(plan)) {
    // Blocks until data arrives and says how much: a read of no more than
    // that returns at once, where a larger one would wait to fill it. What
    // WinInet already holds is not known here, so a grab meanwhile counts
    // it as newer: the window of one read, as data is read as it comes.
    DWORD available = 0;
    sink.Waiting(true);
    const BOOL queried = InternetQueryDataAvailable(request, &available, 0, 0);
    sink.Waiting(false);
    if (!queried) throw Win32Exception();
    if (available == 0) return;  // the camera closed the connection
    DWORD got = 0;
    if (!InternetReadFile(request, chunk.data(), std::min(available, kChunk), &got)) throw Win32Exception();
    if (got == 0) return;
    sink.Received(chunk.data(), got);
  }
}

}  // namespace orvella
