// A camera's login and certificate trust on a libcurl handle (Linux), for
// every libcurl connection to a camera: downloads and picture streams.
#pragma once

#include <curl/curl.h>

#include <exception>
#include <string>

#include "acquisition/transport/curl/CurlHandles.h"
#include "acquisition/transport/HttpLogin.h"
#include "acquisition/transport/TlsTrust.h"

namespace orvella {

// The URL without its user info, the credentials apart from it (libcurl
// answers Basic and Digest challenges and, with both allowed, never sends
// Basic before a server asked for it), and the certificate check `trust`
// asks for.
void SetLoginAndTrust(CURL* easy, const UrlLogin& login, const TlsTrust& trust);

// From the pre-request callback (CURLOPT_PREREQFUNCTION), which libcurl calls
// before every request, redirected ones included: false, with the reason in
// `refusal`, when `login` carries credentials and the request would go to
// another origin. The caller then aborts the transfer before it goes out.
bool MayRequest(CURL* easy, const UrlLogin& login, std::exception_ptr& refusal);

// The transfer ended because the server's certificate was not trusted.
bool IsCertificateRefusal(CURLcode result);

// A bare handshake with `login`'s server that checks nothing and sends
// nothing, to learn the key of a server whose certificate was refused.
// The caller drives it (it may be cut short like any transfer) and then
// asks KeyPinOf.
EasyHandle NewKeyProbe(const UrlLogin& login, long connectMs);
// The server's key as TlsTrust takes it ("sha256//…"), from the certificate
// a finished probe saw; "" when there was none.
std::string KeyPinOf(CURL* probe);

}  // namespace orvella
