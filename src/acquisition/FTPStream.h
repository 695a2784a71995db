// The snapshot download: fetches one file from an http://, https:// or
// ftp:// URL into memory, where the image library reads it as a read-only,
// seekable IStream (MemoryPicture). The fetching is the transport's
// (transport/Download.h, one implementation per internet library).
//
// Thread safety: a stream is used by one thread at a time (OpenSession and
// CloseSession by the host thread that sets the owner up or tears it down,
// ReadFile and the IStream reads by the owner's worker). The exceptions:
// AddRef/Release are atomic, and Abort and IsSessionOpen may be called from
// any thread at any time, also while ReadFile runs.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "acquisition/MemoryPicture.h"
#include "acquisition/transport/Download.h"
#include "acquisition/transport/TlsTrust.h"

namespace orvella {

struct TransferLimits;

class FTPStream final : public MemoryPicture {
 public:
  static constexpr int kMaxContentSize = kMaxBodyBytes;
  // A download that receives nothing for this long fails (a stalled server).
  static constexpr int kStallTimeoutMs = 5000;
  static constexpr int kDefaultConnectionTimeoutMs = 3000;
  // From the request until the answer begins: high-resolution cameras take
  // up to about 20 s to make a snapshot.
  static constexpr int kAnswerTimeoutMs = 30000;
  // A body that brings less than this in any such window fails: a server
  // trickling a byte a second would otherwise hold the camera forever.
  static constexpr int kMinRateWindowMs = 10000;
  static constexpr int kMinRateBytes = 1024;

  // Texts of the failures (type std::runtime_error).
  static constexpr const char* kNoSessionText = Download::kNoSessionText;
  static constexpr const char* kNotAvailableText = Download::kNotAvailableText;
  static constexpr const char* kAbortedText = Download::kAbortedText;
  static constexpr const char* kTooLargeText = orvella::kTooLargeText;

  using Got = Download::Got;

  FTPStream() = default;
  ~FTPStream() override;

  // Opens the internet session (agent "Orvella"); raises Win32Exception on
  // failure. Reopening after Abort clears the abort.
  void OpenSession() { download.OpenSession(); }
  // Closes the session if open; any time, any number of times (not while
  // ReadFile runs: use Abort first).
  void CloseSession() { download.CloseSession(); }
  // True between OpenSession and CloseSession or Abort. Any thread.
  bool IsSessionOpen() const { return download.IsSessionOpen(); }

  // Bounds the connection phase (connect and, for https, the TLS handshake)
  // in milliseconds; values below 1 mean the default. Takes effect at the
  // next ReadFile.
  void SetConnectionTimeout(int ms);
  // The camera's TlsTrust setting (see transport/TlsTrust.h); before the
  // owner's worker starts. Takes effect at the next ReadFile.
  void SetTlsTrust(const std::string& value) { tlsTrust = TlsTrust::Parse(value); }
  const TlsTrust& Trust() const { return tlsTrust; }

  // Downloads the whole resource: HTTP statuses 200-299 pass, ftp is not
  // status-checked. Credentials in the URL answer Basic and Digest
  // challenges. kBody: the content is replaced and the read position
  // rewound. kPictureStream: the answer is a stream of pictures
  // (multipart/x-mixed-replace); the content is unchanged and the open
  // answer waits in TakeAnswer. Raises on every failure:
  //   no session                   std::runtime_error "FTPStream::ReadFile: Internet session not opened"
  //   status outside 200-299       std::runtime_error "File not available (HTTP <code> <phrase>…)"
  //   certificate refused          Win32Exception naming the cause and the server's key
  //   aborted                      std::runtime_error "FTPStream::ReadFile: download aborted"
  //   body over kMaxContentSize    std::runtime_error naming the limit
  //   connect, time-out, transfer  Win32Exception (its text names the cause;
  //                                a time-out says "timed out" and the limit)
  // After a failure the content is not to be read; after an abort or a
  // time-out it may be empty (the WinInet helper keeps the old buffer).
  Got ReadFile(const char* url);
  // The picture stream the last ReadFile found, its body unread (null after
  // any other outcome). The picture sources read it on.
  std::unique_ptr<OpenAnswer> TakeAnswer() { return download.TakeAnswer(); }

  // Makes an in-flight ReadFile fail within a few milliseconds, and every
  // later one until OpenSession. Any thread; idempotent.
  void Abort() { download.Abort(); }

  // The limits of the next download (ConnectionTimeout and the fixed ones).
  TransferLimits Limits() const;

 private:
  Download download;
  std::atomic<int> connectionTimeoutMs{kDefaultConnectionTimeoutMs};
  TlsTrust tlsTrust;
};

}  // namespace orvella
