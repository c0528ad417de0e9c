// A call to the scheduler, run on a thread of its own so that its caller
// waits no longer than the call's limit, whatever happens inside libcups: a
// name lookup, a TLS handshake, a server that never stops talking. At the
// limit the call is cut: the socket it watches is shut down, so that every
// wait and read on it ends at once, and a connect in progress is cancelled;
// what runs on no watched socket then ends on its own, later.
#ifndef PRINTER_PROBE_CALL_LIMIT_H_
#define PRINTER_PROBE_CALL_LIMIT_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "winspool-cups.h"

class BoundedCall {
 public:
  BoundedCall() = default;
  virtual ~BoundedCall();
  BoundedCall(const BoundedCall&) = delete;
  BoundedCall& operator=(const BoundedCall&) = delete;

  // Runs call->Work() on a thread of its own and waits for it, at most for
  // limit. Returns 0 when it ended in time, and what it left is the
  // caller's. Otherwise the call was cut and what it leaves is its own: the
  // code says why, ERROR_TIMEOUT when it ran out of time, RPC_S_CALL_FAILED
  // when its TCP socket received more than maximumBytes, and
  // ERROR_NO_SYSTEM_RESOURCES when no thread could be started for it.
  static DWORD Run(const std::shared_ptr<BoundedCall>& call, std::chrono::milliseconds limit, uint64_t maximumBytes);

 protected:
  // For Work, on the call's thread: fd is the socket that a cut shuts down.
  // The call keeps a duplicate of it, so the cut reaches that socket and no
  // other, whatever becomes of fd in the meantime. False when no duplicate
  // could be had, and the call could not be cut.
  bool Watch(int fd);
  void Unwatch();
  bool WasCut();
  // For httpReconnect2, which gives up connecting once it is set. libcups
  // reads it without a lock, as its interface has it.
  int* cancel() { return &cancel_; }

 private:
  // Does the call's work, catching whatever it throws.
  virtual void Work() = 0;
  void Finish();
  void CutLocked();
  uint64_t ReceivedLocked() const;

  std::mutex mutex_;
  std::condition_variable changed_;
  bool finished_ = false;
  bool cut_ = false;
  int cancel_ = 0;
  int watched_ = -1;
  bool tcp_ = false;
  uint64_t receivedBefore_ = 0;
};

#endif  // PRINTER_PROBE_CALL_LIMIT_H_
