#include "fake-scheduler.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstring>
#include <regex>
#include <utility>

#include "private-scheduler.h"
#include "process.h"

namespace {

std::string Attribute(char tag, const std::string& name, const std::string& value) {
  std::string bytes(1, tag);
  bytes += {static_cast<char>(name.size() >> 8), static_cast<char>(name.size() & 0xFF)};
  bytes += name;
  bytes += {static_cast<char>(value.size() >> 8), static_cast<char>(value.size() & 0xFF)};
  return bytes + value;
}

// An IPP answer with that status, without its end tag.
std::string IppHead(uint16_t status) {
  const char version[] = {'\x02', '\x00', static_cast<char>(status >> 8), static_cast<char>(status & 0xFF)};
  return std::string(version, 4) + std::string("\x00\x00\x00\x01\x01", 5) +
         Attribute('\x47', "attributes-charset", "utf-8") + Attribute('\x48', "attributes-natural-language", "en");
}

// A printer group; a type below 0 gives no printer-type, which only CUPS gives.
std::string Printer(const std::string& name, int type = 0, int typeBytes = 4) {
  const std::string value = std::string(3, '\0') + static_cast<char>(type);
  return "\x04" + Attribute('\x42', "printer-name", name) +
         (type < 0 ? "" : Attribute('\x23', "printer-type", value.substr(4 - static_cast<size_t>(typeBytes))));
}

std::string HttpOk(const std::string& type, size_t length, bool gzip = false) {
  return "HTTP/1.1 200 OK\r\nContent-Type: " + type + (gzip ? "\r\nContent-Encoding: gzip" : "") +
         "\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
}

std::string Gzip(const std::string& bytes) {
  z_stream stream{};
  std::string out(compressBound(bytes.size()) + 32, '\0');
  deflateInit2(&stream, Z_BEST_SPEED, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);  // 16: a gzip wrapper
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  stream.avail_in = static_cast<uInt>(bytes.size());
  stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, Z_FINISH);
  deflateEnd(&stream);
  return out.substr(0, stream.total_out);
}

// Whether request asks for operation, posted to resource.
bool Asks(const std::string& request, int operation, const std::string& resource) {
  const size_t body = request.find("\r\n\r\n") + 4;
  return request.compare(0, resource.size() + 6, "POST " + resource + " ") == 0 && request.size() >= body + 4 &&
         (static_cast<uint8_t>(request[body + 2]) << 8 | static_cast<uint8_t>(request[body + 3])) == operation;
}

size_t Length(const std::string& bytes, size_t at) {
  return static_cast<size_t>(static_cast<uint8_t>(bytes[at]) << 8 | static_cast<uint8_t>(bytes[at + 1]));
}

// Whether request names the service it asks in its third attribute, as
// ippserver wants it, by a URI a client of libcups could read back: an IPv6
// host in brackets, nothing percent-encoded.
bool NamesTheService(const std::string& request) {
  size_t at = request.find("\r\n\r\n") + 4 + 9;  // past the message's head and its first group tag
  std::string name, value;
  for (int attribute = 0; attribute < 3; ++attribute) {
    if (request.size() < at + 5) return false;
    const size_t nameLength = Length(request, at + 1);
    if (request.size() < at + 5 + nameLength) return false;
    name = request.substr(at + 3, nameLength);
    value = request.substr(at + 5 + nameLength, Length(request, at + 3 + nameLength));
    at += 5 + nameLength + value.size();
  }
  static const std::regex kUri(R"(ipp://(\[[0-9a-fA-F:.]+(\+[^\]]+)?\]|[A-Za-z0-9.-]+):[0-9]+/ipp/(system|print))");
  return (name == "system-uri" || name == "printer-uri") && std::regex_match(value, kUri);
}

bool Send(int fd, const std::string& bytes) {
  return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

// Whether request holds its header lines and the body they announce.
bool Whole(const std::string& request) {
  const size_t end = request.find("\r\n\r\n");
  const size_t length = request.find("Content-Length: ");
  return end != std::string::npos &&
         request.size() >= end + 4 + (length < end ? std::stoul(request.substr(length + 16)) : 0);
}

// Takes a request in, whole, as cupsd does: however slowly a busy machine
// sends it, a pause is never taken for its end. False when the client went
// or sent nothing for two minutes (a kept connection's next request).
bool Drain(int fd, const std::atomic<bool>& stop, std::string* request) {
  request->clear();
  pollfd in = {fd, POLLIN, 0};
  for (int idle = 0; !Whole(*request);) {
    if (poll(&in, 1, 100) == 0) {
      if (stop || ++idle >= 1200) return false;
      continue;
    }
    char chunk[4096];
    const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
    if (got <= 0) return false;
    request->append(chunk, static_cast<size_t>(got));
  }
  return true;
}

}  // namespace

