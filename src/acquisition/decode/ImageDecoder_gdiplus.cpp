// Windows decoder. JPEG goes to the libjpeg-turbo decoder the Linux product
// uses (decode/JpegDecoder.h): it decodes only the region, straight into the
// buffer, four times faster than GDI+, and both products then give the same
// pixels. Every other format goes to GDI+ through its flat API, reading the
// download stream as an IStream. Colour is converted by GDI+ straight into the
// image buffer (a lock with a caller-supplied buffer); gray goes through a
// 32-bit bitmap drawn with a grayscale colour matrix. GDI+ decodes a whole
// picture in one call that cannot be interrupted, so the header pre-check
// (decode/Precheck.h) refuses first what would cost too much memory or work,
// or lacks rows.
// clang-format off
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>
// clang-format on

#include <cstdint>
#include <cstring>

#include "acquisition/ImageRegion.h"
#include "acquisition/PixelTarget.h"
#include "acquisition/decode/Format.h"
#include "acquisition/decode/FormatDecoder.h"
#include "acquisition/decode/ImageDecoder.h"
#include "acquisition/decode/JpegDecoder.h"
#include "acquisition/decode/PictureBytes.h"
#include "acquisition/decode/Precheck.h"
#include "driver/Errors.h"

namespace orvella {

namespace {

namespace gp = Gdiplus;
using namespace Gdiplus::DllExports;

constexpr UINT kLockReadIntoUserBuffer = gp::ImageLockModeRead | gp::ImageLockModeUserInputBuf;  // 5

// Owners of the GDI+ objects of one picture; each is released on every way out.
struct Bitmap {
  gp::GpBitmap* p = nullptr;
  ~Bitmap() {
    if (p) GdipDisposeImage(p);
  }
};
struct Attributes {
  gp::GpImageAttributes* p = nullptr;
  ~Attributes() {
    if (p) GdipDisposeImageAttributes(p);
  }
};
struct Graphics {
  gp::GpGraphics* p = nullptr;
  ~Graphics() {
    if (p) GdipDeleteGraphics(p);
  }
};

float FloatFromBits(uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

// Red, green and blue all become 0.299 R + 0.588 G + 0.111 B; alpha passes.
gp::ColorMatrix GrayscaleMatrix() {
  const float r = FloatFromBits(0x3E991687);  // 0.299
  const float g = FloatFromBits(0x3F16872B);  // 0.588
  const float b = FloatFromBits(0x3DE353F8);  // 0.111
  gp::ColorMatrix m = {{{r, r, r, 0, 0}, {g, g, g, 0, 0}, {b, b, b, 0, 0}, {0, 0, 0, 1, 0}, {0, 0, 0, 0, 1}}};
  return m;
}

// GDI+ writes the region as 24-bit pixels into the buffer: one pass, no copy.
void CopyColour(gp::GpBitmap* decodedImage, const ImageRegion& region) {
  gp::GpRect rect = {0, 0, INT(region.width), INT(region.height)};
  gp::BitmapData lock = {};
  lock.Width = region.width;
  lock.Height = region.height;
  lock.Stride = region.stride;
  lock.PixelFormat = PixelFormat24bppRGB;
  lock.Scan0 = region.first;
  lock.Reserved = 0;
  CheckGdiStatus(GdipBitmapLockBits(decodedImage, &rect, kLockReadIntoUserBuffer, PixelFormat24bppRGB, &lock));
  CheckGdiStatus(GdipBitmapUnlockBits(decodedImage, &lock));
}

void CopyGrayscale(gp::GpBitmap* decodedImage, const ImageRegion& region) {
  const INT w = INT(region.width), h = INT(region.height);
  // Released in reverse order: graphics, attributes, bitmap. Only the lock
  // and unlock statuses are examined; a failed set-up call shows in the lock.
  Bitmap gray;
  GdipCreateBitmapFromScan0(w, h, 0, PixelFormat32bppARGB, nullptr, &gray.p);
  Attributes attributes;
  GdipCreateImageAttributes(&attributes.p);
  gp::ColorMatrix matrix = GrayscaleMatrix();
  GdipSetImageAttributesColorMatrix(attributes.p, gp::ColorAdjustTypeDefault, TRUE, &matrix, nullptr,
                                    gp::ColorMatrixFlagsDefault);
  Graphics graphics;
  GdipGetImageGraphicsContext(gray.p, &graphics.p);
  GdipDrawImageRectRectI(graphics.p, decodedImage, 0, 0, w, h, 0, 0, w, h, gp::UnitPixel, attributes.p, nullptr,
                         nullptr);

  gp::GpRect rect = {0, 0, w, h};
  gp::BitmapData lock = {};
  CheckGdiStatus(GdipBitmapLockBits(gray.p, &rect, gp::ImageLockModeRead, PixelFormat24bppRGB, &lock));
  const auto* first = static_cast<const unsigned char*>(lock.Scan0);
  for (uint32_t i = 0; i < region.height; ++i) {
    const unsigned char* in = first + ptrdiff_t(i) * lock.Stride;
    unsigned char* out = region.Row(i);
    for (uint32_t j = 0; j < region.width; ++j) out[j] = in[3 * j];  // blue = red = green = gray
  }
  CheckGdiStatus(GdipBitmapUnlockBits(gray.p, &lock));
}

}  // namespace

struct ImageDecoder::Impl {
  ULONG_PTR gdiplusToken = 0;
  bool started = false;
  const std::atomic<bool>* stop = nullptr;
  decode::JpegDecoder jpeg;  // kept from one picture to the next, like its scratch rows
  decode::Scratch scratch;
};

ImageDecoder::ImageDecoder() : impl(std::make_unique<Impl>()) {}

ImageDecoder::~ImageDecoder() {
  Shutdown();
}

// GDI+ decodes a picture in one call: the flag is seen before it and before
// the copy; the JPEG decoder checks it as it goes.
void ImageDecoder::SetAbortFlag(const std::atomic<bool>* stop) {
  impl->stop = stop;
}

void ImageDecoder::Start() {
  if (impl->started) return;
  gp::GdiplusStartupInput input;
  input.GdiplusVersion = 1;
  input.DebugEventCallback = nullptr;
  input.SuppressBackgroundThread = FALSE;
  input.SuppressExternalCodecs = FALSE;
  ULONG_PTR token = 0;
  // A failed start shows at the first decode; only a real token is kept.
  if (gp::GdiplusStartup(&token, &input, nullptr) == gp::Ok) {
    impl->gdiplusToken = token;
    impl->started = true;
  }
}

void ImageDecoder::Shutdown() {
  if (!impl->started) return;
  gp::GdiplusShutdown(impl->gdiplusToken);
  impl->gdiplusToken = 0;
  impl->started = false;
}

void ImageDecoder::Decode(PictureBytes& picture, const PixelTarget& target, int width, int height, bool colour) {
  const decode::Budget budget(impl->stop);
  if (int status = budget.Check()) decode::FailWith(status, "decoder", decode::kOverTimeLimit);
  const decode::Request request{picture.Data(), picture.Size(), target, width, height, colour, budget};
  const decode::Format format = decode::SniffFormat(request.data, request.size);
  if (format == decode::Format::kJpeg) {
    decode::Precheck(format, request, false);
    impl->jpeg.Decode(request, impl->scratch);
    return;
  }
  decode::Precheck(format, request, true);
  // GDI+ reads from the current position; a picture decoded before left it at the end.
  LARGE_INTEGER start = {};
  IStream& stream = picture.Stream();
  stream.Seek(start, STREAM_SEEK_SET, nullptr);

  Bitmap decoded;
  const gp::GpStatus opened = GdipCreateBitmapFromStream(&stream, &decoded.p);
  // Data no format's signature starts (a login or error page, say) that
  // GDI+ cannot read either: the reason says what came instead.
  if (opened != gp::Ok && opened != gp::Win32Error && format == decode::Format::kUnknown)
    throw GDIException(opened, decode::NotAPictureText(picture.ContentType(), request.size));
  CheckGdiStatus(opened);
  UINT imageWidth = 0, imageHeight = 0;  // statuses not examined: a failure leaves 0
  GdipGetImageWidth(decoded.p, &imageWidth);
  GdipGetImageHeight(decoded.p, &imageHeight);
  ImageRegion region = FitRegion(width, height, imageWidth, imageHeight, target, colour);
  if (int status = budget.Check()) decode::FailWith(status, "GDI+", decode::kOverTimeLimit);
  if (colour) {
    CopyColour(decoded.p, region);
  } else {
    CopyGrayscale(decoded.p, region);
  }
}

}  // namespace orvella
