#include "TestHttpsClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <csignal>
#include <memory>

#include "ucAsciiText.h"

namespace kelvane::testing {
namespace {

int ConnectLoopback(std::uint16_t port, std::chrono::milliseconds timeOut, const std::string& source = {}) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeOut.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((timeOut.count() % 1000) * 1000);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if (!source.empty()) {
    sockaddr_in from{};
    from.sin_family = AF_INET;
    if (::inet_pton(AF_INET, source.c_str(), &from.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
      ::close(fd);
      return -1;
    }
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string OpenSSLErrors() {
  std::string text;
  while (const unsigned long code = ::ERR_get_error()) {
    char buffer[256];
    ::ERR_error_string_n(code, buffer, sizeof buffer);
    if (!text.empty()) text += "; ";
    text += buffer;
  }
  return text;
}

void ParseAnswer(const std::string& raw, THttpsReply& reply) {
  const std::size_t end = raw.find("\r\n\r\n");
  if (raw.compare(0, 5, "HTTP/") != 0 || end == std::string::npos) {
    reply.Error = "no HTTP answer: '" + raw.substr(0, 200) + "'";
    return;
  }
  reply.Head = raw.substr(0, end);
  reply.Body = raw.substr(end + 4);
  const std::size_t space = raw.find(' ');
  reply.Status = std::atoi(raw.c_str() + space + 1);
}

}  // namespace

std::string THttpsReply::Header(std::string_view name) const {
  std::size_t start = Head.find("\r\n");
  while (start != std::string::npos) {
    start += 2;
    const std::size_t end = Head.find("\r\n", start);
    const std::string_view line = std::string_view(Head).substr(start, end == std::string::npos ? end : end - start);
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos && EqualsIgnoringAsciiCase(line.substr(0, colon), name)) {
      std::string_view value = line.substr(colon + 1);
      while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
      return std::string(value);
    }
    start = end;
  }
  return {};
}

THttpsReply HttpsExchange(std::uint16_t port, std::string_view request, const THttpsClientOptions& options) {
  // A server may close while the request is still being written (a refused
  // body); that must show as a failed write, not end the test process.
  static const bool pipeSignalIgnored = [] { return ::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
  (void)pipeSignalIgnored;
  THttpsReply reply;
  ::ERR_clear_error();
  std::unique_ptr<SSL_CTX, decltype(&::SSL_CTX_free)> context(::SSL_CTX_new(::TLS_client_method()), &::SSL_CTX_free);
  if (options.MaxProtocolVersion != 0) {
    // Old protocol versions need the lowest security level to be offered at all.
    ::SSL_CTX_set_security_level(context.get(), 0);
    ::SSL_CTX_set_min_proto_version(context.get(), 0);
    ::SSL_CTX_set_max_proto_version(context.get(), options.MaxProtocolVersion);
  }
  if (!options.RootCertificateFile.empty()) {
    if (::SSL_CTX_load_verify_locations(context.get(), options.RootCertificateFile.c_str(), nullptr) != 1) {
      reply.Error = "cannot load root certificate: " + OpenSSLErrors();
      return reply;
    }
    ::SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
  }
  const int fd = ConnectLoopback(port, options.TimeOut, options.SourceAddress);
  if (fd < 0) {
    reply.Error = "cannot connect";
    return reply;
  }
  std::unique_ptr<SSL, decltype(&::SSL_free)> ssl(::SSL_new(context.get()), &::SSL_free);
  ::SSL_set_fd(ssl.get(), fd);
  ::SSL_set_tlsext_host_name(ssl.get(), "localhost");
  if (!options.RootCertificateFile.empty()) ::SSL_set1_host(ssl.get(), "localhost");
  if (::SSL_connect(ssl.get()) != 1) {
    reply.Error = "handshake failed: " + OpenSSLErrors();
    ::close(fd);
    return reply;
  }
  reply.Connected = true;
  std::size_t sent = 0;
  while (sent < request.size()) {
    const int n = ::SSL_write(ssl.get(), request.data() + sent, static_cast<int>(request.size() - sent));
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  std::string raw;
  char buffer[16384];
  for (;;) {
    const int n = ::SSL_read(ssl.get(), buffer, sizeof buffer);
    if (n > 0) {
      raw.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    const int error = ::SSL_get_error(ssl.get(), n);
    if (error != SSL_ERROR_ZERO_RETURN && raw.empty()) reply.Error = "read failed: " + std::to_string(error);
    break;
  }
  ::SSL_shutdown(ssl.get());
  ::close(fd);
  if (reply.Error.empty()) ParseAnswer(raw, reply);
  return reply;
}

std::string MakeRequest(std::string_view method, std::string_view target, std::string_view body) {
  std::string text = std::string(method) + " " + std::string(target) + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n";
  if (!body.empty()) {
    text += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  }
  text += "\r\n";
  text += body;
  return text;
}

TRawConnection::TRawConnection(std::uint16_t port) : FSocket(ConnectLoopback(port, std::chrono::seconds(10))) {}

TRawConnection::~TRawConnection() {
  if (FSocket >= 0) ::close(FSocket);
}

bool TRawConnection::Send(std::string_view bytes) {
  return FSocket >= 0 && ::send(FSocket, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

bool TRawConnection::WaitForClose(std::chrono::milliseconds timeOut, std::string* received) {
  if (FSocket < 0) return true;
  const auto deadline = std::chrono::steady_clock::now() + timeOut;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd poller{FSocket, POLLIN, 0};
    if (::poll(&poller, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::recv(FSocket, buffer, sizeof buffer, 0);
    if (n > 0) {
      if (received != nullptr) received->append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) return true;
  }
}

}  // namespace kelvane::testing
