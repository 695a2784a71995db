#include "acquisition/MemoryPicture.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "acquisition/transport/HttpAnswer.h"
#include "driver/Platform.h"

namespace orvella {

// ---- content ---------------------------------------------------------------

void MemoryPicture::Publish(uint32_t size, const std::string& type) {
  contentType = ServerWords(type);
  const uint64_t ticks = platform::FileTimeNow();
  FILETIME now;
  now.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
  now.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  stat = STATSTG{};
  stat.pwcsName = nullptr;
  stat.type = STGTY_STREAM;
  stat.cbSize.QuadPart = size;
  stat.mtime = now;
  stat.ctime = now;
  stat.atime = now;
  stat.clsid = CLSID_NULL;
  position = 0;
}

void MemoryPicture::SetContent(const void* data, size_t size, const std::string& type) {
  if (size > static_cast<size_t>(kMaxBodyBytes)) throw std::runtime_error(kTooLargeText);
  const int length = static_cast<int>(size);
  // Grow exactly as the download loop would, final empty read included.
  int fill = 0;
  for (;;) {
    receiveBuffer.MakeRoom(fill);
    int chunk = std::min(length - fill, receiveBuffer.Capacity() - fill);
    if (chunk == 0) break;
    std::memcpy(receiveBuffer.At(fill), static_cast<const unsigned char*>(data) + fill, static_cast<size_t>(chunk));
    fill += chunk;
  }
  Publish(static_cast<uint32_t>(length), type);
}

void MemoryPicture::Adopt(ReceiveBuffer& bytes, uint32_t size, const std::string& type) {
  std::swap(receiveBuffer, bytes);
  Publish(size, type);
}

void MemoryPicture::Clear() {
  stat.cbSize.QuadPart = 0;
  position = 0;
}

// ---- IUnknown ---------------------------------------------------

HRESULT STDMETHODCALLTYPE MemoryPicture::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IStream) {
    *ppv = static_cast<IStream*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE MemoryPicture::AddRef() {
  return static_cast<ULONG>(++refCount);
}

ULONG STDMETHODCALLTYPE MemoryPicture::Release() {
  long count = --refCount;
  if (count == 0) delete this;  // COM ownership: the last reference frees the stream
  return static_cast<ULONG>(count);
}

// ---- IStream ----------------------------------------------------

HRESULT STDMETHODCALLTYPE MemoryPicture::Read(void* pv, ULONG cb, ULONG* pcbRead) {
  const uint32_t length = Size();
  const uint32_t at = static_cast<uint32_t>(position);
  const uint32_t left = at < length ? length - at : 0;
  const uint32_t n = cb < left ? static_cast<uint32_t>(cb) : left;
  if (n > 0 && pv == nullptr) return STG_E_INVALIDPOINTER;
  if (n > 0) std::memcpy(pv, receiveBuffer.Data() + at, n);
  position += static_cast<int32_t>(n);
  if (pcbRead) *pcbRead = n;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE MemoryPicture::Write(const void*, ULONG, ULONG*) {
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MemoryPicture::Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) {
  if (plibNewPosition) plibNewPosition->QuadPart = 0;
  const int32_t length = static_cast<int32_t>(Size());
  const uint32_t low = static_cast<uint32_t>(dlibMove.QuadPart & 0xFFFFFFFFu);
  const uint32_t high = static_cast<uint32_t>(static_cast<uint64_t>(dlibMove.QuadPart) >> 32);
  int32_t next = 0;
  switch (dwOrigin) {
    case STREAM_SEEK_SET:
      if (high != 0 || low >= static_cast<uint32_t>(length)) return STG_E_INVALIDPOINTER;
      next = static_cast<int32_t>(low);
      break;
    case STREAM_SEEK_CUR:
    case STREAM_SEEK_END: {
      if (high != 0 && high != 0xFFFFFFFFu) return STG_E_INVALIDPOINTER;
      const int32_t base = dwOrigin == STREAM_SEEK_CUR ? position : length;
      next = static_cast<int32_t>(static_cast<uint32_t>(base) + low);  // 32-bit wrap-around arithmetic
      if (next < 0 || next >= length) return STG_E_INVALIDPOINTER;
      break;
    }
    default:
      return STG_E_INVALIDFUNCTION;
  }
  position = next;
  if (plibNewPosition) plibNewPosition->QuadPart = static_cast<uint32_t>(next);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE MemoryPicture::SetSize(ULARGE_INTEGER) {
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MemoryPicture::CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) {
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MemoryPicture::Commit(DWORD) {
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MemoryPicture::Revert() {
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MemoryPicture::LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) {
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MemoryPicture::UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) {
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE MemoryPicture::Stat(STATSTG* pstatstg, DWORD) {
  if (pstatstg == nullptr) return STG_E_INVALIDPOINTER;
  *pstatstg = stat;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE MemoryPicture::Clone(IStream**) {
  return E_NOTIMPL;
}

}  // namespace orvella
