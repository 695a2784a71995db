// libcurl's handles with their clean-up (Linux: the files that use libcurl).
#pragma once

#include <curl/curl.h>

#include <memory>

namespace orvella {

struct EasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct MultiDeleter {
  void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using MultiHandle = std::unique_ptr<CURLM, MultiDeleter>;

}  // namespace orvella
