// JPEG through libjpeg-turbo, decoding only what the region needs: the top
// rows (it stops after the last one) and the left columns, so a picture whose
// header claims an enormous size costs no more than its region. libjpeg's
// progress monitor checks the request's budget before each batch of rows and
// throughout every scan.
//
// Thread safety: one decoder per camera worker, used by that worker only.
#pragma once

#include <memory>

#include "acquisition/decode/FormatDecoder.h"
#include "driver/NoCopy.h"

namespace orvella::decode {

class JpegDecoder {
 public:
  // Raises std::bad_alloc when libjpeg cannot start.
  JpegDecoder();
  ~JpegDecoder();
  ORVELLA_NO_COPY(JpegDecoder);

  // Every way out leaves the decompressor ready for the next picture.
  void Decode(const Request& request, Scratch& scratch);

 private:
  struct Impl;
  std::unique_ptr<Impl> state;
};

}  // namespace orvella::decode
