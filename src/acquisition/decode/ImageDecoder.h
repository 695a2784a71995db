// Decoding and conversion of a downloaded picture into an image buffer.
// One implementation per platform: GDI+ (ImageDecoder_gdiplus.cpp) and
// libjpeg-turbo, libpng and gdk-pixbuf (ImageDecoder_posix.cpp, one file per
// format under decode/).
//
// Thread safety: Start/Shutdown run on a host thread while the worker is not
// decoding; Decode runs on the camera's worker thread only. One decoder per
// camera worker; nothing is shared between decoders.
#pragma once

#include <atomic>
#include <memory>

#include "driver/NoCopy.h"

namespace orvella {

class PictureBytes;
struct PixelTarget;

class ImageDecoder {
 public:
  ImageDecoder();
  ~ImageDecoder();
  ORVELLA_NO_COPY(ImageDecoder);

  // Starts the platform image library for this decoder (GdiplusStartup); a
  // second call is a no-op. Shutdown undoes it once; both may be called at
  // any time, any number of times.
  void Start();
  void Shutdown();

  // A decode in progress stops soon after `*stop` becomes true (checked
  // between rows and between a progressive picture's scans) and raises; null
  // for none. The flag must outlive the decoder.
  void SetAbortFlag(const std::atomic<bool>* stop);

  // Decodes the picture and writes its top-left region of at
  // most width x height pixels into `target`, as blue-green-red bytes when
  // `colour`, else one gray byte (0.299 R + 0.588 G + 0.111 B) per pixel.
  // The region is further limited to the target's own geometry and rows are
  // written with the target's own row length, so no write leaves the buffer.
  // Pixels outside the region keep their content. Raises GDIException (or
  // Win32Exception) on failure; a target without memory fails the cycle. A
  // picture over its budget (decode/FormatDecoder.h: scans, passes, time)
  // raises "ImageDecoder::Decode: picture too costly to decode (...)"; a
  // stop, "ImageDecoder::Decode: stopped".
  void Decode(PictureBytes& picture, const PixelTarget& target, int width, int height, bool colour);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl;
};

}  // namespace orvella
