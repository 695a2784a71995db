// Downloads one file from an http://, https:// or ftp:// URL into memory and
// presents the bytes as a read-only, seekable IStream (what GDI+ decodes from).
// One implementation per internet library: FTPStream_wininet.cpp (WinInet)
// and FTPStream_curl.cpp (libcurl).
//
// Thread safety: a stream is used by one thread at a time (OpenSession and
// CloseSession by the host thread that sets the owner up or tears it down,
// ReadFile and the IStream reads by the owner's worker). The exceptions:
// AddRef/Release are atomic, and Abort and IsSessionOpen may be called from
// any thread at any time, also while ReadFile runs.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "acquisition/ComStream.h"
#include "acquisition/transport/TlsTrust.h"

namespace orvella {

struct TransferLimits;

// Raised by ReadFile when the answer is a stream of pictures
// (multipart/x-mixed-replace) rather than one file: the download stops at
// its headers, and the picture sources read the URL as a stream instead.
class StreamAnswer : public std::runtime_error {
 public:
  StreamAnswer() : std::runtime_error("FTPStream::ReadFile: the answer is a picture stream") {}
};

// Growable byte array: starts at 102,400 bytes, grows only by doubling (never
// past the limit its owner gives), never shrinks.
class ReceiveBuffer {
 public:
  static constexpr int kInitialCapacity = 102400;

  ReceiveBuffer();
  ReceiveBuffer(const ReceiveBuffer&) = delete;
  ReceiveBuffer& operator=(const ReceiveBuffer&) = delete;
  // A moved-from buffer is empty (capacity 0) until assigned again.
  ReceiveBuffer(ReceiveBuffer&& other) noexcept;
  ReceiveBuffer& operator=(ReceiveBuffer&& other) noexcept;

  // Address of the byte at `offset`; raises std::invalid_argument("Offset in
  // receive buffer is invalid") unless 0 <= offset < Capacity().
  unsigned char* At(int offset);
  const unsigned char* Data() const { return bytes.get(); }
  int Capacity() const { return capacity; }

  // Doubles the capacity, but to at most `maxCapacity`, keeping the bytes.
  // Raises std::bad_alloc when memory runs out (the buffer is then unchanged).
  void Grow(int maxCapacity);

 private:
  std::unique_ptr<unsigned char[]> bytes;
  int capacity = 0;
};

class FTPStream final : public IStream {
 public:
  // A larger response body fails the download: a 32-bit host cannot afford
  // to let a server grow the buffer without bound.
  static constexpr int kMaxContentSize = 64 * 1024 * 1024;
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
  static constexpr const char* kNoSessionText = "FTPStream::ReadFile: Internet session not opened";
  static constexpr const char* kNotAvailableText = "File not available";
  static constexpr const char* kAbortedText = "FTPStream::ReadFile: download aborted";
  static constexpr const char* kTooLargeText = "FTPStream::ReadFile: response larger than 64 MiB (67108864 bytes)";

  FTPStream();
  ~FTPStream();
  FTPStream(const FTPStream&) = delete;
  FTPStream& operator=(const FTPStream&) = delete;

  // Opens the internet session (agent "Orvella"); raises Win32Exception on
  // failure. Reopening after Abort clears the abort.
  void OpenSession();
  // Closes the session if open; any time, any number of times (not while
  // ReadFile runs: use Abort first).
  void CloseSession();
  // True between OpenSession and CloseSession or Abort. Any thread.
  bool IsSessionOpen() const;

  // Bounds the connection phase (connect and, for https, the TLS handshake)
  // in milliseconds; values below 1 mean the default. Takes effect at the
  // next ReadFile.
  void SetConnectionTimeout(int ms);
  // The camera's TlsTrust setting (see net/TlsTrust.h); before the owner's
  // worker starts. Takes effect at the next ReadFile.
  void SetTlsTrust(const std::string& value) { tlsTrust = TlsTrust::Parse(value); }
  const TlsTrust& Trust() const { return tlsTrust; }

