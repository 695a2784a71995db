// What both libraries' downloads share.
#include "acquisition/transport/Download.h"

#include <stdexcept>

#include "acquisition/transport/Url.h"

namespace orvella {

void Download::RefusePost(const char* url, const std::string& contentType) {
  if (!IsHttpUrl(url)) throw std::runtime_error(kPostSchemeText);
  if (contentType.find_first_of("\r\n") != std::string::npos)
    throw std::invalid_argument("Content-Type with a line break");
}

}  // namespace orvella
