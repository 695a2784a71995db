// The helper's side of a WinInet download or call: the WinInet calls, made
// on the helper thread while the worker watches the clock.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "acquisition/transport/Download.h"
#include "acquisition/transport/HttpAnswer.h"
#include "acquisition/transport/wininet/WinInetTransfer.h"
#include "driver/Errors.h"

namespace orvella {

namespace {

long LeadingNumber(const char* text) {
  long value = 0;
  for (; *text >= '0' && *text <= '9' && value < 100000; ++text) value = value * 10 + (*text - '0');
  return value;
}

// Status check of an opened URL: raises for a refused HTTP answer (for a
// POST, its faults pass) or an announced body over the limit. Returns the
// announced length, or -1 (none given, or ftp, which has no status);
// `status` and `contentType`, the answer's.
long long CheckAnswer(HINTERNET url, bool post, long& status, std::string& contentType) {
  char text[32] = "";
  DWORD length = sizeof text;
  if (!HttpQueryInfoA(url, HTTP_QUERY_STATUS_CODE, text, &length, nullptr)) {
    DWORD error = GetLastError();
    if (error != ERROR_INTERNET_INCORRECT_HANDLE_TYPE) throw Win32Exception(error);  // 12018: ftp, no status
    return -1;
  }
  status = LeadingNumber(text);
  if (post ? IsPostRefusal(status) : status < 200 || status > 299) WinInetLogin::Refuse(url);
  contentType = HeaderText(url, HTTP_QUERY_CONTENT_TYPE);
  long long announced = -1;
  char size[32] = "";
  DWORD sizeLength = sizeof size;
  if (HttpQueryInfoA(url, HTTP_QUERY_CONTENT_LENGTH, size, &sizeLength, nullptr))
    announced = std::strtoll(size, nullptr, 10);
  // An announced size over the limit fails before anything is read.
  if (post && announced > Download::kMaxPostAnswerBytes) throw std::runtime_error(Download::kPostTooLargeText);
  if (announced > kMaxBodyBytes) throw std::runtime_error(kTooLargeText);
  return announced;
}

}  // namespace

// The URL handle is closed after the worker has its answer: closing a
// request whose body is still coming reads that body to the end first (Wine
// keeps the connection for reuse), which for a refused oversized body would
// hold the worker for as long as the server keeps sending.
void WinInetTransfer::Run() {
  std::exception_ptr failure;
  InternetHandle handle;
  try {
    Receive(handle);
  } catch (...) {
    failure = std::current_exception();
  }
  {
    ScopedLock<WinLock> hold(lock);
    error = failure;
    finished = true;
  }
  WakeAllConditionVariable(&changed);
  handle.reset(nullptr);
  post.reset();  // its connection handle, after the request that hung from it
  {
    ScopedLock<WinLock> hold(lock);
    closed = true;
  }
  WakeAllConditionVariable(&changed);
}

// Errors are raised here, on the thread that saw them, so a Win32Exception
// captures this thread's last error and server reply.
void WinInetTransfer::Receive(InternetHandle& handle) {
  handle.reset(OpenRequest(session, *login, url, *this, post.get()));
  Report(0);
  const long long announced = CheckAnswer(handle.get(), post != nullptr, status, contentType);
  // A picture stream never ends: its reader reads it on.
  if (!post && status != 0 && IsPictureStreamType(contentType)) {
    stream = true;
    request = std::move(handle);
    return;
  }
  DWORD available = 0;
  if (!InternetQueryDataAvailable(handle.get(), &available, 0, 0))
    throw std::runtime_error(Download::kNotAvailableText);

  // A read waits until all it asked for has come: it asks for no more than
  // has arrived, so the clock sees a slow body's every piece.
  int got = 0;
  for (;;) {
    if (Cancelled()) return;
    if (post && got > Download::kMaxPostAnswerBytes) throw std::runtime_error(Download::kPostTooLargeText);
    buffer.MakeRoom(got);
    if (available == 0) break;  // the end of the body
    DWORD read = 0;
    const DWORD room = static_cast<DWORD>(buffer.Capacity() - got);
    if (!InternetReadFile(handle.get(), buffer.At(got), std::min(available, room), &read)) throw Win32Exception();
    if (read == 0) break;
    got += static_cast<int>(read);
    Report(got);
    if (!InternetQueryDataAvailable(handle.get(), &available, 0, 0)) throw Win32Exception();
  }
  // WinInet reports a connection closed mid-body as a normal end: a cut
  // picture must not pass for a whole one.
  if (announced >= 0 && got != announced) {
    char why[160];
    std::snprintf(why, sizeof why, "FTPStream::ReadFile: the connection closed after %d of %lld announced bytes", got,
                  announced);
    throw Win32Exception(ERROR_INTERNET_CONNECTION_ABORTED, Win32Exception::Kind::Internet, why);
  }
}

}  // namespace orvella
