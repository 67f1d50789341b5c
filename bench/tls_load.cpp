// A TLS load generator for the service benchmarks. Every request goes over a
// new TLS connection to 127.0.0.1, as a browser's would after the service
// closed the previous one.
//
//   tls_load rate <port> <path> <threads> <seconds> [resume]
//     Requests the path from several threads for that long and prints
//     requests per second. With "resume" each thread offers the session of
//     its previous connection.
//   tls_load latency <port> <path> <clients> <requests>
//     Sends that many requests from that many concurrent clients and prints
//     requests per second, p50 / p99 / slowest latency and errors.
//   tls_load idle <port> <login> <user> <password> <idle connections> <logins>
//     Opens that many TLS connections that never send a request and, while
//     they stay open, makes the logins one after another; prints how many
//     idle connections were still open at the end, the slowest login and the
//     logins that failed or took longer than 2 s.
//   tls_load burst <port> <login> <user> <password> <submissions>
//     Readies that many connections (TLS handshake done), then has all of
//     them send a valid Reboot submission at the same moment; prints how many
//     were carried out, how many were told the server is busy, and how many
//     got anything else.
//   tls_load steady <port> <login> <user> <per second> <seconds>
//     Sends requests at a steady rate for that long: nine in ten ask for the
//     login page, one in ten is a login with a wrong password. Prints totals,
//     latencies and errors.
//   tls_load hold <port> <connections> <threads>
//     Opens that many connections and finishes their TLS handshakes, prints
//     "held", and keeps them open, idle, until standard input ends (for the
//     memory an idle connection costs).
//   tls_load flood <port> <login> <user> <password> <guesses> <clients> <source>
//     Sends that many wrong logins over that many concurrent clients from the
//     source address (127.0.0.2) and times a correct login from 127.0.0.1
//     made while they arrive.
//   tls_load listening <port> <seconds>
//     Waits until a TCP connection to the port succeeds; exit status 0 when
//     it did within that time.
//
// A login is what a browser does: fetch the login page, then post the form
// with the user's name and password and the Reboot button. <login> is the
// login path without its leading slash ("Vardex_Login").

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr char RebootDone[] = "Server reboot initiated.";
constexpr char ReloadDone[] = "Server configuration reloaded.";
constexpr char ServerBusy[] = "Server is busy. Try to login later.";
constexpr char NotAuthorized[] = "You are not authorized.";

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

void RaiseDescriptorLimit() {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

// From `source` (a loopback address such as "127.0.0.2") when given.
int Connect(int port, const char* source = nullptr) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  if (source != nullptr) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (::inet_pton(AF_INET, source, &local.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      ::close(fd);
      return -1;
    }
  }
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

std::string Get(const std::string& path) {
  return "GET " + path + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";
}

std::string FormEncode(const std::string& text) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) != 0 || c == '-' || c == '_' || c == '.') {
      out += c;
    } else if (c == ' ') {
      out += '+';
    } else {
      out += '%';
      out += hex[byte >> 4];
      out += hex[byte & 15];
    }
  }
  return out;
}

