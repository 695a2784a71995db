// Picture streams on libcurl, read on the reader's thread by driving the
// transfer (multi perform and poll), whose poll the waker ends from any
// thread. The transfer is the one a download handed over, or a new one set
// up the same way (CurlTransfer: logins, redirects, trust).
#include <memory>
#include <string>

#include "acquisition/transport/StreamReading.h"
#include "acquisition/transport/TransferClock.h"
#include "acquisition/transport/curl/CurlTransfer.h"

namespace orvella {

namespace {
struct StreamReceiver final : CurlTransfer::Receiver {
  StreamReceiver(StreamSink& s, bool withLogin) : sink(s), withLogin(withLogin) {}

  void Answered(const AnswerHeaders& answer) override {
    if (IsRefusal(answer.status)) ThrowRefusal(answer.status, withLogin, answer.RefusalText());
    sink.Answered(answer.status, answer.contentType);
  }
  void Received(const char* data, size_t size) override { sink.Received(data, size); }

  StreamSink& sink;
  const bool withLogin;
};

// Runs the transfer until libcurl is done with it (true, its result in
// `result`) or the sink says stop (false).
bool Drive(CurlTransfer& t, StreamSink& sink, CURLcode& result) {
  StreamSink::Plan plan{};
  while (sink.KeepGoing(plan)) {
    if (t.Perform(result)) return true;
    if (t.Pending()) continue;  // a perform reads one buffer: read on while there is more
    if (plan.rest) {
      sink.Rest(plan.wait);
    } else {
      sink.Waiting(true);
      t.Poll(static_cast<long>(plan.wait.count()));
      sink.Waiting(false);
    }
  }
  return false;
}
}  // namespace

void ReadStream(StreamSink& sink, const std::string& url, std::unique_ptr<OpenAnswer> given) {
  std::unique_ptr<CurlTransfer> transfer;
  std::string early;
  if (given) {
    auto& handed = static_cast<CurlOpenAnswer&>(*given);
    transfer = std::move(handed.transfer);
    early = std::move(handed.early);
  }
  const bool fresh = !transfer;
  if (fresh) transfer = std::make_unique<CurlTransfer>();
  CurlTransfer& t = *transfer;
  StreamReceiver receiver(sink, fresh ? SplitLogin(url).hasCredentials : t.Login().hasCredentials);
  // Gone before the transfer: no waker may touch it afterwards.
  struct Waker {
    StreamSink& sink;
    ~Waker() { sink.SetWaker(nullptr); }
  } waker{sink};
  sink.SetWaker([&t] { t.Wake(); });
  if (fresh) {
    t.Start(SplitLogin(url), sink.Trust(), static_cast<long>(sink.Limits().connectMs), receiver);
  } else {
    t.Redirect(receiver);
    receiver.Answered(t.Answer());
    if (!early.empty()) receiver.Received(early.data(), early.size());
  }

  CURLcode result = CURLE_OK;
  const bool done = Drive(t, sink, result);
  if (!done && !t.Failed()) return;  // told to stop
  t.Judge(result, [&] {
    return t.ProbeKey([&sink]() -> long {
      StreamSink::Plan plan{};
      return sink.KeepGoing(plan) ? static_cast<long>(plan.wait.count()) : -1;
    });
  });
}

}  // namespace orvella
