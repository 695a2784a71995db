// Linux decoder: the download's first bytes name its format (decode/Format.h)
// and the table below the decoder for it: JPEG through libjpeg-turbo, PNG
// through libpng, BMP / GIF / TIFF / ICO (the other formats GDI+ reads)
// through gdk-pixbuf. Anything else fails as GDI+ fails on it. Every picture
// passes the header pre-check first (decode/Precheck.h) and runs on a budget
// its decoder checks between rows, scans and pieces of data.
#include "acquisition/decode/Format.h"
#include "acquisition/decode/FormatDecoder.h"
#include "acquisition/decode/ImageDecoder.h"
#include "acquisition/decode/JpegDecoder.h"
#include "acquisition/decode/PictureBytes.h"
#include "acquisition/decode/PixbufDecoder.h"
#include "acquisition/decode/PngDecoder.h"
#include "acquisition/decode/Precheck.h"

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

// `whole`: the decoder holds the whole picture (libjpeg and libpng read
// only the region's rows and take their memory from it).
const struct {
  Format format;
  bool whole;
  void (*decode)(Kept&, Format, const Request&);
} kDecoders[] = {
    {Format::kJpeg, false, DecodeJpeg}, {Format::kPng, false, DecodePng},    {Format::kBmp, true, DecodePixbuf},
    {Format::kGif, true, DecodePixbuf}, {Format::kTiff, true, DecodePixbuf}, {Format::kIco, true, DecodePixbuf},
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
void ImageDecoder::SetAbortFlag(const std::atomic<bool>* stop) {
  impl->stop = stop;
}

void ImageDecoder::Decode(PictureBytes& picture, const PixelTarget& target, int width, int height, bool colour) {
  const decode::Budget budget(impl->stop);
  if (int status = budget.Check()) decode::FailWith(status, "decoder", decode::kOverTimeLimit);
  const Request request{picture.Data(), picture.Size(), target, width, height, colour, budget};
  const Format format = decode::SniffFormat(request.data, request.size);
  for (const auto& d : kDecoders) {
    if (d.format != format) continue;
    decode::Precheck(format, request, d.whole);
    return d.decode(impl->kept, format, request);
  }
  // Not a picture: a login or error page, say, and the reason says what came.
  decode::Fail(decode::kInvalidParameter, "decoder", request.size ? "not a picture format GDI+ reads" : "no data",
               decode::NotAPictureText(picture.ContentType(), request.size));
}

}  // namespace orvella
