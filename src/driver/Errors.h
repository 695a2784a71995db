// Exception types that carry failures up to the exports and the worker.
#pragma once

#include <stdexcept>
#include <string>

namespace orvella {

// A failed system or internet-library call. The code is the platform's:
// GetLastError() on Windows; on Linux an errno value or, with kind Internet,
// a libcurl CURLcode. what() is never empty.
class Win32Exception : public std::runtime_error {
 public:
  enum class Kind { System, Internet };

  // Captures the calling thread's last error (GetLastError / errno) now:
  // construct directly after the failing call.
  Win32Exception();
  explicit Win32Exception(unsigned long code, Kind kind = Kind::System);
  // A failure the platform gave no code for, described in words.
  Win32Exception(unsigned long code, Kind kind, const std::string& detail);

  unsigned long errorCode;
  Kind kind;
  const char* what() const noexcept override;

 private:
  char text[512];
};

// A camera refused the login it was sent (HTTP or RTSP 401/403 after
// credentials went out). The worker waits before it tries that login again:
// cameras lock an account out after a few failed logins.
class LoginRefused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A failure of the image library: what() is "GDI Error %d", or with a
// detail "GDI Error %d (detail)" (hosts match the words before it).
class GDIException : public std::runtime_error {
 public:
  explicit GDIException(int status);
  GDIException(int status, const std::string& detail);
  int status;
  const char* what() const noexcept override;

 private:
  char text[200];
};

// 0 passes; 7 (Win32Error) raises Win32Exception with the last error; any other
// status raises GDIException.
void CheckGdiStatus(int status);

namespace platform {
// Fills `out` with the platform's words for the code (may leave it empty).
void ErrorText(unsigned long code, Win32Exception::Kind kind, char* out, size_t size);
// The calling thread's last error code.
unsigned long LastErrorCode();
}  // namespace platform

}  // namespace orvella
