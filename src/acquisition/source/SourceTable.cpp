#include "acquisition/source/SourceTable.h"

#include <stdexcept>

namespace orvella {

const std::string& PictureSource::ResolvedUrl() const {
  static const std::string none;
  return none;
}

SourceTable::SourceTable(std::initializer_list<PictureSource*> list) : sources(list) {}

PictureSource& SourceTable::Pick(const std::string& url) {
  for (PictureSource* s : sources)
    if (s->Serves(url)) return *s;
  throw std::logic_error("SourceTable: no source serves the URL");
}

void SourceTable::Next(const PictureSource::Request& asked) {
  current = nullptr;
  const std::string* url = &asked.url;  // what it stands for, once resolved (no copy per cycle)
  try {
    // At most: the URL is resolved, a snapshot finds a stream, the stream
    // answers with a single picture, the snapshot reads it.
    for (int step = 0; step < 4; ++step) {
      const PictureSource::Request request{*url, asked.after, asked.limits, asked.trust};
      PictureSource& source = Pick(*url);
      switch (source.Next(request)) {
        case PictureSource::Found::kPicture:
          // Whatever another source keeps open is no longer wanted (a URL
          // change closes its stream); a resolver keeps nothing open.
          for (PictureSource* other : sources)
            if (other != &source) other->Close();
          current = &source;
          return;
        case PictureSource::Found::kPictureStream: {
          std::unique_ptr<OpenAnswer> answer = source.TakeAnswer();
          for (PictureSource* s : sources)
            if (s != &source && s->Adopt(*url, answer)) break;
          break;
        }
        case PictureSource::Found::kNotAStream:
          break;  // the source let go of the URL: the next one reads it
        case PictureSource::Found::kResolved:
          url = &source.ResolvedUrl();
          break;
      }
    }
    throw std::runtime_error(kSwitchingText);
  } catch (...) {
    Failed();
    throw;
  }
}

void SourceTable::Write(const PixelTarget& target, int width, int height, bool colour) {
  if (!current) throw std::logic_error("SourceTable::Write without a picture");
  try {
    current->Write(target, width, height, colour);
  } catch (...) {
    Failed();
    throw;
  }
  for (PictureSource* s : sources) s->Delivered();
}

void SourceTable::SetContinuous(bool on) {
  for (PictureSource* s : sources) s->SetContinuous(on);
}

void SourceTable::Abort() {
  for (PictureSource* s : sources) s->Abort();
}

void SourceTable::Failed() {
  for (PictureSource* s : sources) s->Failed();
}

}  // namespace orvella
