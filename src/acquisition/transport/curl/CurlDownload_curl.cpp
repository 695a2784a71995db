// Downloads on libcurl. One transfer (easy and multi handle) is kept from
// one download to the next: the multi handle's connection cache keeps HTTP
// connections (and FTP logins) alive, and the easy handle keeps a Digest
// login's nonce (one request per picture once logged in). A transfer that
// learnt a login is replaced when the URL's origin or credentials change,
// so nothing learnt from one server reaches another.
//
// The worker drives the transfer itself (multi perform + poll), so it can
// watch the clock and Abort, which wakes the poll from any thread. A picture
// stream's answer stops the download at its headers and the running transfer
// is handed over (TakeAnswer); the next download makes a new one. A call
// (Post) runs on the same transfer, so it shares its connection and login.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <stdexcept>

#include "acquisition/transport/Download.h"
#include "acquisition/transport/TransferClock.h"
#include "acquisition/transport/curl/CurlTransfer.h"
#include "driver/Errors.h"
#include "driver/Mutex.h"

namespace orvella {

struct Download::Impl final : CurlTransfer::Receiver {
  // Guards the transfer's lifetime against Abort and IsSessionOpen on other
  // threads; the owner's own calls never overlap (see Download.h).
  mutable Mutex lock;
  std::unique_ptr<CurlTransfer> transfer ORVELLA_GUARDED_BY(lock);
  bool open ORVELLA_GUARDED_BY(lock) = false;
  std::atomic<bool> aborted{false};

  // The download in progress: the worker's alone, written by the callbacks,
  // which run on the thread in Fetch.
  std::string url;  // the last URL downloaded, and its login
  UrlLogin login;
  TransferClock clock;
  CurlTransfer* running = nullptr;  // `transfer`, while Fetch drives it
  ReceiveBuffer* buffer = nullptr;
  int fill = 0;
  bool stream = false;   // the answer is a picture stream
  bool posting = false;  // the request is a POST
  long status = 0;       // the final answer's
  std::unique_ptr<CurlOpenAnswer> handed;

  enum class Stop { kDone, kStream, kAborted, kTimedOut };

  void RequestSent() override { clock.RequestSent(); }
  void HeaderArrived() override { clock.Progress(fill); }

