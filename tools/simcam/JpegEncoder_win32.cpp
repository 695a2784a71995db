// The simulated camera's JPEG encoder on Windows: GDI+, part of every
// Windows, so the camera needs no DLL beside it.
// clang-format off
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>
// clang-format on

#include <cwchar>
#include <memory>
#include <stdexcept>

#include "simcam/Picture.h"

namespace orvella::simcam {
namespace {

namespace gp = Gdiplus;
using namespace Gdiplus::DllExports;

struct Gdi {
  ULONG_PTR token = 0;
  CLSID jpeg{};
};

CLSID JpegEncoderId() {
  UINT count = 0, bytes = 0;
  GdipGetImageEncodersSize(&count, &bytes);
  std::unique_ptr<char[]> buffer(new char[bytes ? bytes : 1]);
  auto* codecs = reinterpret_cast<gp::ImageCodecInfo*>(buffer.get());
  if (bytes && GdipGetImageEncoders(count, bytes, codecs) == gp::Ok)
    for (UINT i = 0; i < count; ++i)
      if (std::wcscmp(codecs[i].MimeType, L"image/jpeg") == 0) return codecs[i].Clsid;
  throw std::runtime_error("GDI+ has no JPEG encoder");
}

struct BitmapDeleter {
  void operator()(gp::GpBitmap* b) const { GdipDisposeImage(b); }
};
struct StreamDeleter {
  void operator()(IStream* s) const { s->Release(); }
};

}  // namespace

JpegEncoder::JpegEncoder() : handle(nullptr) {
  auto gdi = std::make_unique<Gdi>();
  gp::GdiplusStartupInput input;
  if (gp::GdiplusStartup(&gdi->token, &input, nullptr) != gp::Ok) throw std::runtime_error("GdiplusStartup failed");
  try {
    gdi->jpeg = JpegEncoderId();
  } catch (...) {
    gp::GdiplusShutdown(gdi->token);
    throw;
  }
  handle = gdi.release();
}

JpegEncoder::~JpegEncoder() {
  Gdi* gdi = static_cast<Gdi*>(handle);
  gp::GdiplusShutdown(gdi->token);
  delete gdi;
}

// GDI+ subsamples as it likes (4:2:0 in practice).
std::string JpegEncoder::Encode(const std::vector<unsigned char>& rgb, int width, int height, int quality) {
  std::vector<unsigned char> bgr(rgb.size());  // GDI+'s 24-bit pixels are blue-green-red
  for (size_t i = 0; i + 2 < rgb.size(); i += 3) bgr[i] = rgb[i + 2], bgr[i + 1] = rgb[i + 1], bgr[i + 2] = rgb[i];
  gp::GpBitmap* raw = nullptr;
  if (GdipCreateBitmapFromScan0(width, height, width * 3, PixelFormat24bppRGB, bgr.data(), &raw) != gp::Ok)
    throw std::runtime_error("JPEG encoding failed: no bitmap");
  std::unique_ptr<gp::GpBitmap, BitmapDeleter> bitmap(raw);
  IStream* rawStream = nullptr;
  if (CreateStreamOnHGlobal(nullptr, TRUE, &rawStream) != S_OK)
    throw std::runtime_error("JPEG encoding failed: no stream");
  std::unique_ptr<IStream, StreamDeleter> stream(rawStream);

  ULONG level = static_cast<ULONG>(quality);
  gp::EncoderParameters parameters;
  parameters.Count = 1;
  parameters.Parameter[0] = {gp::EncoderQuality, 1, gp::EncoderParameterValueTypeLong, &level};
  const gp::Status status =
      GdipSaveImageToStream(bitmap.get(), stream.get(), &static_cast<Gdi*>(handle)->jpeg, &parameters);
  if (status != gp::Ok) throw std::runtime_error("JPEG encoding failed: GDI+ status " + std::to_string(status));

  HGLOBAL memory = nullptr;
  STATSTG stat{};
  if (GetHGlobalFromStream(stream.get(), &memory) != S_OK || stream->Stat(&stat, STATFLAG_NONAME) != S_OK)
    throw std::runtime_error("JPEG encoding failed: no result");
  const char* bytes = static_cast<const char*>(GlobalLock(memory));
  std::string jpeg(bytes, static_cast<size_t>(stat.cbSize.QuadPart));
  GlobalUnlock(memory);
  return jpeg;
}

}  // namespace orvella::simcam
