// Where a camera's pictures come from. The worker asks its source for "the
// next picture after time T", then has it write that picture into the
// camera's buffer; SourceTable picks the source for each URL.
//
// Thread safety: Next, Write and Close run on the camera's worker; Abort on
// any thread at any time, also while Next waits.
#pragma once

#include <chrono>
#include <string>

namespace orvella {

class FTPStream;
class ImageDecoder;
struct PixelTarget;

class PictureSource {
 public:
  using Clock = std::chrono::steady_clock;

  // Waits for the next picture that completes after `after` (a grab's
  // time; Clock::time_point() asks for any picture not delivered before)
  // and keeps it for Write. Raises on failure: the cycle fails.
  virtual void Next(const std::string& url, Clock::time_point after) = 0;
  // Writes the kept picture's top-left width x height into `target` as
  // ImageDecoder::Decode does (decode, crop, convert). Raises on failure.
  virtual void Write(ImageDecoder& decoder, const PixelTarget& target, int width, int height, bool colour) = 0;
  // A Next in progress fails within milliseconds, and so does every later one.
  virtual void Abort() = 0;
  // Lets go of what the source keeps open between pictures.
  virtual void Close() {}

 protected:
  ~PictureSource() = default;
};

// One download per picture (FTPStream): any download that starts after T
// is newer than T.
class SnapshotSource final : public PictureSource {
 public:
  explicit SnapshotSource(FTPStream& s) : stream(s) {}
  // Raises StreamAnswer when the URL answers with a picture stream.
  void Next(const std::string& url, Clock::time_point after) override;
  void Write(ImageDecoder& decoder, const PixelTarget& target, int width, int height, bool colour) override;
  void Abort() override;

 private:
  FTPStream& stream;
};

}  // namespace orvella
