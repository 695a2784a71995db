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

// The picture size a BMP or GIF header claims (gdk-pixbuf allocates the
// whole picture before decoding it), or 0 when not known up front.
uint64_t ClaimedPixels(Format format, const unsigned char* d, size_t n) {
  if (format == Format::kGif && n >= 10) return uint64_t(Le16(d + 6)) * Le16(d + 8);
  if (format == Format::kBmp && n >= 26) {
    if (Le32(d + 14) == 12) return uint64_t(Le16(d + 18)) * Le16(d + 20);
    int32_t w = int32_t(Le32(d + 18)), h = int32_t(Le32(d + 22));
    return uint64_t(w < 0 ? -int64_t(w) : w) * uint64_t(h < 0 ? -int64_t(h) : h);
  }
  return 0;
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

// Fails the picture when its header would make gdk-pixbuf allocate far more
// than the data holds.
void RefuseOversizedHeader(Format format, const char* name, const unsigned char* data, size_t size) {
  if (ClaimedPixels(format, data, size) * 4 > kMaxPictureMemory) Fail(kOutOfMemory, name, "picture too large");
  // Its BMP loader also buffers the info header and the palette at whatever
  // length the file gives them (up to 4 GiB): no info header is longer than
  // 124 bytes, and the pixels must start inside the data.
  if (format == Format::kBmp && (size < 18 || Le32(data + 14) > 124 || Le32(data + 10) > size))
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

// The decoded 8-bit RGB(A) picture, owned by `l`; fails the picture otherwise.
GdkPixbuf* Load(Loader& l, const char* name, const unsigned char* data, size_t size) {
  l.loader = gdk_pixbuf_loader_new_with_type(name, &l.error);
  bool ok = l.loader != nullptr;
  if (ok) ok = gdk_pixbuf_loader_write(l.loader, data, size, &l.error);
  if (l.loader) {
    // Closing is required even after a failed write; its own error then adds nothing.
    bool closed = gdk_pixbuf_loader_close(l.loader, ok ? &l.error : nullptr);
    ok = ok && closed;
  }
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
  GdkPixbuf* picture = Load(l, name, request.data, request.size);
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
