// Test support: a Unix socket that stands between a client and a scheduler,
// passes on a number of requests and then fails the ones after them.
#ifndef PRINTER_PROBE_TESTS_SOCKET_PROXY_H_
#define PRINTER_PROBE_TESTS_SOCKET_PROXY_H_

#include <atomic>
#include <string>
#include <thread>
#include <vector>

// A listening Unix socket at path (replacing any file there), or -1.
int ListenOnUnixSocket(const std::string& path);

class SocketProxy {
 public:
  enum class After {
    kRefuse,  // close the connection at the next request, and refuse later connections
    kHold,    // take the next requests in and never answer them
  };
  // Listens at path and forwards the first `forwarded` requests to upstream,
  // on whatever connections they come.
  SocketProxy(const std::string& path, const std::string& upstream, int forwarded, After after);
  ~SocketProxy();
  SocketProxy(const SocketProxy&) = delete;
  SocketProxy& operator=(const SocketProxy&) = delete;

  bool listening() const { return listener_ >= 0; }

 private:
  void Serve();
  void Forward(int client);

  std::string path_, upstream_;
  int forwarded_;
  After after_;
  int listener_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<bool> gone_{false};
  std::atomic<int> requests_{0};
  std::thread server_;
  std::vector<std::thread> forwarders_;
};

#endif  // PRINTER_PROBE_TESTS_SOCKET_PROXY_H_
