// A picture's bytes as the decoders read them, whoever brought them (a
// snapshot download, a stream's part): the decoders never see the transport.
//
// Thread safety: read by the decoding worker only.
#pragma once

#include <cstdint>
#include <string>

#include "acquisition/decode/ComStream.h"

namespace orvella {

class PictureBytes {
 public:
  virtual const unsigned char* Data() const = 0;
  virtual uint32_t Size() const = 0;
  // The Content-Type the camera gave them, in printable words; "" for none.
  // What a failed decode names; the bytes decide the format.
  virtual const std::string& ContentType() const = 0;
  // The same bytes as a COM stream at its start (GDI+ decodes from one).
  virtual IStream& Stream() = 0;

 protected:
  ~PictureBytes() = default;
};

}  // namespace orvella
