// Picture streams on WinInet, used synchronously on the reader thread.
//
// Nothing can cut a blocked WinInet call short under Wine (closed handles
// and the session's receive time-out are ignored there), so Stop only sets
// a flag: the reader sees it as soon as data arrives, and a stalled server
// ends its wait at the receive time-out set on the request handle as it is
// created. Nobody waits for the reader meanwhile (see MjpegReader.h).
// Logins and certificate trust as for downloads (net/WinInetLogin.h).
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "acquisition/transport/wininet/WinInetLogin.h"
#include "acquisition/source/mjpeg/MjpegReader.h"
#include "driver/Errors.h"

namespace orvella {

namespace {
struct InternetCloser {
  void operator()(HINTERNET handle) const { InternetCloseHandle(handle); }
};
using InternetHandle = std::unique_ptr<void, InternetCloser>;

constexpr DWORD kChunk = 64 * 1024;

// As the request handle is created, before the request goes out: the one
// place where Wine lets us bound that request's waits. `context` points to
// the time-out in milliseconds.
void CALLBACK OnStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length) {
  if (status != INTERNET_STATUS_HANDLE_CREATED || context == 0 || info == nullptr || length < sizeof(HINTERNET)) return;
  // Windows passes an INTERNET_ASYNC_RESULT, Wine the handle itself: both start with the handle.
  HINTERNET request = *static_cast<HINTERNET*>(info);
  DWORD ms = *reinterpret_cast<const DWORD*>(context);
  InternetSetOptionA(request, INTERNET_OPTION_RECEIVE_TIMEOUT, &ms, sizeof ms);
  InternetSetOptionA(request, INTERNET_OPTION_SEND_TIMEOUT, &ms, sizeof ms);
  WinInetLogin::OnHandleCreated(request);
}

std::string QueryText(HINTERNET request, DWORD what) {
  char text[256] = "";
  DWORD length = sizeof text;
  if (!HttpQueryInfoA(request, what, text, &length, nullptr)) return "";
  return text;
}
}  // namespace

void ReadPictureStream(MjpegReader::Reader& reader, const std::string& url) {
  const TransferLimits& limits = reader.Limits();
  InternetHandle session(InternetOpenA("Orvella", INTERNET_OPEN_TYPE_PRECONFIG, "", nullptr, 0));
  if (!session) throw Win32Exception();
  // The connection limit, and a backstop a second beyond the longest quiet
  // spell the clock allows for every other wait, so the clock speaks first.
  DWORD connect = static_cast<DWORD>(limits.connectMs);
  DWORD backstop = static_cast<DWORD>(limits.LongestQuietMs() + 1000);
  InternetSetOptionA(session.get(), INTERNET_OPTION_CONNECT_TIMEOUT, &connect, sizeof connect);
  for (DWORD option : {INTERNET_OPTION_RECEIVE_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                       INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, INTERNET_OPTION_DATA_SEND_TIMEOUT})
    InternetSetOptionA(session.get(), option, &backstop, sizeof backstop);
  InternetSetStatusCallbackA(session.get(), &OnStatus);

  // Never from or into the cache: a stream has no end to store.
  const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE;
  WinInetLogin login;  // this connection's own
  login.SetTrust(reader.Trust());
  InternetHandle request(login.Open(session.get(), url, reinterpret_cast<DWORD_PTR>(&backstop), flags));
  const long status = WinInetLogin::StatusOf(request.get());
  if (status < 200 || status > 299) WinInetLogin::Refuse(request.get());
  reader.Answered(status, QueryText(request.get(), HTTP_QUERY_CONTENT_TYPE));

  std::vector<char> chunk(kChunk);
  // Always reads as data comes (no rest): a call here cannot be cut short.
  MjpegReader::Reader::Plan plan{};
  while (reader.KeepGoing(plan)) {
    // Blocks until data arrives and says how much: a read of no more than
    // that returns at once, where a larger one would wait to fill it. What
    // WinInet already holds is not known here, so a grab meanwhile counts
    // it as newer: the window of one read, as data is read as it comes.
    DWORD available = 0;
    reader.Waiting(true);
    const BOOL queried = InternetQueryDataAvailable(request.get(), &available, 0, 0);
    reader.Waiting(false);
    if (!queried) throw Win32Exception();
    if (available == 0) return;  // the camera closed the connection
    DWORD got = 0;
    if (!InternetReadFile(request.get(), chunk.data(), std::min(available, kChunk), &got)) throw Win32Exception();
    if (got == 0) return;
    reader.Received(chunk.data(), got);
  }
}

}  // namespace orvella
