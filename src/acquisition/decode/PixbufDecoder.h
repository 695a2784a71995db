// BMP, GIF, TIFF and ICO (the other formats GDI+ reads) through gdk-pixbuf,
// which decodes whole pictures: pictures that would make it allocate more
// than a camera picture ever needs are refused before it sees them
// (Precheck.h, and header fields its loaders trust), and the data reaches it
// in pieces, the request's budget checked between them.
//
// Thread safety: runs on the calling worker; gdk-pixbuf's loaders are
// independent objects.
#pragma once

#include "acquisition/decode/FormatDecoder.h"
#include "acquisition/decode/Format.h"

namespace orvella::decode {

void DecodePixbuf(Format format, const Request& request);

}  // namespace orvella::decode
