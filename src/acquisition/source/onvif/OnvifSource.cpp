#include "acquisition/source/onvif/OnvifSource.h"

#include <stdexcept>

#include "acquisition/source/onvif/OnvifAddress.h"

namespace orvella {

PictureSource::Found OnvifSource::Next(const Request& request) {
  if (request.url == forUrl && !resolved.empty() && !stale) return Found::kResolved;
  onvif::Address address;
  std::string why;
  if (!onvif::ParseAddress(request.url, address, why)) throw std::runtime_error("ImageUrl: " + why);
  {
    ScopedLock<Mutex> hold(lock);
    if (aborted) throw std::runtime_error(Download::kAbortedText);
    if (!opened) download.OpenSession();
    opened = true;
  }
  asking = &request;
  resolved.clear();
  try {
    onvif::Resolver resolver(*this);
    resolved = resolver.Resolve(address);
  } catch (...) {
    asking = nullptr;
    throw;
  }
  asking = nullptr;
  forUrl = request.url;
  stale = false;
  return Found::kResolved;
}

void OnvifSource::Write(const PixelTarget&, int, int, bool) {
  throw std::logic_error("OnvifSource::Write: the resolved URL's source writes the picture");
}

void OnvifSource::Abort() {
  {
    ScopedLock<Mutex> hold(lock);
    aborted = true;
  }
  download.Abort();
}

void OnvifSource::Failed() {
  if (resolved.empty() || reresolved) return;
  stale = true;
  reresolved = true;
}

onvif::Poster::Answer OnvifSource::Post(const std::string& url, const std::string& contentType,
                                        const std::string& body) {
  Download::Body into{answer, 0, std::string()};
  const long status = download.Post(url.c_str(), contentType, body, asking->limits, asking->trust, into);
  return Answer{status, std::string(reinterpret_cast<const char*>(answer.Data()), into.size)};
}

}  // namespace orvella
