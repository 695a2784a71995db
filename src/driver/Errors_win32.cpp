#include <windows.h>
#include <wininet.h>

#include <cstdio>

#include "driver/Errors.h"

namespace orvella::platform {

namespace {
// Codes that some internet libraries (Wine's among them) carry no text for.
const char* KnownInternetText(unsigned long code) {
  switch (code) {
    case ERROR_INTERNET_TIMEOUT:
      return "The request has timed out.\r\n";
    case ERROR_INTERNET_CANNOT_CONNECT:
      return "The attempt to connect to the server failed.\r\n";
    case ERROR_INTERNET_CONNECTION_ABORTED:
      return "The connection with the server has been terminated.\r\n";
    case ERROR_INTERNET_CONNECTION_RESET:
      return "The connection with the server has been reset.\r\n";
    case ERROR_INTERNET_INCORRECT_USER_NAME:
      return "The request to connect and log on to an FTP server could not be completed: wrong user name.\r\n";
    case ERROR_INTERNET_INCORRECT_PASSWORD:
      return "The request to connect and log on to an FTP server could not be completed: wrong password.\r\n";
    case ERROR_INTERNET_LOGIN_FAILURE:
      return "The request to connect and log on to an FTP server failed.\r\n";
    case ERROR_HTTP_INVALID_SERVER_RESPONSE:
      return "The server response could not be parsed.\r\n";
    case ERROR_INTERNET_EXTENDED_ERROR:
      return "The server returned extended information (none recorded).\r\n";
    case ERROR_INTERNET_INVALID_CA:
      return "The certificate authority is invalid or incorrect.\r\n";
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
      return "The certificate date is invalid.\r\n";
    case ERROR_INTERNET_SEC_CERT_CN_INVALID:
      return "The certificate is not for this host name.\r\n";
    case ERROR_INTERNET_SEC_CERT_ERRORS:
    case ERROR_INTERNET_SEC_INVALID_CERT:
      return "The server's certificate is invalid.\r\n";
    case ERROR_INTERNET_SEC_CERT_REV_FAILED:
    case ERROR_INTERNET_SEC_CERT_NO_REV:
      return "The certificate's revocation could not be checked.\r\n";
    case ERROR_INTERNET_SEC_CERT_REVOKED:
      return "The certificate has been revoked.\r\n";
    case ERROR_INTERNET_SECURITY_CHANNEL_ERROR:
      return "The secure connection could not be established.\r\n";
    default:
      return nullptr;
  }
}
}  // namespace

void ErrorText(unsigned long code, Win32Exception::Kind, char* out, size_t size) {
  if (size == 0) return;
  out[0] = '\0';  // an earlier text must never show through
  const DWORD capacity = static_cast<DWORD>(size);
  // Insert sequences stay unexpanded: there are no arguments to put in them.
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, out, capacity,
                           nullptr);
  if (n == 0) {
    out[0] = '\0';
    // WinInet's codes live in its own message table, not the system's.
    if (HMODULE wininet = GetModuleHandleA("wininet.dll")) {
      n = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, wininet, code, 0, out, capacity,
                         nullptr);
      if (n == 0) out[0] = '\0';
    }
  }
  if (code == ERROR_INTERNET_EXTENDED_ERROR) {
    // The server's own words, kept per thread: this runs on the failing thread.
    DWORD detail = 0;
    DWORD length = capacity;
    if (!InternetGetLastResponseInfoA(&detail, out, &length)) out[0] = '\0';
    out[size - 1] = '\0';
  }
  if (out[0] == '\0') {
    if (const char* known = KnownInternetText(code)) std::snprintf(out, size, "%s", known);
  }
}

unsigned long LastErrorCode() {
  return GetLastError();
}

}  // namespace orvella::platform
