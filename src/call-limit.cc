#include "call-limit.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <system_error>
#include <thread>

#ifdef __linux__
#include <linux/tcp.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;
// How often the bytes a TCP socket has received are counted while a call
// runs, and how long a cut call is given to wind down before it is left to
// end on its own.
const auto kCountEvery = std::chrono::milliseconds(10);
const auto kWindDown = std::chrono::milliseconds(250);

bool IsTcp(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  return getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
         (address.ss_family == AF_INET || address.ss_family == AF_INET6);
}

// What a TCP socket has received, as the kernel counts it: over TLS the
// layer cannot see what libcups reads, and libcups keeps every header line
// it is sent. Where the kernel does not count, nothing is counted.
uint64_t BytesReceived(int fd) {
#ifdef __linux__
  tcp_info info{};
  socklen_t length = sizeof info;
  const size_t needed = offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received;
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 && length >= needed) return info.tcpi_bytes_received;
#else
  (void)fd;
#endif
  return 0;
}

}  // namespace

BoundedCall::~BoundedCall() {
  if (watched_ >= 0) close(watched_);
}

DWORD BoundedCall::Run(const std::shared_ptr<BoundedCall>& call, std::chrono::milliseconds limit,
                       uint64_t maximumBytes) {
  const auto deadline = Clock::now() + limit;
  std::thread thread;
  try {
    thread = std::thread([call] {
      call->Work();
      call->Finish();
    });
  } catch (const std::system_error&) {
    return ERROR_NO_SYSTEM_RESOURCES;
  }

  std::unique_lock<std::mutex> lock(call->mutex_);
  DWORD cut = 0;
  while (!call->finished_) {
    call->changed_.wait_until(lock, call->tcp_ ? std::min(deadline, Clock::now() + kCountEvery) : deadline);
    if (call->finished_) break;
    if (Clock::now() >= deadline) {
      cut = ERROR_TIMEOUT;
      break;
    }
    if (call->ReceivedLocked() > maximumBytes) {
      cut = RPC_S_CALL_FAILED;
      break;
    }
  }
  if (cut) {
    call->CutLocked();
    call->changed_.wait_for(lock, kWindDown, [&call] { return call->finished_; });
  }
  const bool finished = call->finished_;
  lock.unlock();
  if (finished)
    thread.join();
  else
    thread.detach();  // it holds the call, and lets go of it when it ends
  return cut;
}

bool BoundedCall::Watch(int fd) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (watched_ >= 0) close(watched_);
  watched_ = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  tcp_ = watched_ >= 0 && IsTcp(watched_);
  receivedBefore_ = tcp_ ? BytesReceived(watched_) : 0;
  if (cut_ && watched_ >= 0) shutdown(watched_, SHUT_RDWR);
  changed_.notify_all();  // the caller counts what a TCP socket receives
  return watched_ >= 0;
}

void BoundedCall::Unwatch() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (watched_ >= 0) close(watched_);
  watched_ = -1;
  tcp_ = false;
}

bool BoundedCall::WasCut() {
  std::lock_guard<std::mutex> lock(mutex_);
  return cut_;
}

void BoundedCall::Finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  finished_ = true;
  changed_.notify_all();
}

void BoundedCall::CutLocked() {
  cut_ = true;
  cancel_ = 1;
  if (watched_ >= 0) shutdown(watched_, SHUT_RDWR);
}

uint64_t BoundedCall::ReceivedLocked() const {
  const uint64_t now = tcp_ ? BytesReceived(watched_) : 0;
  return now > receivedBefore_ ? now - receivedBefore_ : 0;
}
