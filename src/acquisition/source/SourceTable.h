// The worker's one way to its pictures: the table that matches a URL to the
// source that reads it, and the rules for switching between them.
//
// - The first source in the table that serves a URL reads it (the worker's
//   table: ONVIF for onvif://, RTSP for rtsp:// and rtsps://, MJPEG for a
//   URL known to answer with a picture stream, snapshots for the rest).
// - A source may resolve a URL to another (an onvif:// camera's snapshot or
//   stream URI); the table then reads that one in the same cycle.
// - A download that finds a picture stream hands it, connection and all, to
//   the source that adopts it; that source reads the URL from then on, until
//   it answers with a single picture again.
// - A picture from one source closes what the others keep open (a URL
//   change closes its stream); a failed cycle tells every source (a stream
//   closes, RTSP keeps its reconnecting reader); Abort reaches every source.
//
// Thread safety: Next, Write and SetContinuous on the worker; Abort on any
// thread.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "acquisition/source/PictureSource.h"

namespace orvella {

class SourceTable {
 public:
  static constexpr const char* kSwitchingText = "the camera keeps switching between a stream and single pictures";

  // The sources in the order they are asked; they outlive the table.
  SourceTable(std::initializer_list<PictureSource*> sources);

  // The next picture of the request's URL, kept for Write.
  void Next(const PictureSource::Request& request);
  // Writes the picture the last successful Next kept.
  void Write(const PixelTarget& target, int width, int height, bool colour);
  void SetContinuous(bool on);
  // Any thread: every source fails its Next at once, now and later.
  void Abort();

 private:
  PictureSource& Pick(const std::string& url);
  void Failed();

  const std::vector<PictureSource*> sources;
  PictureSource* current = nullptr;  // whose picture Next kept
};

}  // namespace orvella
