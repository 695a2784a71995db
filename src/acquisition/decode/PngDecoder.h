// PNG through libpng, reading only the rows the region needs (interlaced
// pictures: every pass, keeping only the region's rows), checking the
// request's budget between rows. Alpha is dropped and gamma ignored.
//
// Thread safety: runs on the calling worker; `scratch` is that worker's.
#pragma once

#include "acquisition/decode/FormatDecoder.h"

namespace orvella::decode {

void DecodePng(const Request& request, Scratch& scratch);

}  // namespace orvella::decode
