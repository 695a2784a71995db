#include "acquisition/source/PictureSource.h"

#include "acquisition/FTPStream.h"
#include "acquisition/decode/ImageDecoder.h"

namespace orvella {

void SnapshotSource::Next(const std::string& url, Clock::time_point) {
  stream.ReadFile(url.c_str());
}

void SnapshotSource::Write(ImageDecoder& decoder, const PixelTarget& target, int width, int height, bool colour) {
  decoder.Decode(stream, target, width, height, colour);
}

void SnapshotSource::Abort() {
  stream.Abort();
}

}  // namespace orvella
