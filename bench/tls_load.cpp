// A TLS load generator for the listener benchmarks.
//
//   tls_load rate <port> <path> <threads> <seconds> [resume]
//     Requests the path over a new TLS connection each time, from several
//     threads, and prints requests per second. With "resume" each thread
//     offers the session of its previous connection.
//   tls_load idle <port> <path> <idle connections> <logins>
//     Opens that many TLS connections that never send a request, then makes
//     the logins one after another and prints the slowest and the failures.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int Connect(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  timeval tv{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// One request on a new connection; true when a 200 answer came back whole.
bool Fetch(SSL_CTX* context, int port, const std::string& request, SSL_SESSION** session) {
  const int fd = Connect(port);
  if (fd < 0) return false;
  SSL* ssl = ::SSL_new(context);
  ::SSL_set_fd(ssl, fd);
  ::SSL_set_tlsext_host_name(ssl, "localhost");
  if (session != nullptr && *session != nullptr) ::SSL_set_session(ssl, *session);
  bool ok = false;
  if (::SSL_connect(ssl) == 1 && ::SSL_write(ssl, request.data(), static_cast<int>(request.size())) > 0) {
    std::string answer;
    char buffer[16384];
    int n;
    while ((n = ::SSL_read(ssl, buffer, sizeof buffer)) > 0) answer.append(buffer, static_cast<size_t>(n));
    ok = answer.compare(0, 12, "HTTP/1.1 200") == 0;
    if (session != nullptr) {
      if (*session != nullptr) ::SSL_SESSION_free(*session);
      *session = ::SSL_get1_session(ssl);
    }
    ::SSL_shutdown(ssl);
  }
  ::SSL_free(ssl);
  ::close(fd);
  ::ERR_clear_error();
  return ok;
}

int Rate(SSL_CTX* context, int port, const std::string& request, int threads, int seconds, bool resume) {
  std::atomic<long> done{0};
  std::atomic<long> failed{0};
  const Clock::time_point end = Clock::now() + std::chrono::seconds(seconds);
  std::vector<std::thread> workers;
  for (int i = 0; i < threads; ++i) {
    workers.emplace_back([&] {
      SSL_SESSION* session = nullptr;
      while (Clock::now() < end) {
        if (Fetch(context, port, request, resume ? &session : nullptr)) {
          ++done;
        } else {
          ++failed;
        }
      }
      if (session != nullptr) ::SSL_SESSION_free(session);
    });
  }
  for (std::thread& worker : workers) worker.join();
  std::printf("requests %ld failed %ld per_second %.0f\n", done.load(), failed.load(),
              static_cast<double>(done.load()) / seconds);
  return failed.load() == 0 ? 0 : 1;
}

int Idle(SSL_CTX* context, int port, const std::string& request, int idleCount, int logins) {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
  std::vector<std::pair<int, SSL*>> idle;
  int opened = 0;
  for (int i = 0; i < idleCount; ++i) {
    const int fd = Connect(port);
    if (fd < 0) continue;
    SSL* ssl = ::SSL_new(context);
    ::SSL_set_fd(ssl, fd);
    if (::SSL_connect(ssl) == 1) ++opened;
    idle.emplace_back(fd, ssl);
  }
  std::printf("idle_connections %d\n", opened);
  double slowest = 0;
  int failed = 0;
  for (int i = 0; i < logins; ++i) {
    const Clock::time_point start = Clock::now();
    const bool ok = Fetch(context, port, request, nullptr);
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    slowest = std::max(slowest, took);
    if (!ok || took > 2.0) ++failed;
  }
  std::printf("logins %d failed_or_slow %d slowest_seconds %.3f\n", logins, failed, slowest);
  for (auto& [fd, ssl] : idle) {
    ::SSL_free(ssl);
    ::close(fd);
  }
  return failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  if (argc < 6) {
    std::fprintf(stderr, "usage: tls_load rate <port> <path> <threads> <seconds> [resume]\n"
                         "       tls_load idle <port> <path> <idle connections> <logins>\n");
    return 2;
  }
  const std::string mode = argv[1];
  const int port = std::atoi(argv[2]);
  const std::string request =
      std::string("GET ") + argv[3] + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";
  SSL_CTX* context = ::SSL_CTX_new(::TLS_client_method());
  ::SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_CLIENT);
  if (mode == "rate") {
    const bool resume = argc > 6 && std::strcmp(argv[6], "resume") == 0;
    return Rate(context, port, request, std::atoi(argv[4]), std::atoi(argv[5]), resume);
  }
  return Idle(context, port, request, std::atoi(argv[4]), std::atoi(argv[5]));
}
