// The worker's one way to its pictures: picks the source for each URL and
// keeps what a source learns about it. A URL is read as a snapshot (one
// download per picture) until a download answers with a picture stream;
// from then on it is read as a stream (MjpegSource), until it answers with
// a single picture again or the URL changes. An rtsp:// URL is read from its
// RTSP stream (RtspSource).
//
// Thread safety: as PictureSource (Next, Write and SetContinuous on the
// worker, Abort on any thread).
#pragma once

#include <string>

#include "acquisition/source/rtsp/RtspSource.h"
#include "acquisition/source/PictureSource.h"
#include "acquisition/source/mjpeg/MjpegSource.h"

namespace orvella {

class SourceTable {
 public:
  using Clock = PictureSource::Clock;

  // The snapshot downloads run on `stream`, and every picture ends up in it.
  explicit SourceTable(FTPStream& stream);

  // The next picture of `url` after `after`, as PictureSource::Next. A
  // failure closes whatever stream is open: the next call reconnects.
  void Next(const std::string& url, Clock::time_point after);
  // Writes the picture the last successful Next kept (PictureSource::Write).
  void Write(ImageDecoder& decoder, const PixelTarget& target, int width, int height, bool colour);
  // The camera's continuous mode (keeps a stream open between cycles).
  void SetContinuous(bool on);
  // Any thread: every source fails its Next at once, now and later.
  void Abort();

 private:
  SnapshotSource snapshot;
  MjpegSource mjpeg;
  RtspSource rtsp;
  PictureSource* current = nullptr;  // whose picture Next kept
};

}  // namespace orvella
