// delay-proxy: a print server at a distance, for bench/run.sh. Listens on
// 127.0.0.1:LISTEN and passes each connection on to 127.0.0.1:UPSTREAM as a
// network DELAY_MS long each way would: every chunk is delivered DELAY_MS
// after it arrived, however many others are on their way, and a new
// connection carries nothing until a round trip after it was made, as a TCP
// handshake across that distance takes. It ends by itself after SECONDS, so
// a bench that stops early leaves nothing running.
//
//   delay-proxy LISTEN UPSTREAM DELAY_MS SECONDS

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

void NoDelay(int fd) {
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool WriteAll(int fd, const std::string& bytes) {
  for (size_t sent = 0; sent < bytes.size();) {
    const ssize_t wrote = write(fd, bytes.data() + sent, bytes.size() - sent);
    if (wrote <= 0) return false;
    sent += static_cast<size_t>(wrote);
  }
  return true;
}

// One direction of a connection. What is read is stamped with the time it
// is due and queued; a writer of its own delivers each chunk at that time,
// so chunks in flight together arrive together. At the end, the other side
// learns of it.
class Direction {
 public:
  Direction(int from, int to, std::chrono::milliseconds delay, Clock::time_point opens)
      : from_(from), to_(to), delay_(delay), opens_(opens) {}

  void Carry() {
    std::thread writer(&Direction::Deliver, this);
    Take();
    writer.join();
  }

 private:
  struct Chunk {
    Clock::time_point due;
    std::string bytes;  // empty: the end
  };

  void Take() {
    char chunk[65536];
    for (;;) {
      const ssize_t got = read(from_, chunk, sizeof chunk);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back({std::max(Clock::now(), opens_) + delay_,
                          got > 0 ? std::string(chunk, static_cast<size_t>(got)) : std::string()});
      }
      arrived_.notify_one();
      if (got <= 0) return;
    }
  }

  void Deliver() {
    for (;;) {
      Chunk chunk;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        arrived_.wait(lock, [this] { return !queue_.empty(); });
        chunk = std::move(queue_.front());
        queue_.pop_front();
      }
      std::this_thread::sleep_until(chunk.due);
      if (chunk.bytes.empty() || !WriteAll(to_, chunk.bytes)) break;
    }
    shutdown(to_, SHUT_WR);
    shutdown(from_, SHUT_RD);
  }

  const int from_, to_;
  const std::chrono::milliseconds delay_;
  const Clock::time_point opens_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<Chunk> queue_;
};

void Relay(int client, int upstreamPort, std::chrono::milliseconds delay) {
  const auto opens = Clock::now() + 2 * delay;
  const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = Loopback(upstreamPort);
  if (connect(server, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    NoDelay(server);
    Direction up(client, server, delay, opens), down(server, client, delay, opens);
    std::thread back(&Direction::Carry, &down);
    up.Carry();
    back.join();
  }
  close(server);
  close(client);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: delay-proxy LISTEN UPSTREAM DELAY_MS SECONDS\n");
    return 2;
  }
  const int listenPort = atoi(argv[1]), upstreamPort = atoi(argv[2]);
  const std::chrono::milliseconds delay(atoi(argv[3]));
  alarm(static_cast<unsigned>(atoi(argv[4])));

  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_in address = Loopback(listenPort);
  if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || listen(listener, 64) != 0) {
    perror("delay-proxy");
    return 1;
  }
  for (;;) {
    const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    NoDelay(client);
    std::thread(Relay, client, upstreamPort, delay).detach();
  }
}