  void Answered(const AnswerHeaders& answer) override {
    if (posting ? IsPostRefusal(answer.status) : IsRefusal(answer.status))
      ThrowRefusal(answer.status, login.hasCredentials, answer.RefusalText());
    // A picture stream never ends: it is read as a stream, not downloaded.
    if (!posting && answer.status != 0 && IsPictureStreamType(answer.contentType)) {
      stream = true;
      handed = std::make_unique<CurlOpenAnswer>();  // only then: a snapshot allocates nothing
      return;
    }
    curl_off_t announced = -1;  // the header's, or an ftp file's size
    if (running && curl_easy_getinfo(running->Easy(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) == CURLE_OK &&
        announced > (posting ? kMaxPostAnswerBytes : kMaxBodyBytes))
      throw std::runtime_error(posting ? kPostTooLargeText : kTooLargeText);
  }

  void Received(const char* data, size_t length) override {
    if (stream) {
      handed->early.append(data, length);  // the stream's first bytes
      return;
    }
    if (posting && length > static_cast<size_t>(kMaxPostAnswerBytes - fill))
      throw std::runtime_error(kPostTooLargeText);
    size_t done = 0;
    while (done < length) {
      buffer->MakeRoom(fill);
      const size_t chunk = std::min(static_cast<size_t>(buffer->Capacity() - fill), length - done);
      std::memcpy(buffer->At(fill), data + done, chunk);
      fill += static_cast<int>(chunk);
      done += chunk;
    }
    clock.Progress(fill);
  }

  // The transfer for `next`: the kept one, unless another origin or other
  // credentials make a fresh one (a camera's URL rarely changes: nothing is
  // allocated per picture).
  CurlTransfer* TransferFor(const char* next) ORVELLA_EXCLUDES(lock) {
    ScopedLock<Mutex> hold(lock);
    if (!open) return nullptr;
    if (url != next) {
      UrlLogin taken = SplitLogin(next);
      if (taken.origin != login.origin || taken.user != login.user || taken.password != login.password)
        transfer.reset();
      url = next;
      login = std::move(taken);
    }
    if (!transfer) transfer = std::make_unique<CurlTransfer>();
    return transfer.get();
  }

  // Runs the transfer until libcurl is done with it, the answer turns out a
  // stream, Abort, or the clock's verdict.
  Stop Drive(CurlTransfer& t, CURLcode& result) {
    for (;;) {
      if (t.Perform(result)) return Stop::kDone;
      if (stream && !t.Failed()) return Stop::kStream;
      if (aborted) return Stop::kAborted;
      if (clock.Check() != TransferClock::Verdict::KeepGoing) return Stop::kTimedOut;
      // Slices of at most a second: curl's own timers want a perform now and then.
      t.Poll(std::min<long>(static_cast<long>(clock.NextWait().count()), 1000L));
    }
  }

  // The key of a server whose certificate was refused, by a bare handshake
  // bounded and abortable like a download.
  std::string ProbeKey(CurlTransfer& t, const TransferLimits& limits) {
    clock.Start(limits);
    return t.ProbeKey([this]() -> long {
      if (aborted || clock.Check() != TransferClock::Verdict::KeepGoing) return -1;
      return std::min<long>(static_cast<long>(clock.NextWait().count()), 1000L);
    });
  }

  void HandOver() ORVELLA_EXCLUDES(lock) {
    ScopedLock<Mutex> hold(lock);
    handed->transfer = std::move(transfer);
  }

  // One request on the kept transfer, up to a picture stream's headers or
  // the end of the answer; raises on every failure. True for a stream.
  bool Run(const char* next, const TransferLimits& limits, const TlsTrust& trust, Body& body,
           const CurlTransfer::PostData* post);
};

bool Download::Impl::Run(const char* next, const TransferLimits& limits, const TlsTrust& trust, Body& body,
                         const CurlTransfer::PostData* post) {
  handed.reset();
  CurlTransfer* t = TransferFor(next);
  if (!t) throw std::runtime_error(kNoSessionText);
  if (aborted) throw std::runtime_error(kAbortedText);

  running = t;
  buffer = &body.buffer;
  fill = 0;
  stream = false;
  posting = post != nullptr;
  clock.Start(limits);
  // A backstop only: the clock bounds connecting and the handshake, and
  // speaks first with its own words.
  t->Start(login, trust, static_cast<long>(limits.connectMs) + 1000L, *this, post);
  CURLcode result = CURLE_OK;
  const Stop stop = Drive(*t, result);
  buffer = nullptr;
  running = nullptr;
  // A stream whose connection ended with its headers is handed over too:
  // its reader then finds the end.
  if (stop == Stop::kStream || (stop == Stop::kDone && stream && !t->Failed())) {
    HandOver();
    return true;
  }
  handed.reset();
  // Detached mid-transfer, curl closes that connection; a finished one goes
  // back to the cache for the next download.
  t->Stop();
  if (stop == Stop::kAborted) throw std::runtime_error(kAbortedText);
  if (stop == Stop::kTimedOut && !t->Failed())
    throw Win32Exception(CURLE_OPERATION_TIMEDOUT, Win32Exception::Kind::Internet, clock.Reason());
  // Passed by reference: std::function keeps a reference_wrapper in its own
  // storage, so no allocation per picture.
  const auto probeKey = [&] { return ProbeKey(*t, limits); };
  t->Judge(result, std::cref(probeKey));
  body.buffer.MakeRoom(fill);  // the final empty read of the download loop
  body.size = static_cast<uint32_t>(fill);
  char* type = nullptr;  // the final answer's; none for ftp
  curl_easy_getinfo(t->Easy(), CURLINFO_CONTENT_TYPE, &type);
  body.type = type ? type : "";
  status = t->Answer().status;
  return false;
}

Download::Download() : impl(std::make_unique<Impl>()) {}

Download::~Download() = default;

void Download::OpenSession() {
  ScopedLock<Mutex> hold(impl->lock);
  impl->aborted = false;
  if (impl->open) return;
  impl->transfer = std::make_unique<CurlTransfer>();
  impl->open = true;
  impl->url.clear();
}

void Download::CloseSession() {
  ScopedLock<Mutex> hold(impl->lock);
  impl->transfer.reset();
  impl->open = false;
}

bool Download::IsSessionOpen() const {
  ScopedLock<Mutex> hold(impl->lock);
  return impl->open && !impl->aborted;
}

void Download::Abort() {
  impl->aborted = true;
  ScopedLock<Mutex> hold(impl->lock);
  if (impl->transfer) impl->transfer->Wake();  // ends a poll in progress at once
}

Download::Got Download::Fetch(const char* url, const TransferLimits& limits, const TlsTrust& trust, Body& body) {
  return impl->Run(url, limits, trust, body, nullptr) ? Got::kPictureStream : Got::kBody;
}

long Download::Post(const char* url, const std::string& contentType, const std::string& body,
                    const TransferLimits& limits, const TlsTrust& trust, Body& into) {
  RefusePost(url, contentType);
  const CurlTransfer::PostData post{contentType, body};
  impl->Run(url, limits, trust, into, &post);
  return impl->status;
}

std::unique_ptr<OpenAnswer> Download::TakeAnswer() {
  return std::move(impl->handed);
}

}  // namespace orvella
