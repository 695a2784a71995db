// An ONVIF camera by its address (onvif://): resolved to its profile's
// snapshot or stream URI, which the source table then reads as it reads any
// camera's URL, with every rule that URL has (trust, logins, limits,
// reasons). Resolved in the worker, once per open, and again when the
// resolved URL fails (once per failing run): cameras change address or URI
// after a firmware update or DHCP.
//
// Thread safety: as PictureSource (Abort from any thread).
#pragma once

#include <string>

#include "acquisition/source/PictureSource.h"
#include "acquisition/source/onvif/OnvifResolver.h"
#include "acquisition/transport/Download.h"
#include "driver/Mutex.h"

namespace orvella {

class OnvifSource final : public PictureSource, private onvif::Poster {
 public:
  bool Serves(const std::string& url) const override { return url.rfind("onvif://", 0) == 0; }
  Found Next(const Request& request) override;
  // The table reads the resolved URL: this source never keeps a picture.
  void Write(const PixelTarget&, int, int, bool) override;
  void Abort() override ORVELLA_EXCLUDES(lock);
  void Failed() override;
  void Delivered() override { reresolved = false; }
  const std::string& ResolvedUrl() const override { return resolved; }

 private:
  Answer Post(const std::string& url, const std::string& contentType, const std::string& body) override;

  Download download;  // the SOAP calls' own session
  ReceiveBuffer answer;
  const Request* asking = nullptr;  // the request being resolved: its limits and trust
  std::string forUrl, resolved;     // the worker's
  bool stale = false;               // resolve again at the next cycle
  bool reresolved = false;          // done once in this failing run

  Mutex lock;  // opening the session against Abort
  bool opened ORVELLA_GUARDED_BY(lock) = false;
  bool aborted ORVELLA_GUARDED_BY(lock) = false;
};

}  // namespace orvella
