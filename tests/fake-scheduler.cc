#include "fake-scheduler.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "socket-proxy.h"

namespace {

std::string Attribute(char tag, const std::string& name, const std::string& value) {
  std::string bytes(1, tag);
  bytes += {static_cast<char>(name.size() >> 8), static_cast<char>(name.size() & 0xFF)};
  bytes += name;
  bytes += {static_cast<char>(value.size() >> 8), static_cast<char>(value.size() & 0xFF)};
  return bytes + value;
}

// An IPP answer, without its end tag.
std::string IppHead() {
  return std::string("\x02\x00\x00\x00\x00\x00\x00\x01\x01", 9) + Attribute('\x47', "attributes-charset", "utf-8") +
         Attribute('\x48', "attributes-natural-language", "en");
}

std::string Printer(const std::string& name) {
  return "\x04" + Attribute('\x42', "printer-name", name) +
         Attribute('\x23', "printer-type", std::string("\x00\x00\x00\x00", 4));
}

std::string GoodAnswer() {
  return IppHead() + Printer("p0") + Printer("p1") + Printer("p2") + "\x03";
}

std::string HttpOk(const std::string& type, size_t length) {
  return "HTTP/1.1 200 OK\r\nContent-Type: " + type + "\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
}

bool Send(int fd, const std::string& bytes) {
  return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

// Takes the request in: everything that comes until the client pauses.
void Drain(int fd) {
  char chunk[4096];
  for (;;) {
    pollfd in = {fd, POLLIN, 0};
    if (poll(&in, 1, 100) <= 0 || recv(fd, chunk, sizeof chunk, 0) <= 0) return;
  }
}

}  // namespace

FakeScheduler::FakeScheduler(const std::string& path, Answer answer)
    : path_(path), answer_(answer), listener_(ListenOnUnixSocket(path)) {
  if (listener_ >= 0) server_ = std::thread(&FakeScheduler::Serve, this);
}

FakeScheduler::~FakeScheduler() {
  stop_ = true;
  if (server_.joinable()) server_.join();
  for (std::thread& client : clients_) client.join();
  if (listener_ >= 0) close(listener_);
  unlink(path_.c_str());
}

void FakeScheduler::Serve() {
  while (!stop_) {
    pollfd fd = {listener_, POLLIN, 0};
    if (poll(&fd, 1, 50) <= 0) continue;
    const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client >= 0)
      clients_.emplace_back([this, client] {
        Respond(client);
        close(client);
      });
  }
}

void FakeScheduler::Respond(int client) const {
  Drain(client);
  const std::string good = GoodAnswer();
  switch (answer_) {
    case Answer::kWithoutContinue:
      Send(client, HttpOk("application/ipp", good.size()) + good);
      break;
    case Answer::kEndlessContinue:
      while (!stop_ && Send(client, "HTTP/1.1 100 Continue\r\n\r\n"))
        std::this_thread::sleep_for(std::chrono::seconds(1));
      return;
    case Answer::kTrickle:
      Send(client, HttpOk("application/ipp", good.size()));
      for (char byte : good) {
        if (stop_ || !Send(client, std::string(1, byte))) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
      }
      break;
    case Answer::kNotIpp:
      Send(client, HttpOk("text/html", 17) + "<html>no</html>\r\n");
      break;
    case Answer::kTruncated:
      Send(client, HttpOk("application/ipp", good.size()) + good.substr(0, 40));
      break;
    case Answer::kEndless: {
      Send(client, "HTTP/1.1 200 OK\r\nContent-Type: application/ipp\r\nTransfer-Encoding: chunked\r\n\r\n");
      std::string printers;
      for (int i = 0; i < 300; ++i) printers += Printer(std::string(200, 'x'));
      char size[32];
      const std::string head = IppHead();
      snprintf(size, sizeof size, "%zx\r\n", head.size());
      if (!Send(client, size + head + "\r\n")) return;
      snprintf(size, sizeof size, "%zx\r\n", printers.size());
      while (!stop_ && Send(client, size + printers + "\r\n")) {
      }
      return;
    }
  }
  // Keep the connection open, as a server that means to say more would.
  for (int waited = 0; !stop_ && waited < 300; ++waited) std::this_thread::sleep_for(std::chrono::milliseconds(100));
}
