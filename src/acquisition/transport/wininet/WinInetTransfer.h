// One WinInet download or call (a GET or a POST), shared by the worker that
// waits for it (WinInetDownload_wininet.cpp, which says why a helper thread
// makes the calls) and the helper thread that makes them
// (WinInetTransfer_wininet.cpp). Windows product only.
//
// Thread safety: the fields under `lock` are shared; the others belong to
// the helper from Run until `finished`, then to the worker again.
#pragma once

#include <windows.h>

#include <exception>
#include <memory>
#include <string>

#include "acquisition/transport/ReceiveBuffer.h"
#include "acquisition/transport/TransferClock.h"
#include "acquisition/transport/wininet/WinInetSession.h"
#include "driver/Mutex.h"
#include "driver/WinLock.h"

namespace orvella {

struct WinInetTransfer final : RequestContext {
  WinInetTransfer(HINTERNET session, const char* url, const TransferLimits& limits, DWORD backstopMs)
      : RequestContext(backstopMs), session(session), url(url) {
    clock.Start(limits);
  }

  const HINTERNET session;
  const std::string url;

  WinLock lock;  // hands over on every picture: Windows' own (driver/WinLock.h)
  CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
  TransferClock clock ORVELLA_GUARDED_BY(lock);  // fed by the helper, asked by the worker
  bool finished ORVELLA_GUARDED_BY(lock) = false;
  bool closed ORVELLA_GUARDED_BY(lock) = false;     // the helper has closed its URL handle
  bool cancelled ORVELLA_GUARDED_BY(lock) = false;  // the worker gave up
  std::exception_ptr error ORVELLA_GUARDED_BY(lock);
  int fill ORVELLA_GUARDED_BY(lock) = 0;

  // The helper's until `finished`, then the worker's again.
  ReceiveBuffer buffer;
  std::string contentType;              // the final answer's, "" for none
  long status = 0;                      // the final answer's, 0 for ftp
  bool stream = false;                  // a picture stream: `request` stays open
  std::shared_ptr<WinInetLogin> login;  // the session's, set before the helper starts
  // A POST's body, set before the helper starts; none for a GET.
  std::unique_ptr<WinInetLogin::PostData> post;
  InternetHandle request;  // a picture stream's request, handed over

  // No wake-up: the worker asks the clock at its own deadlines, and a wake-up
  // per chunk cost more than the chunk under Wine.
  void Report(int bytes) ORVELLA_EXCLUDES(lock) {
    ScopedLock<WinLock> hold(lock);
    clock.Progress(bytes);
    fill = bytes;
  }

  // A request goes out (status callback): its answer is awaited afresh.
  void Sent() override ORVELLA_EXCLUDES(lock) {
    ScopedLock<WinLock> hold(lock);
    clock.RequestSent();
  }

  bool Cancelled() ORVELLA_EXCLUDES(lock) {
    ScopedLock<WinLock> hold(lock);
    return cancelled;
  }

  // On the helper: the whole download, then the hand-back (`finished`, and
  // `closed` once its handles are closed).
  void Run() ORVELLA_EXCLUDES(lock);

 private:
  // Open, status check, availability, read loop; `handle` keeps the request
  // for Run to close.
  void Receive(InternetHandle& handle);
};

}  // namespace orvella
