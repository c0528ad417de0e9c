// delay-proxy: a print server at a distance, for bench/run.sh. Listens on
// 127.0.0.1:LISTEN and passes each connection on to 127.0.0.1:UPSTREAM,
// holding every chunk DELAY_MS milliseconds on its way in either direction,
// as a network a few hundred kilometres long would. It ends by itself after
// SECONDS, so a bench that stops early leaves nothing running.
//
//   delay-proxy LISTEN UPSTREAM DELAY_MS SECONDS

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

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

// One direction of a connection; at its end, the other side learns of it.
void Carry(int from, int to, std::chrono::milliseconds delay) {
  char chunk[65536];
  for (;;) {
    const ssize_t got = read(from, chunk, sizeof chunk);
    if (got <= 0) break;
    std::this_thread::sleep_for(delay);
    ssize_t sent = 0;
    while (sent < got) {
      const ssize_t wrote = write(to, chunk + sent, static_cast<size_t>(got - sent));
      if (wrote <= 0) break;
      sent += wrote;
    }
    if (sent < got) break;
  }
  shutdown(to, SHUT_WR);
  shutdown(from, SHUT_RD);
}

void Relay(int client, int upstreamPort, std::chrono::milliseconds delay) {
  const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = Loopback(upstreamPort);
  if (connect(server, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    NoDelay(server);
    std::thread back(Carry, server, client, delay);
    Carry(client, server, delay);
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