int ListenOnUnixSocket(const std::string& path) {
  unlink(path.c_str());
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || listen(listener, 16) != 0) {
    close(listener);
    return -1;
  }
  return listener;
}

FakeScheduler::FakeScheduler(const std::string& path, Answer answer, FakeReply reply)
    : path_(path), answer_(answer), reply_(std::move(reply)), listener_(ListenOnUnixSocket(path)) {
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
    if (gone_) {
      // The path stays, with nobody listening behind it: connect() is refused.
      close(listener_);
      listener_ = -1;
      return;
    }
    pollfd fd = {listener_, POLLIN, 0};
    if (poll(&fd, 1, 50) <= 0) continue;
    const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    ++connections_;
    clients_.emplace_back([this, client] {
      Respond(client);
      close(client);
    });
  }
}

std::string FakeScheduler::AnswerTo(const std::string& request) {
  const bool lone = answer_ == Answer::kLonePrinter || answer_ == Answer::kSlowRefusals,
             service = lone || answer_ == Answer::kSystemService;
  const bool asked = lone ? Asks(request, 0x000B, "/ipp/print") : Asks(request, 0x004F, "/ipp/system");
  if (service && !(asked && NamesTheService(request)))
    return IppHead(++refusals_ <= (lone ? 2 : 1) ? 0x0400 : 0x0500) + "\x03";
  const int type = service ? -1 : 0;
  std::string printers;
  for (const std::string& name : reply_.printers) printers += Printer(name, type, reply_.typeBytes);
  // The padding stands in the first printer's group, after its own attributes.
  const size_t first = reply_.printers.empty() ? 0 : Printer(reply_.printers[0], type).size();
  std::string answer = IppHead(reply_.status) + printers.substr(0, first);
  char name[16];
  const size_t padding = 13;  // a keyword of an 8-byte name and no value
  for (int n = 0; answer.size() + padding + printers.size() - first + 1 <= reply_.fillTo; ++n) {
    snprintf(name, sizeof name, "x%07d", n);
    answer += Attribute('\x44', name, "");
  }
  return answer + printers.substr(first) + "\x03";
}

void FakeScheduler::Respond(int client) {
  std::string request;
  for (int served = 0; Drain(client, stop_, &request); ++served) {
    const std::string good = AnswerTo(request);
    const std::string body = reply_.gzip ? Gzip(good) : good;
    std::string ok = HttpOk("application/ipp", body.size(), reply_.gzip) + body;
    const int number = ++requests_;  // over all connections
    const bool answersWell = number <= reply_.goodAnswers;
    switch (answer_) {
      case Answer::kKeepAlive:
      case Answer::kSystemService:
      case Answer::kLonePrinter:
        if (!Send(client, ok)) return;
        continue;
      case Answer::kOneAnswerEach:
        if (served == 0 && Send(client, ok)) continue;
        return;
      case Answer::kCutTheSecond:
        if (served == 0 && Send(client, ok)) continue;
        Send(client, ok.substr(0, ok.size() / 2));
        return;
      case Answer::kGoneAfter:
        if (answersWell && Send(client, ok)) continue;
        gone_ = true;
        return;
      case Answer::kSilentAfter:
        if (answersWell && Send(client, ok)) continue;
        break;
      case Answer::kUnfinished:
        if (number == 1 && Send(client, HttpOk("application/ipp", good.size() + 100) + good)) continue;
        [[fallthrough]];
      case Answer::kClosesAndStalls:
        if (answer_ == Answer::kClosesAndStalls && number % 4 != 0) {
          Send(client, "HTTP/1.1 200 OK\r\nConnection: close\r\n" + ok.substr(ok.find("Content-Type")));
          return;
        }
        stalls_ += answer_ == Answer::kClosesAndStalls;
        [[fallthrough]];
      case Answer::kEndlessContinue:
        while (!stop_ && Send(client, "HTTP/1.1 100 Continue\r\n\r\n"))
          std::this_thread::sleep_for(std::chrono::seconds(1));
        return;
      case Answer::kEndedByTheClose:
        Send(client, "HTTP/1.1 200 OK\r\nContent-Type: application/ipp\r\nConnection: close\r\n\r\n" + good);
        return;
      case Answer::kTrickle:
      case Answer::kSlowRefusals: {
        const bool refusal = good[2] != 0;  // its bytes spread over 7.5 s
        const auto pause = std::chrono::milliseconds(refusal ? 7500 / good.size() : 200);
        Send(client, HttpOk("application/ipp", good.size()));
        for (char byte : good) {
          if (stop_ || !Send(client, std::string(1, byte))) return;
          std::this_thread::sleep_for(pause);
        }
        if (answer_ == Answer::kSlowRefusals && refusal) continue;
        break;
      }
      case Answer::kLongHeaders: {
        std::string links;
        for (int line = 0; line < 40; ++line) links += "Link: <" + std::string(1000, 'x') + ">\r\n";
        if (!Send(client, ok.insert(ok.find("\r\n") + 2, links))) return;
        continue;
      }
      case Answer::kBadChunkSize:
        Send(client, "HTTP/1.1 200 OK\r\nContent-Type: application/ipp\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n");
        break;
      case Answer::kPasswordAtOnce:
        Send(client,
             "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"CUPS\"\r\nContent-Length: 0\r\n\r\n");
        break;
      case Answer::kNotIpp:
        Send(client, HttpOk("text/html", 17) + "<html>no</html>\r\n");
        break;
      case Answer::kTruncated:
        Send(client, ok.substr(0, ok.size() - good.size() + 40));
        break;
      case Answer::kEndless: {
        Send(client, "HTTP/1.1 200 OK\r\nContent-Type: application/ipp\r\nTransfer-Encoding: chunked\r\n\r\n");
        std::string printers;
        for (int i = 0; i < 300; ++i) printers += Printer(std::string(200, 'x'));
        char size[32];
        const std::string head = IppHead(0);
        snprintf(size, sizeof size, "%zx\r\n", head.size());
        if (!Send(client, size + head + "\r\n")) return;
        snprintf(size, sizeof size, "%zx\r\n", printers.size());
        while (!stop_ && Send(client, size + printers + "\r\n")) {
        }
        return;
      }
    }
    // Keep the connection open, as a server that means to say more would.
    for (int waited = 0; !stop_ && waited < 1200; ++waited) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return;
  }
}