  // Downloads the whole resource: HTTP statuses 200-299 pass, ftp is not
  // status-checked. Credentials in the URL answer Basic and Digest
  // challenges. On success the content is replaced and the read position
  // rewound. Raises on every failure:
  //   no session                   std::runtime_error "FTPStream::ReadFile: Internet session not opened"
  //   status outside 200-299       std::runtime_error "File not available (HTTP <code> <phrase>…)"
  //   certificate refused          Win32Exception naming the cause and the server's key
  //   a picture stream answers     StreamAnswer
  //   aborted                      std::runtime_error "FTPStream::ReadFile: download aborted"
  //   body over kMaxContentSize    std::runtime_error naming the limit
  //   connect, time-out, transfer  Win32Exception (its text names the cause;
  //                                a time-out says "timed out" and the limit)
  // After a failure the content is not to be read; after an abort or a
  // time-out it may be empty (the WinInet helper keeps the old buffer).
  void ReadFile(const char* url);

  // Makes an in-flight ReadFile fail within a few milliseconds, and every
  // later one until OpenSession. Any thread; idempotent.
  void Abort();

  // Replaces the content exactly as a successful download of these bytes
  // with this Content-Type would (buffer growth, descriptor, position). For
  // decoder tests and fuzzers.
  void SetContent(const void* data, size_t size, const std::string& type = "");

  // Makes the first `size` bytes of `bytes` the content, as a download of
  // them would, by trading buffers: `bytes` gets the old one back. `type`:
  // the part's Content-Type.
  void Adopt(ReceiveBuffer& bytes, uint32_t size, const std::string& type);

  // The limits of the next download (ConnectionTimeout and the fixed ones).
  TransferLimits Limits() const;

  const unsigned char* Data() const { return receiveBuffer.Data(); }
  uint32_t Size() const { return stat.cbSize.LowPart; }
  // The content's Content-Type as the camera gave it (its final answer's),
  // in printable words of at most 64 characters; "" when none came (ftp, or
  // none sent). What a failed decode names; the bytes decide the format.
  const std::string& ContentType() const { return contentType; }
  ReceiveBuffer& Buffer() { return receiveBuffer; }

  // IUnknown / IStream. Release frees the stream when the count reaches 0,
  // so an owner holding the stream by value must never give up its initial
  // reference.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override;
  HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) override;
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) override;
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER libNewSize) override;
  HRESULT STDMETHODCALLTYPE CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                                   ULARGE_INTEGER* pcbWritten) override;
  HRESULT STDMETHODCALLTYPE Commit(DWORD grfCommitFlags) override;
  HRESULT STDMETHODCALLTYPE Revert() override;
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) override;
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) override;
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* pstatstg, DWORD grfStatFlag) override;
  HRESULT STDMETHODCALLTYPE Clone(IStream** ppstm) override;

 private:
  // The internet library's session state (handles, lock, abort flag); it
  // lives as long as the stream, whether a session is open or not.
  struct Session;

  // Makes the first `size` bytes of the buffer the content (descriptor with
  // the current time, position 0), of this Content-Type (the server's words).
  void Publish(uint32_t size, const char* type);
  // Before reading into `buffer` at `fill`: doubles it when full (to at most
  // kMaxContentSize + 1, so one byte more than the limit shows an oversized
  // body); raises kTooLargeText when the body has passed kMaxContentSize.
  static void MakeRoom(ReceiveBuffer& buffer, int fill);
  // The current time as a file time (CoFileTimeNow where COM exists).
  static FILETIME FileTimeNow();

  std::atomic<long> refCount{1};
  STATSTG stat{};
  std::unique_ptr<Session> session;
  ReceiveBuffer receiveBuffer;
  std::string contentType;
  int32_t position = 0;
  std::atomic<int> connectionTimeoutMs{kDefaultConnectionTimeoutMs};
  TlsTrust tlsTrust;
};

}  // namespace orvella
