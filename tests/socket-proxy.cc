#include "socket-proxy.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace {

sockaddr_un Address(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  return address;
}

bool Send(int to, const char* chunk, ssize_t got) {
  for (ssize_t sent = 0; sent < got;) {
    const ssize_t wrote = write(to, chunk + sent, static_cast<size_t>(got - sent));
    if (wrote <= 0) return false;
    sent += wrote;
  }
  return true;
}

bool Pass(int from, int to) {
  char chunk[8192];
  const ssize_t got = read(from, chunk, sizeof chunk);
  return got > 0 && Send(to, chunk, got);
}

}  // namespace

int ListenOnUnixSocket(const std::string& path) {
  unlink(path.c_str());
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_un address = Address(path);
  if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || listen(listener, 16) != 0) {
    close(listener);
    return -1;
  }
  return listener;
}

SocketProxy::SocketProxy(const std::string& path, const std::string& upstream, int forwarded, After after)
    : path_(path), upstream_(upstream), forwarded_(forwarded), after_(after), listener_(ListenOnUnixSocket(path)) {
  if (listener_ >= 0) server_ = std::thread(&SocketProxy::Serve, this);
}

SocketProxy::~SocketProxy() {
  stop_ = true;
  if (server_.joinable()) server_.join();
  for (std::thread& forwarder : forwarders_) forwarder.join();
  if (listener_ >= 0) close(listener_);
  unlink(path_.c_str());
}

void SocketProxy::Serve() {
  while (!stop_) {
    if (gone_) {
      // The path stays, with nobody listening behind it: connect() is refused.
      close(listener_);
      listener_ = -1;
      return;
    }
    pollfd fd = {listener_, POLLIN, 0};
    if (poll(&fd, 1, 50) <= 0) continue;
    const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client >= 0) forwarders_.emplace_back(&SocketProxy::Forward, this, client);
  }
}

// Each request begins a read of its own, since a client sends the next one
// only once it has the answer to the last: a read that begins "POST " is one.
void SocketProxy::Forward(int client) {
  const int server = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_un address = Address(upstream_);
  bool holding = false;
  if (connect(server, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    while (!stop_) {
      if (poll(fds, 2, 50) <= 0) continue;
      if (fds[0].revents & (POLLIN | POLLHUP)) {
        char chunk[8192];
        const ssize_t got = read(client, chunk, sizeof chunk);
        if (got <= 0) break;
        if (!holding && got >= 5 && memcmp(chunk, "POST ", 5) == 0 && ++requests_ > forwarded_) {
          if (after_ == After::kRefuse) {
            gone_ = true;
            break;
          }
          holding = true;
          fds[1].fd = -1;  // nothing more goes either way
        }
        if (!holding && !Send(server, chunk, got)) break;
      }
      if (!holding && (fds[1].revents & (POLLIN | POLLHUP)) && !Pass(server, client)) break;
    }
  }
  close(server);
  close(client);
}
