#include <thread>
#include <utility>

#include "acquisition/transport/wininet/WinInetSession.h"
#include "driver/Errors.h"
#include "driver/Platform.h"

namespace orvella {

namespace {
// Called by WinInet on the thread that opens the request, as the request
// handle is created and before the request goes out: the one place where
// Wine lets us bound that request's waits.
void CALLBACK OnStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length) {
  if (context == 0) return;
  auto* request = reinterpret_cast<RequestContext*>(context);
  // Sent once connected and, for https, after the handshake.
  if (status == INTERNET_STATUS_SENDING_REQUEST) return request->Sent();
  if (status != INTERNET_STATUS_HANDLE_CREATED || info == nullptr || length < sizeof(HINTERNET)) return;
  // Windows passes an INTERNET_ASYNC_RESULT, Wine the handle itself: both start with the handle.
  HINTERNET handle = *static_cast<HINTERNET*>(info);
  DWORD ms = request->backstopMs;
  InternetSetOptionA(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &ms, sizeof ms);
  InternetSetOptionA(handle, INTERNET_OPTION_SEND_TIMEOUT, &ms, sizeof ms);
  WinInetLogin::OnHandleCreated(handle);
}
}  // namespace

HINTERNET OpenInternetSession() {
  WinInetLogin::RaiseConnectionLimits();
  HINTERNET session = InternetOpenA("Orvella", INTERNET_OPEN_TYPE_PRECONFIG, "", nullptr, 0);
  if (!session) throw Win32Exception();
  InternetSetStatusCallbackA(session, &OnStatus);
  return session;
}

DWORD SetTimeouts(HINTERNET session, const TransferLimits& limits) {
  DWORD connect = static_cast<DWORD>(limits.connectMs);
  DWORD backstop = static_cast<DWORD>(limits.LongestQuietMs() + 1000);
  InternetSetOptionA(session, INTERNET_OPTION_CONNECT_TIMEOUT, &connect, sizeof connect);
  for (DWORD option : {INTERNET_OPTION_RECEIVE_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                       INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, INTERNET_OPTION_DATA_SEND_TIMEOUT})
    InternetSetOptionA(session, option, &backstop, sizeof backstop);
  return backstop;
}

HINTERNET OpenRequest(HINTERNET session, WinInetLogin& login, const std::string& url, RequestContext& context,
                      WinInetLogin::PostData* post) {
  return login.Open(session, url, reinterpret_cast<DWORD_PTR>(&context), kRequestFlags, post);
}

WinInetOpenAnswer::~WinInetOpenAnswer() {
  if (!request && !session) return;
  platform::PinLibrary();  // the closing thread must never meet unloaded code
  try {
    std::thread([r = std::move(request), s = std::move(session), c = context, l = login]() mutable {
      r.reset();
      s.reset();
    }).detach();
  } catch (...) {
    // No thread: the handles close here, as they would have anyway.
  }
}

std::string HeaderText(HINTERNET request, DWORD what) {
  char text[1024] = "";
  DWORD length = sizeof text;
  return HttpQueryInfoA(request, what, text, &length, nullptr) ? std::string(text, length) : std::string();
}

}  // namespace orvella