std::string Submission(const std::string& login, const std::string& user, const std::string& password,
                       const std::string& action) {
  const std::string body =
      "UserName=" + FormEncode(user) + "&Password=" + FormEncode(password) + "&Action=" + FormEncode(action);
  return "POST /Result_" + login + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n"
         "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

// One TLS connection to the service, from connect to close.
class TConnection {
 public:
  TConnection(SSL_CTX* context, int port, const char* source = nullptr) : FFd(Connect(port, source)) {
    if (FFd < 0) return;
    FSsl = ::SSL_new(context);
    ::SSL_set_fd(FSsl, FFd);
    ::SSL_set_tlsext_host_name(FSsl, "localhost");
  }
  ~TConnection() {
    if (FSsl != nullptr) ::SSL_free(FSsl);
    if (FFd >= 0) ::close(FFd);
    ::ERR_clear_error();
  }
  TConnection(const TConnection&) = delete;
  TConnection& operator=(const TConnection&) = delete;

  void OfferSession(SSL_SESSION* session) {
    if (FSsl != nullptr && session != nullptr) ::SSL_set_session(FSsl, session);
  }
  SSL_SESSION* TakeSession() const { return FSsl != nullptr ? ::SSL_get1_session(FSsl) : nullptr; }

  bool Handshake() { return FSsl != nullptr && ::SSL_connect(FSsl) == 1; }

  // Sends the request and reads the answer until the server closes.
  bool Exchange(const std::string& request, std::string& answer) {
    answer.clear();
    if (::SSL_write(FSsl, request.data(), static_cast<int>(request.size())) <= 0) return false;
    char buffer[16384];
    int n;
    while ((n = ::SSL_read(FSsl, buffer, sizeof buffer)) > 0) answer.append(buffer, static_cast<size_t>(n));
    ::SSL_shutdown(FSsl);
    return !answer.empty();
  }

  // Whether the server still keeps the connection open (nothing to read, no
  // end of stream).
  bool StillOpen() const {
    if (FFd < 0) return false;
    pollfd p{FFd, POLLIN, 0};
    if (::poll(&p, 1, 0) == 0) return true;
    char byte;
    return ::recv(FFd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
  }

 private:
  int FFd;
  SSL* FSsl = nullptr;
};

bool IsOK(const std::string& answer) { return answer.compare(0, 12, "HTTP/1.1 200") == 0; }

// One request on a new connection; true when a 200 answer came back whole.
bool Fetch(SSL_CTX* context, int port, const std::string& request, std::string& answer,
           SSL_SESSION** session = nullptr) {
  TConnection connection(context, port);
  if (session != nullptr) connection.OfferSession(*session);
  const bool ok = connection.Handshake() && connection.Exchange(request, answer) && IsOK(answer);
  if (ok && session != nullptr) {
    if (*session != nullptr) ::SSL_SESSION_free(*session);
    *session = connection.TakeSession();
  }
  return ok;
}

// What a browser does to reboot (or reload): the login page, then the form.
bool Login(SSL_CTX* context, int port, const std::string& login, const std::string& user,
           const std::string& password, bool reboot = true) {
  std::string answer;
  if (!Fetch(context, port, Get("/" + login), answer) || answer.find("Result_" + login) == std::string::npos) {
    return false;
  }
  return Fetch(context, port, Submission(login, user, password, reboot ? "Reboot" : "Reload Configuration"), answer) &&
         answer.find(reboot ? RebootDone : ReloadDone) != std::string::npos;
}

bool IsThrottled(const std::string& answer) { return answer.compare(0, 12, "HTTP/1.1 429") == 0; }

struct TLatencies {
  std::vector<double> Seconds;
  long Errors = 0;

  void Merge(const TLatencies& other) {
    Seconds.insert(Seconds.end(), other.Seconds.begin(), other.Seconds.end());
    Errors += other.Errors;
  }
  double Percentile(double p) {
    if (Seconds.empty()) return 0;
    std::sort(Seconds.begin(), Seconds.end());
    const auto index = static_cast<size_t>(p / 100.0 * static_cast<double>(Seconds.size() - 1) + 0.5);
    return Seconds[std::min(index, Seconds.size() - 1)];
  }
  void Print(double wallSeconds) {
    const auto total = static_cast<long>(Seconds.size());
    std::printf("requests %ld errors %ld per_second %.0f p50_ms %.2f p99_ms %.2f max_ms %.2f\n", total, Errors,
                static_cast<double>(total) / wallSeconds, Percentile(50) * 1000, Percentile(99) * 1000,
                Percentile(100) * 1000);
  }
};

int Rate(SSL_CTX* context, int port, const std::string& path, int threads, int seconds, bool resume) {
  std::atomic<long> done{0};
  std::atomic<long> failed{0};
  const std::string request = Get(path);
  const Clock::time_point end = Clock::now() + std::chrono::seconds(seconds);
  std::vector<std::thread> workers;
  for (int i = 0; i < threads; ++i) {
    workers.emplace_back([&] {
      SSL_SESSION* session = nullptr;
      std::string answer;
      while (Clock::now() < end) {
        if (Fetch(context, port, request, answer, resume ? &session : nullptr)) {
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

int Latency(SSL_CTX* context, int port, const std::string& path, int clients, long requests) {
  const std::string request = Get(path);
  std::atomic<long> next{0};
  std::vector<TLatencies> perClient(static_cast<size_t>(clients));
  const Clock::time_point start = Clock::now();
  std::vector<std::thread> workers;
  for (int i = 0; i < clients; ++i) {
    workers.emplace_back([&, i] {
      TLatencies& mine = perClient[static_cast<size_t>(i)];
      std::string answer;
      while (next++ < requests) {
        const Clock::time_point t0 = Clock::now();
        const bool ok = Fetch(context, port, request, answer);
        mine.Seconds.push_back(Seconds(Clock::now() - t0));
        if (!ok) ++mine.Errors;
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  const double wall = Seconds(Clock::now() - start);
  TLatencies all;
  for (const TLatencies& one : perClient) all.Merge(one);
  all.Print(wall);
  return all.Errors == 0 ? 0 : 1;
}

int Idle(SSL_CTX* context, int port, const std::string& login, const std::string& user,
         const std::string& password, int idleCount, int logins) {
  RaiseDescriptorLimit();
  std::vector<std::unique_ptr<TConnection>> idle;
  int handshaken = 0;
  const Clock::time_point openStart = Clock::now();
  for (int i = 0; i < idleCount; ++i) {
    idle.push_back(std::make_unique<TConnection>(context, port));
    if (idle.back()->Handshake()) ++handshaken;
  }
  std::printf("idle_connections_opened %d of %d in %.1f s\n", handshaken, idleCount,
              Seconds(Clock::now() - openStart));
  double slowest = 0;
  int failed = 0;
  int slow = 0;
  for (int i = 0; i < logins; ++i) {
    const Clock::time_point start = Clock::now();
    // Reload: one Reboot keeps the service busy until it ran, two seconds on.
    const bool ok = Login(context, port, login, user, password, false);
    const double took = Seconds(Clock::now() - start);
    slowest = std::max(slowest, took);
    if (!ok) {
      ++failed;
    } else if (took > 2.0) {
      ++slow;
    }
  }
  const auto stillOpen = std::count_if(idle.begin(), idle.end(), [](const auto& c) { return c->StillOpen(); });
  std::printf("logins %d served %d failed %d over_2s %d slowest_s %.3f\n", logins, logins - failed - slow, failed,
              slow, slowest);
  std::printf("idle_connections_still_open %ld\n", static_cast<long>(stillOpen));
  return failed == 0 && slow == 0 ? 0 : 1;
}

int Burst(SSL_CTX* context, int port, const std::string& login, const std::string& user,
          const std::string& password, int count) {
  RaiseDescriptorLimit();
  const std::string request = Submission(login, user, password, "Reboot");
  std::barrier ready(count);
  std::atomic<int> done{0}, busy{0}, other{0};
  std::mutex samplesMutex;
  std::vector<std::string> samples;
  std::vector<std::thread> workers;
  for (int i = 0; i < count; ++i) {
    workers.emplace_back([&] {
      TConnection connection(context, port);
      const bool up = connection.Handshake();
      // Every submission leaves at the same moment, whether or not its
      // connection came up.
      ready.arrive_and_wait();
      std::string answer;
      if (up && connection.Exchange(request, answer) && IsOK(answer)) {
        if (answer.find(RebootDone) != std::string::npos) {
          ++done;
          return;
        }
        if (answer.find(ServerBusy) != std::string::npos) {
          ++busy;
          return;
        }
      }
      ++other;
      std::lock_guard lock(samplesMutex);
      if (samples.size() < 3) samples.push_back(answer.substr(0, answer.find('\r')));
    });
  }
  for (std::thread& worker : workers) worker.join();
  std::printf("submissions %d processed %d busy %d other %d\n", count, done.load(), busy.load(), other.load());
  for (const std::string& sample : samples) std::printf("other_answer \"%s\"\n", sample.c_str());
  return other.load() == 0 ? 0 : 1;
}

int Steady(SSL_CTX* context, int port, const std::string& login, const std::string& user, int perSecond,
           int seconds) {
  const std::string page = Get("/" + login);
  const std::string refused = Submission(login, user, "not-the-password", "Reboot");
  const long total = static_cast<long>(perSecond) * seconds;
  const auto interval = std::chrono::nanoseconds(1000000000L / std::max(perSecond, 1));
  // Enough clients that a slow answer does not hold back the schedule.
  const int clients = std::clamp(perSecond / 10, 4, 32);
  std::atomic<long> next{0};
  std::vector<TLatencies> perClient(static_cast<size_t>(clients));
  const Clock::time_point start = Clock::now();
  std::vector<std::thread> workers;
  for (int i = 0; i < clients; ++i) {
    workers.emplace_back([&, i] {
      TLatencies& mine = perClient[static_cast<size_t>(i)];
      std::string answer;
      for (long n = next++; n < total; n = next++) {
        std::this_thread::sleep_until(start + n * interval);
        const bool wrongPassword = n % 10 == 9;
        const Clock::time_point t0 = Clock::now();
        bool ok = Fetch(context, port, wrongPassword ? refused : page, answer);
        // A wrong password is refused; after a few, the address is blocked.
        if (wrongPassword) ok = answer.find(NotAuthorized) != std::string::npos || IsThrottled(answer);
        mine.Seconds.push_back(Seconds(Clock::now() - t0));
        if (!ok) ++mine.Errors;
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  TLatencies all;
  for (const TLatencies& one : perClient) all.Merge(one);
  all.Print(Seconds(Clock::now() - start));
  return all.Errors == 0 ? 0 : 1;
}

// Opens that many connections from several threads and finishes their TLS
// handshakes, says so on standard output, then holds them open, sending
// nothing, until standard input ends.
int Hold(SSL_CTX* context, int port, int count, int threads) {
  RaiseDescriptorLimit();
  std::vector<std::unique_ptr<TConnection>> held(static_cast<size_t>(count));
  std::atomic<int> next{0};
  std::atomic<int> handshaken{0};
  const Clock::time_point start = Clock::now();
  std::vector<std::thread> workers;
  for (int i = 0; i < threads; ++i) {
    workers.emplace_back([&] {
      for (int n = next++; n < count; n = next++) {
        held[static_cast<size_t>(n)] = std::make_unique<TConnection>(context, port);
        if (held[static_cast<size_t>(n)]->Handshake()) ++handshaken;
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  std::printf("held %d of %d in %.1f s\n", handshaken.load(), count, Seconds(Clock::now() - start));
  std::fflush(stdout);
  char buffer[256];
  while (::read(0, buffer, sizeof buffer) > 0) {
  }
  const auto stillOpen = std::count_if(held.begin(), held.end(), [](const auto& c) { return c && c->StillOpen(); });
  std::printf("still_open %ld\n", static_cast<long>(stillOpen));
  return 0;
}

// Guessing from another address: `clients` connections from `source` send
// `guesses` wrong passwords in all, one per connection; once a quarter of them
// are in, a correct login (login page, then the form) is made from 127.0.0.1
// and timed.
int Flood(SSL_CTX* context, int port, const std::string& login, const std::string& user,
          const std::string& password, int guesses, int clients, const std::string& source) {
  RaiseDescriptorLimit();
  const std::string wrong = Submission(login, user, "not-the-password", "Reboot");
  std::atomic<int> next{0};
  std::atomic<int> answered{0};
  const Clock::time_point start = Clock::now();
  std::vector<std::thread> workers;
  for (int i = 0; i < clients; ++i) {
    workers.emplace_back([&] {
      std::string answer;
      while (next++ < guesses) {
        TConnection connection(context, port, source.c_str());
        if (connection.Handshake() && connection.Exchange(wrong, answer)) ++answered;
      }
    });
  }
  while (next.load() < guesses / 4) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const Clock::time_point loginStart = Clock::now();
  const bool ok = Login(context, port, login, user, password);
  const double loginMs = Seconds(Clock::now() - loginStart) * 1000;
  for (std::thread& worker : workers) worker.join();
  std::printf("guesses %d answered %d flood_s %.1f login_ok %d login_ms %.1f\n", guesses, answered.load(),
              Seconds(Clock::now() - start), ok ? 1 : 0, loginMs);
  return ok ? 0 : 1;
}

int Listening(int port, int seconds) {
  const Clock::time_point end = Clock::now() + std::chrono::seconds(seconds);
  while (Clock::now() < end) {
    const int fd = Connect(port);
    if (fd >= 0) {
      ::close(fd);
      return 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return 1;
}

int Usage() {
  std::fprintf(stderr,
               "usage: tls_load rate <port> <path> <threads> <seconds> [resume]\n"
               "       tls_load latency <port> <path> <clients> <requests>\n"
               "       tls_load idle <port> <login> <user> <password> <idle connections> <logins>\n"
               "       tls_load burst <port> <login> <user> <password> <submissions>\n"
               "       tls_load steady <port> <login> <user> <per second> <seconds>\n"
               "       tls_load listening <port> <seconds>\n"
               "       tls_load hold <port> <connections> <threads>\n"
               "       tls_load flood <port> <login> <user> <password> <guesses> <clients> <source address>\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  if (argc < 3) return Usage();
  const std::string mode = argv[1];
  const int port = std::atoi(argv[2]);
  const auto arg = [&](int i) { return std::string(i < argc ? argv[i] : ""); };
  const auto number = [&](int i) { return i < argc ? std::atoi(argv[i]) : 0; };
  SSL_CTX* context = ::SSL_CTX_new(::TLS_client_method());
  ::SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_CLIENT);
  if (mode == "rate" && argc >= 6) return Rate(context, port, arg(3), number(4), number(5), arg(6) == "resume");
  if (mode == "latency" && argc == 6) return Latency(context, port, arg(3), number(4), number(5));
  if (mode == "idle" && argc == 8) return Idle(context, port, arg(3), arg(4), arg(5), number(6), number(7));
  if (mode == "burst" && argc == 7) return Burst(context, port, arg(3), arg(4), arg(5), number(6));
  if (mode == "listening" && argc == 4) return Listening(port, number(3));
  if (mode == "hold" && argc == 5) return Hold(context, port, number(3), number(4));
  if (mode == "flood" && argc == 9) return Flood(context, port, arg(3), arg(4), arg(5), number(6), number(7), arg(8));
  if (mode == "steady" && argc == 7) return Steady(context, port, arg(3), arg(4), number(5), number(6));
  return Usage();
}
