// A picture's bytes in memory, readable by the image library as a
// read-only, seekable IStream. FTPStream is the snapshot download's; the
// MJPEG source keeps one for the part it hands over.
//
// Thread safety: one thread at a time (the camera's worker); AddRef and
// Release are atomic.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "acquisition/decode/ComStream.h"
#include "acquisition/decode/PictureBytes.h"
#include "acquisition/transport/ReceiveBuffer.h"

namespace orvella {

class MemoryPicture : public IStream, public PictureBytes {
 public:
  MemoryPicture() = default;
  MemoryPicture(const MemoryPicture&) = delete;
  MemoryPicture& operator=(const MemoryPicture&) = delete;
  virtual ~MemoryPicture() = default;

  // Replaces the content exactly as a successful download of these bytes
  // with this Content-Type would (buffer growth, descriptor, position). For
  // decoder tests and fuzzers.
  void SetContent(const void* data, size_t size, const std::string& type = "");
  // Makes the first `size` bytes of `bytes` the content by trading buffers:
  // `bytes` gets the old one back. `type`: the bytes' Content-Type.
  void Adopt(ReceiveBuffer& bytes, uint32_t size, const std::string& type);

  const unsigned char* Data() const override { return receiveBuffer.Data(); }
  uint32_t Size() const override { return stat.cbSize.LowPart; }
  const std::string& ContentType() const override { return contentType; }
  IStream& Stream() override { return *this; }
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

 protected:
  // Makes the first `size` bytes of the buffer the content (descriptor with
  // the current time, position 0), of this Content-Type (the server's words).
  void Publish(uint32_t size, const std::string& type);
  // No content (a failed download whose buffer was left behind).
  void Clear();

  ReceiveBuffer receiveBuffer;

 private:
  std::atomic<long> refCount{1};
  STATSTG stat{};
  std::string contentType;
  int32_t position = 0;
};

}  // namespace orvella
