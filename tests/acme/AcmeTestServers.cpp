#include "AcmeTestServers.h"

#include <arpa/inet.h>
#include <signal.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include <openssl/pem.h>

namespace kelvane::testing {

namespace {

int LoopbackSocket(std::uint16_t port, bool listen) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int done = listen ? ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address)
                          : ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  if (fd < 0 || done != 0 || (listen && ::listen(fd, 64) != 0)) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  return fd;
}

std::uint16_t BoundPort(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

// OpenSSL writes to the raw socket; a peer that hung up must not end the test
// process with SIGPIPE.
void IgnoreBrokenPipes() { ::signal(SIGPIPE, SIG_IGN); }

void SetTimeOut(int fd) {
  timeval limit{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

}  // namespace

TLoopbackTlsSocket::TLoopbackTlsSocket(const std::string& certificateFile, const std::string& keyFile) {
  IgnoreBrokenPipes();
  FContext = ::SSL_CTX_new(::TLS_server_method());
  if (FContext == nullptr || ::SSL_CTX_use_certificate_chain_file(FContext, certificateFile.c_str()) != 1 ||
      ::SSL_CTX_use_PrivateKey_file(FContext, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    ::SSL_CTX_free(FContext);
    throw std::runtime_error("the loopback test server cannot load its certificate " + certificateFile);
  }
  FListener = LoopbackSocket(0, true);
  FPort = BoundPort(FListener);
}

TLoopbackTlsSocket::~TLoopbackTlsSocket() {
  ::close(FListener);
  ::SSL_CTX_free(FContext);
}

void TLoopbackTlsSocket::Serve(const std::atomic<bool>& stopping,
                               const std::function<void(SSL*)>& handshaken) const {
  while (!stopping) {
    const int fd = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    SetTimeOut(fd);
    SSL* ssl = ::SSL_new(FContext);
    ::SSL_set_fd(ssl, fd);
    if (::SSL_accept(ssl) == 1) {
      handshaken(ssl);
      ::SSL_shutdown(ssl);
    }
    ::SSL_free(ssl);
    ::close(fd);
  }
}

void TLoopbackTlsSocket::Shutdown() const { ::shutdown(FListener, SHUT_RDWR); }

TTlsAlpnTestListener::TTlsAlpnTestListener(TAcmeTlsAlpnResponder& responder, const std::string& certificateFile,
                                           const std::string& keyFile)
    : TTlsAlpnTestListener([&responder](SSL_CTX* context) { responder.Install(context); }, certificateFile, keyFile) {}

TTlsAlpnTestListener::TTlsAlpnTestListener(const std::function<void(SSL_CTX*)>& configure,
                                           const std::string& certificateFile, const std::string& keyFile)
    : FSocket(certificateFile, keyFile) {
  configure(FSocket.Context());
  FThread = std::thread([this] {
    FSocket.Serve(FStopping, [this](SSL* ssl) {
      if (IsAcmeTlsAlpnConnection(ssl)) ++FChallengeHandshakes;
    });
  });
}

TTlsAlpnTestListener::~TTlsAlpnTestListener() {
  FStopping = true;
  FSocket.Shutdown();
  FThread.join();
}

THttpsTestServer::THttpsTestServer(const std::string& certificateFile, const std::string& keyFile, TAnswer answer)
    : FAnswer(std::move(answer)), FSocket(certificateFile, keyFile) {
  FThread = std::thread([this] { FSocket.Serve(FStopping, [this](SSL* ssl) { Answer(ssl); }); });
}

THttpsTestServer::~THttpsTestServer() {
  FStopping = true;
  FSocket.Shutdown();
  FThread.join();
}

std::vector<THttpsTestRequest> THttpsTestServer::Requests() const {
  std::lock_guard guard(FLock);
  return FRequests;
}

void THttpsTestServer::Answer(SSL* ssl) {
  std::string received;
  char buffer[4096];
  std::size_t headerEnd = std::string::npos;
  std::size_t length = 0;
  for (;;) {
    if (headerEnd == std::string::npos && (headerEnd = received.find("\r\n\r\n")) != std::string::npos) {
      std::string head = received.substr(0, headerEnd);
      std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) { return std::tolower(c); });
      const auto field = head.find("\r\ncontent-length:");
      if (field != std::string::npos) length = std::stoul(head.substr(field + 17));
      headerEnd += 4;
    }
    if (headerEnd != std::string::npos && received.size() >= headerEnd + length) break;
    const int got = ::SSL_read(ssl, buffer, sizeof buffer);
    if (got <= 0) return;
    received.append(buffer, static_cast<std::size_t>(got));
  }
  THttpsTestRequest request;
  const auto methodEnd = received.find(' ');
  const auto targetEnd = received.find(' ', methodEnd + 1);
  request.Method = received.substr(0, methodEnd);
  request.Target = received.substr(methodEnd + 1, targetEnd - methodEnd - 1);
  request.Body = received.substr(headerEnd, length);
  {
    std::lock_guard guard(FLock);
    FRequests.push_back(request);
  }
  const std::string answer = FAnswer(request);
  ::SSL_write(ssl, answer.data(), static_cast<int>(answer.size()));
}

std::string HttpResponse(int status, const std::string& headers, const std::string& body) {
  return "HTTP/1.1 " + std::to_string(status) + " Test\r\n" + headers + "Content-Type: application/json\r\n" +
         "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

TClientHandshake HandshakeWith(std::uint16_t port, const std::string& serverName, const std::string& alpn) {
  TClientHandshake result;
  const int fd = LoopbackSocket(port, false);
  if (fd < 0) return result;
  SetTimeOut(fd);
  SSL_CTX* context = ::SSL_CTX_new(::TLS_client_method());
  SSL* ssl = ::SSL_new(context);
  ::SSL_set_fd(ssl, fd);
  if (!serverName.empty()) ::SSL_set_tlsext_host_name(ssl, serverName.c_str());
  if (!alpn.empty()) {
    const std::string wire = static_cast<char>(alpn.size()) + alpn;
    ::SSL_set_alpn_protos(ssl, reinterpret_cast<const unsigned char*>(wire.data()), static_cast<unsigned>(wire.size()));
  }
  if (::SSL_connect(ssl) == 1) {
    result.Connected = true;
    const unsigned char* protocol = nullptr;
    unsigned length = 0;
    ::SSL_get0_alpn_selected(ssl, &protocol, &length);
    result.Alpn.assign(reinterpret_cast<const char*>(protocol), protocol ? length : 0);
    if (X509* peer = ::SSL_get1_peer_certificate(ssl)) {
      BIO* bio = ::BIO_new(::BIO_s_mem());
      ::PEM_write_bio_X509(bio, peer);
      char* data = nullptr;
      const long size = ::BIO_get_mem_data(bio, &data);
      result.PeerCertificate.assign(data, static_cast<std::size_t>(size));
      ::BIO_free(bio);
      ::X509_free(peer);
    }
    ::SSL_shutdown(ssl);
  }
  ::SSL_free(ssl);
  ::SSL_CTX_free(context);
  ::close(fd);
  return result;
}

}  // namespace kelvane::testing
