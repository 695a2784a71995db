#include <cstring>
#include <stdexcept>

#include "acquisition/transport/curl/CurlLogin.h"

namespace orvella {

void SetLoginAndTrust(CURL* easy, const UrlLogin& login, const TlsTrust& trust) {
  curl_easy_setopt(easy, CURLOPT_URL, login.url.c_str());
  curl_easy_setopt(easy, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC | CURLAUTH_DIGEST));
  curl_easy_setopt(easy, CURLOPT_USERNAME, login.hasCredentials ? login.user.c_str() : nullptr);
  curl_easy_setopt(easy, CURLOPT_PASSWORD, login.hasCredentials ? login.password.c_str() : nullptr);
  const bool checked = trust.mode == TlsTrust::Mode::System;
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, checked ? 1L : 0L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, checked ? 2L : 0L);
  curl_easy_setopt(easy, CURLOPT_PINNEDPUBLICKEY, trust.mode == TlsTrust::Mode::Pin ? trust.pins.c_str() : nullptr);
}

bool MayRequest(CURL* easy, const UrlLogin& login, std::exception_ptr& refusal) {
  if (!login.hasCredentials) return true;
  char* url = nullptr;
  if (curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &url) != CURLE_OK || !url || SameOrigin(login, url)) return true;
  refusal = std::make_exception_ptr(std::runtime_error(RedirectRefusalText(url)));
  return false;
}

bool IsCertificateRefusal(CURLcode result) {
  return result == CURLE_PEER_FAILED_VERIFICATION || result == CURLE_SSL_PINNEDPUBKEYNOTMATCH;
}

EasyHandle NewKeyProbe(const UrlLogin& login, long connectMs) {
  EasyHandle probe(curl_easy_init());
  if (!probe) return probe;
  CURL* h = probe.get();
  curl_easy_setopt(h, CURLOPT_URL, login.url.c_str());
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECT_ONLY, 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
  curl_easy_setopt(h, CURLOPT_CERTINFO, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, connectMs);
  return probe;
}

std::string KeyPinOf(CURL* probe) {
  struct curl_certinfo* info = nullptr;
  if (curl_easy_getinfo(probe, CURLINFO_CERTINFO, &info) != CURLE_OK || !info || info->num_of_certs < 1) return "";
  for (curl_slist* item = info->certinfo[0]; item; item = item->next)
    if (std::strncmp(item->data, "Cert:", 5) == 0) return KeyPinOfPem(item->data + 5);
  return "";
}

}  // namespace orvella
