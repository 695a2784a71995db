#include "acquisition/source/rtsp/RtspResolver.h"

#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

#include "driver/Mutex.h"

namespace orvella {

namespace {

// Shared by the waiting caller and the helper, which may outlive the wait.
struct Lookup {
  Mutex lock;
  bool finished ORVELLA_GUARDED_BY(lock) = false;
  std::string address ORVELLA_GUARDED_BY(lock);
  std::string error ORVELLA_GUARDED_BY(lock);
};

void Resolve(const std::shared_ptr<Lookup>& lookup, const std::string& host) {
  std::string reason;
  const std::vector<std::string> found = rtsp_resolver::LookUp(host, reason);
  std::string address, error;
  for (const std::string& a : found)
    if (address.empty() && a[0] != '[') address = a;
  if (address.empty() && !found.empty()) address = found.front();
  if (address.empty()) error = "cannot resolve " + host + ": " + (reason.empty() ? "no address" : reason);
  {
    MutexLock guard(lookup->lock);
    lookup->finished = true;
    lookup->address = address;
    lookup->error = error;
  }
}

// An IPv6 literal, or an IPv4 one: four dotted numbers up to 255.
bool IsNumeric(const std::string& host) {
  if (host.empty() || host[0] == '[') return true;
  int parts = 0, digits = 0, value = 0;
  for (char c : host + ".") {
    if (c == '.') {
      if (digits == 0 || value > 255) return false;
      ++parts;
      digits = value = 0;
    } else if (c >= '0' && c <= '9' && digits < 3) {
      value = value * 10 + (c - '0');
      ++digits;
    } else {
      return false;
    }
  }
  return parts == 4;
}

}  // namespace

std::string ResolveUrlHost(const std::string& url, const std::function<bool()>& giveUp) {
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos || url.compare(0, scheme, "rtsp") != 0) return url;
  const size_t start = scheme + 3;
  const size_t end = url.find_first_of("/?#", start);
  const std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
  const size_t at = authority.rfind('@');
  const size_t hostStart = at == std::string::npos ? 0 : at + 1;
  const size_t colon = authority.find(':', hostStart);
  const std::string host = authority.substr(hostStart, colon == std::string::npos ? std::string::npos : colon - hostStart);
  if (IsNumeric(host)) return url;

  auto lookup = std::make_shared<Lookup>();
  std::thread(Resolve, lookup, host).detach();
  // Polled, not waited for on a condition variable: mingw's winpthreads was
  // seen to hang a timed wait for good when a helper thread notified it and
  // ended at once. A lookup happens once per connection.
  std::string address;
  for (;;) {
    {
      MutexLock guard(lookup->lock);
      if (lookup->finished) {
        if (!lookup->error.empty()) throw std::runtime_error(lookup->error);
        address = lookup->address;
        break;
      }
    }
    if (giveUp()) return "";
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return url.substr(0, start + hostStart) + address + url.substr(start + hostStart + host.size());
}

}  // namespace orvella
