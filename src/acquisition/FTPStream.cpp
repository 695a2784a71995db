#include "acquisition/FTPStream.h"

#include "acquisition/transport/TransferClock.h"

namespace orvella {

FTPStream::~FTPStream() {
  download.CloseSession();
}

TransferLimits FTPStream::Limits() const {
  TransferLimits limits;
  limits.connectMs = connectionTimeoutMs;
  limits.answerMs = kAnswerTimeoutMs;
  limits.stallMs = kStallTimeoutMs;
  limits.rateWindowMs = kMinRateWindowMs;
  limits.minWindowBytes = kMinRateBytes;
  return limits;
}

void FTPStream::SetConnectionTimeout(int ms) {
  connectionTimeoutMs = ms > 0 ? ms : kDefaultConnectionTimeoutMs;
}

FTPStream::Got FTPStream::ReadFile(const char* url) {
  Download::Body body{receiveBuffer, 0, std::string()};
  Got got;
  try {
    got = download.Fetch(url, Limits(), tlsTrust, body);
  } catch (...) {
    Clear();  // its buffer may have stayed with a WinInet helper left behind
    throw;
  }
  if (got == Got::kBody) Publish(body.size, body.type);
  return got;
}

}  // namespace orvella
