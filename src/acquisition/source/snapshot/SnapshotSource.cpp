#include "acquisition/source/snapshot/SnapshotSource.h"

#include "acquisition/FTPStream.h"
#include "acquisition/decode/ImageDecoder.h"

namespace orvella {

PictureSource::Found SnapshotSource::Next(const Request& request) {
  return stream.ReadFile(request.url.c_str()) == FTPStream::Got::kPictureStream ? Found::kPictureStream
                                                                                : Found::kPicture;
}

void SnapshotSource::Write(const PixelTarget& target, int width, int height, bool colour) {
  decoder.Decode(stream, target, width, height, colour);
}

void SnapshotSource::Abort() {
  stream.Abort();
}

std::unique_ptr<OpenAnswer> SnapshotSource::TakeAnswer() {
  return stream.TakeAnswer();
}

}  // namespace orvella
