// One download per picture (FTPStream): any download that starts after T is
// newer than T. Reads every URL the stream sources do not.
//
// Thread safety: as PictureSource.
#pragma once

#include "acquisition/source/PictureSource.h"

namespace orvella {

class FTPStream;
class ImageDecoder;

class SnapshotSource final : public PictureSource {
 public:
  // Downloads on `stream`, decoded by `decoder`.
  SnapshotSource(FTPStream& stream, ImageDecoder& decoder) : stream(stream), decoder(decoder) {}

  bool Serves(const std::string&) const override { return true; }
  Found Next(const Request& request) override;
  void Write(const PixelTarget& target, int width, int height, bool colour) override;
  void Abort() override;
  std::unique_ptr<OpenAnswer> TakeAnswer() override;

 private:
  FTPStream& stream;
  ImageDecoder& decoder;
};

}  // namespace orvella
