#include "acquisition/source/SourceTable.h"

#include <stdexcept>

#include "acquisition/FTPStream.h"
#include "acquisition/source/mjpeg/MjpegReader.h"

namespace orvella {

SourceTable::SourceTable(FTPStream& stream) : snapshot(stream), mjpeg(stream), rtsp(stream) {}

void SourceTable::Next(const std::string& url, Clock::time_point after) {
  current = nullptr;
  if (RtspSource::Handles(url)) {
    mjpeg.Close();
    rtsp.Next(url, after);  // the client keeps its stream through failures: it reconnects itself
    current = &rtsp;
    return;
  }
  rtsp.Close();
  try {
    if (mjpeg.Serves(url)) {
      try {
        mjpeg.Next(url, after);
        current = &mjpeg;
        return;
      } catch (const NotAStream&) {
        // The camera answers with single pictures again: download them.
      }
    } else {
      mjpeg.Close();  // the URL changed: its stream is no longer wanted
    }
    try {
      snapshot.Next(url, after);
      current = &snapshot;
    } catch (const StreamAnswer&) {
      // The download stopped at the headers; the stream costs a connection
      // of its own, once.
      mjpeg.Remember(url);
      mjpeg.Next(url, after);
      current = &mjpeg;
    }
  } catch (...) {
    mjpeg.Close();  // any fault closes the stream
    throw;
  }
}

void SourceTable::Write(ImageDecoder& decoder, const PixelTarget& target, int width, int height, bool colour) {
  if (!current) throw std::logic_error("ImageSources::Write without a picture");
  try {
    current->Write(decoder, target, width, height, colour);
  } catch (...) {
    mjpeg.Close();
    throw;
  }
}

void SourceTable::SetContinuous(bool on) {
  mjpeg.SetContinuous(on);
}

void SourceTable::Abort() {
  snapshot.Abort();
  mjpeg.Abort();
  rtsp.Abort();
}

}  // namespace orvella
