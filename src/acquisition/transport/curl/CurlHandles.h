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
struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using MultiHandle = std::unique_ptr<CURLM, MultiDeleter>;
using SlistHandle = std::unique_ptr<curl_slist, SlistDeleter>;

}  // namespace orvella