namespace {

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

// A TCP port of 127.0.0.1 that nothing uses now, or 0.
int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof address;
  const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                     getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  close(fd);
  return bound ? ntohs(address.sin_port) : 0;
}

bool Listens(const char* host, int port) {
  addrinfo* found = nullptr;
  if (getaddrinfo(host, std::to_string(port).c_str(), nullptr, &found) != 0) return false;
  const int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool connected = connect(fd, found->ai_addr, found->ai_addrlen) == 0;
  close(fd);
  freeaddrinfo(found);
  return connected;
}

}  // namespace

SocatFront::SocatFront(const std::string& path, bool tls, bool ipv6) : folder_(MakeTemporaryFolder()) {
  const int port = FreePort();
  if (folder_.empty() || !port) return;
  std::string listen = (ipv6 ? "TCP6-LISTEN:" : "TCP-LISTEN:") + std::to_string(port);
  if (tls) {
    const std::string key = folder_ + "/key.pem", cert = folder_ + "/cert.pem";
    ProcessOptions openssl;
    const std::string request = "openssl req -x509 -nodes -newkey ec -pkeyopt ec_paramgen_curve:P-256 -subj /CN=x";
    openssl.argv = SplitWords(request + " -keyout " + key + " -out " + cert);
    const ProcessResult made = RunProcess(openssl);
    if (!made.exited || made.status != 0) return;
    listen = "OPENSSL-LISTEN:" + std::to_string(port) + ",cert=" + cert + ",key=" + key +
             ",verify=0,openssl-min-proto-version=TLS1.3";
  }
  listen += std::string(",bind=") + (ipv6 ? "[::1]" : "127.0.0.1") + ",reuseaddr,fork";
  const std::string to = "UNIX-CONNECT:" + path;
  // Nothing but calls safe after a fork in a process with threads.
  pid_ = fork();
  if (pid_ == 0) {
    setsid();
    const int null = open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3; ++fd) dup2(null, fd);
    execlp("socat", "socat", listen.c_str(), to.c_str(), nullptr);
    _exit(127);
  }
  if (pid_ < 0) return;
  RemoveWhenGone(folder_, {"kill", "--", "-" + std::to_string(pid_)});
  // A busy machine may be slow to start it.
  for (int waited = 0; waited < 1200; ++waited) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    if (Listens(ipv6 ? "::1" : "127.0.0.1", port)) {
      address_ = (ipv6 ? "::1:" : "127.0.0.1:") + std::to_string(port);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

SocatFront::~SocatFront() {
  if (pid_ > 0) {
    kill(-pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  RemoveFolder(folder_);
}
