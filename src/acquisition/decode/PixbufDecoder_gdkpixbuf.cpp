#include <gdk-pixbuf/gdk-pixbuf.h>

#include <cstdint>

#include "acquisition/ImageRegion.h"
#include "acquisition/decode/Convert.h"
#include "acquisition/decode/PixbufDecoder.h"

namespace orvella::decode {

namespace {

uint32_t Le16(const unsigned char* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8;
}
uint32_t Le32(const unsigned char* p) {
  return Le16(p) | Le16(p + 2) << 16;
}

// The ICO loader buffers everything up to the farthest image its directory
// points at, however far that is: a directory must stay inside the data.
bool IcoDirectoryFits(const unsigned char* d, size_t n) {
  if (n < 6) return false;
  const uint32_t count = Le16(d + 4);
  for (uint32_t i = 0; i < count; ++i) {
    const size_t at = 6 + size_t(i) * 16;
    if (at + 16 > n || uint64_t(Le32(d + at + 12)) + Le32(d + at + 8) > n) return false;
  }
  return true;
}

// An info header's colour count (biClrUsed) sizes the palette the loader reads.
bool PaletteFits(const unsigned char* d, size_t n) {
  const uint32_t header = Le32(d + 14);
  if (header < 40 || n < 50) return true;
  return 14 + uint64_t(header) + uint64_t(Le32(d + 46)) * 4 <= n;
}

// Fails the picture when a header field would make a gdk-pixbuf loader
// buffer far more than the data holds (the picture's own size is checked
// before, see Precheck.h).
void RefuseOversizedHeader(Format format, const char* name, const unsigned char* data, size_t size) {
  // The BMP loader buffers the info header and the palette at whatever
  // length the file gives them (up to 4 GiB): no info header is longer than
  // 124 bytes, the palette must end inside the data, and so must the pixels start.
  if (format == Format::kBmp &&
      (size < 18 || Le32(data + 14) > 124 || Le32(data + 10) > size || !PaletteFits(data, size)))
    Fail(kInvalidParameter, name, "bad header");
  if (format == Format::kIco && !IcoDirectoryFits(data, size))
    Fail(kInvalidParameter, name, "directory points past the data");
}

struct Loader {
  GdkPixbufLoader* loader = nullptr;
  GError* error = nullptr;
  ~Loader() {
    if (error) g_error_free(error);
    if (loader) g_object_unref(loader);
  }
};

// The loaders decode as data arrives: fed in pieces, a closing camera or the
// time limit ends the picture between them.
constexpr size_t kPiece = size_t(64) << 10;

// Feeds the data; 0, a budget status, or kInvalidParameter with l.error set.
int Feed(Loader& l, const Request& request) {
  for (size_t at = 0; at < request.size; at += kPiece) {
    if (int status = request.budget.Check()) return status;
    size_t n = request.size - at < kPiece ? request.size - at : kPiece;
    if (!gdk_pixbuf_loader_write(l.loader, request.data + at, n, &l.error)) return kInvalidParameter;
  }
  return request.budget.Check();  // the TIFF loader decodes only when closed
}

// The decoded 8-bit RGB(A) picture, owned by `l`; fails the picture otherwise.
GdkPixbuf* Load(Loader& l, const char* name, const Request& request) {
  l.loader = gdk_pixbuf_loader_new_with_type(name, &l.error);
  int status = l.loader ? Feed(l, request) : kInvalidParameter;
  bool ok = status == 0;
  if (l.loader) {
    // Closing is required even after a failed write; its own error then adds nothing.
    bool closed = gdk_pixbuf_loader_close(l.loader, ok ? &l.error : nullptr);
    ok = ok && closed;
  }
  if (status < 0) FailWith(status, name, kOverTimeLimit);
  GdkPixbuf* picture = ok ? gdk_pixbuf_loader_get_pixbuf(l.loader) : nullptr;
  if (!picture || gdk_pixbuf_get_bits_per_sample(picture) != 8 ||
      gdk_pixbuf_get_colorspace(picture) != GDK_COLORSPACE_RGB) {
    bool memory =
        l.error && l.error->domain == GDK_PIXBUF_ERROR && l.error->code == GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY;
    Fail(memory ? kOutOfMemory : kInvalidParameter, name, l.error ? l.error->message : "no picture");
  }
  return picture;
}

}  // namespace

void DecodePixbuf(Format format, const Request& request) {
  const char* name = FormatName(format);  // the loader's name, also the log's
  RefuseOversizedHeader(format, name, request.data, request.size);
  Loader l;
  GdkPixbuf* picture = Load(l, name, request);
  ImageRegion region = FitRegion(request.width, request.height, uint32_t(gdk_pixbuf_get_width(picture)),
                                 uint32_t(gdk_pixbuf_get_height(picture)), request.target, request.colour);
  if (region.width == 0 || region.height == 0) Fail(kInvalidParameter, name, "empty region");
  const guint8* pixels = gdk_pixbuf_read_pixels(picture);
  int channels = gdk_pixbuf_get_n_channels(picture);
  size_t stride = size_t(gdk_pixbuf_get_rowstride(picture));
  for (uint32_t r = 0; r < region.height; ++r) {
    if (request.colour) {
      BgrFromRgb(pixels + r * stride, channels, region.Row(r), region.width);
    } else {
      GrayFromRgb(pixels + r * stride, channels, region.Row(r), region.width);
    }
  }
}

}  // namespace orvella::decode
