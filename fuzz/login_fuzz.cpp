// What a camera hands a login: the headers of its answers (status lines,
// challenges, content type and length) and the Location of a redirect. No input crashes, and a
// redirect within the origin, opened as the origin and target we read, leads
// to that same origin (the WinInet product follows such redirects itself).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "FuzzCheck.h"
#include "acquisition/transport/HttpLogin.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string base = input.ConsumeRandomLengthString(256);
  const std::string location = input.ConsumeRandomLengthString(256);
  const std::string headers = input.ConsumeRemainingBytesAsString();

  const orvella::UrlLogin login = orvella::SplitLogin(base);
  const std::string target = orvella::ResolveLocation(base, location);
  if (orvella::SameOrigin(login, target)) {
    const orvella::UrlLogin next = orvella::SplitLogin(target);
    Check(orvella::SplitLogin(next.origin + next.target).origin == login.origin);
  }
  orvella::RedirectRefusalText(target);

  orvella::AnswerHeaders answer;
  for (size_t at = 0; at < headers.size();) {
    size_t end = headers.find('\n', at);
    if (end == std::string::npos) end = headers.size();
    answer.Feed(headers.data() + at, end - at);
    at = end + 1;
  }
  answer.RefusalText();
  Check(answer.contentLength >= -1);
  if (orvella::IsPictureStreamType(answer.contentType)) orvella::BoundaryOf(answer.contentType);
  orvella::LoginState state([] { return std::string("0a4f113b"); });
  state.Begin(login);
  state.Challenged(answer.challenges, false);
  state.Authorization("GET", false);
  return 0;
}
