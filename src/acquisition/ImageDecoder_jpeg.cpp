// Linux decoder: the download's first bytes name its format (decode/Format.h)
// and the table below the decoder for it: JPEG through libjpeg-turbo, PNG
// through libpng, BMP / GIF / TIFF / ICO (the other formats GDI+ reads)
// through gdk-pixbuf. Anything else fails as GDI+ fails on it.
#include "acquisition/FTPStream.h"
#include "acquisition/ImageDecoder.h"
#include "acquisition/decode/DecodeCommon.h"
#include "acquisition/decode/Format.h"
#include "acquisition/decode/JpegDecoder.h"
#include "acquisition/decode/PixbufDecoder.h"
#include "acquisition/decode/PngDecoder.h"

namespace orvella {

namespace {

using decode::Format;
using decode::Request;

// What the decoders keep from one picture to the next.
struct Kept {
  decode::JpegDecoder jpeg;
  decode::Scratch scratch;
};

void DecodeJpeg(Kept& kept, Format, const Request& request) {
  kept.jpeg.Decode(request, kept.scratch);
}
void DecodePng(Kept& kept, Format, const Request& request) {
  decode::DecodePng(request, kept.scratch);
}
void DecodePixbuf(Kept&, Format format, const Request& request) {
  decode::DecodePixbuf(format, request);
}

const struct {
  Format format;
  void (*decode)(Kept&, Format, const Request&);
} kDecoders[] = {
    {Format::kJpeg, DecodeJpeg},  {Format::kPng, DecodePng},     {Format::kBmp, DecodePixbuf},
    {Format::kGif, DecodePixbuf}, {Format::kTiff, DecodePixbuf}, {Format::kIco, DecodePixbuf},
};

}  // namespace

struct ImageDecoder::Impl {
  Kept kept;
  const std::atomic<bool>* stop = nullptr;  // checked by the decoders as they go
};

ImageDecoder::ImageDecoder() : impl(std::make_unique<Impl>()) {}
ImageDecoder::~ImageDecoder() = default;

// Nothing to start or stop: the libraries need no global set-up.
void ImageDecoder::Start() {}
void ImageDecoder::Shutdown() {}
void ImageDecoder::SetAbortFlag(const std::atomic<bool>* stop) { impl->stop = stop; }

void ImageDecoder::Decode(FTPStream& stream, const PixelTarget& target, int width, int height, bool colour) {
  const Request request{stream.Data(), stream.Size(), target, width, height, colour};
  const Format format = decode::SniffFormat(request.data, request.size);
  for (const auto& d : kDecoders) {
    if (d.format == format) return d.decode(impl->kept, format, request);
  }
  decode::Fail(decode::kInvalidParameter, "decoder", request.size ? "not a picture format GDI+ reads" : "no data");
}

}  // namespace orvella
