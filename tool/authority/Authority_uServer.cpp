#include "Authority_uServer.h"

// Boost 1.74 uses std::exchange in its coroutine header without including <utility>.
#include <utility>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <csignal>
#include <thread>

#include "Tessmar_uCertificateChain.h"
#include "Tessmar_uSubmission.h"
#include "ucFileContent.h"
#include "ucURLEncoding.h"

namespace kelvane {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

constexpr std::chrono::seconds ConnectionTimeOut{20};
// A root certificate (or a root and its intermediates) is a few kilobytes.
constexpr std::size_t MaxRootFileSize = 1024 * 1024;

TAuthorityAnswer Refusal(int status, const std::string& reason) { return {status, "error: " + reason + "\r\n"}; }

// One line about a submission: the outcome and the fields besides the request.
std::string LogLine(const TFormFields& fields, const std::string& outcome) {
  const auto field = [&](const char* name) { return FirstFieldValue(fields, name); };
  return outcome + " UserEMail=" + field("UserEMail") + " LocalNow=" + field("LocalNow") +
         " LocalTimeZoneBias=" + field("LocalTimeZoneBias");
}

class TSession : public std::enable_shared_from_this<TSession> {
 public:
  TSession(tcp::socket socket, const TAuthority& authority) : FStream(std::move(socket)), FAuthority(authority) {}

  void Start() {
    FParser.body_limit(TAuthorityServer::MaxBodySize);
    FParser.header_limit(16 * 1024);
    FStream.expires_after(ConnectionTimeOut);
    http::async_read(FStream, FBuffer, FParser,
                     [self = shared_from_this()](beast::error_code error, std::size_t) { self->OnRead(error); });
  }

 private:
  void OnRead(beast::error_code error) {
    if (error == http::error::body_limit) {
      Reply({413, "error: the request is too large\r\n"});
      return;
    }
    if (error) return;
    const auto& request = FParser.get();
    Reply(FAuthority.Answer(std::string(request.method_string()), std::string(request.target()), request.body()));
  }

  void Reply(const TAuthorityAnswer& answer) {
    FResponse.version(11);
    FResponse.result(static_cast<http::status>(answer.Status));
    FResponse.set(http::field::server, "Kelvane reference authority");
    FResponse.set(http::field::content_type, "text/plain; charset=us-ascii");
    FResponse.keep_alive(false);
    FResponse.body() = answer.Body;
    FResponse.prepare_payload();
    FStream.expires_after(ConnectionTimeOut);
    http::async_write(FStream, FResponse, [self = shared_from_this()](beast::error_code, std::size_t) {
      beast::error_code ignored;
      self->FStream.socket().shutdown(tcp::socket::shutdown_both, ignored);
      self->FStream.close();
    });
  }

  beast::tcp_stream FStream;
  const TAuthority& FAuthority;
  beast::flat_buffer FBuffer;
  http::request_parser<http::string_body> FParser;
  http::response<http::string_body> FResponse;
};

}  // namespace

TAuthority::TAuthority(TCertificateSigner signer, std::string path) : FSigner(std::move(signer)), FPath(std::move(path)) {}

TAuthorityAnswer TAuthority::Answer(const std::string& method, const std::string& target,
                                    const std::string& body) const {
  const std::string path = target.substr(0, target.find('?'));
  if (path != FPath) return Refusal(404, "there is no certificate authority at " + path);
  if (method != "POST") return Refusal(405, "certificate requests are posted");
  TFormFields fields;
  ParseURLEncodedFields(body, fields);
  const std::string request = FirstFieldValue(fields, "CertReq");
  if (request.empty()) return Refusal(400, "the field CertReq is missing");

  std::string certificate;
  std::string error;
  if (!FSigner.Sign(DecodeCertificateText(request), certificate, error)) {
    if (OnLog) OnLog(LogLine(fields, "refused"));
    return {422, error + "\r\n"};
  }
  if (OnLog) OnLog(LogLine(fields, "signed"));
  // The root follows the certificate, so the tool can save what the service
  // checks the certificate against; a tool that reads only the first
  // certificate is not disturbed by it.
  if (HandsOutRoot) {
    std::string root;
    if (ReadFileContent(FSigner.Options().RootCertificate, MaxRootFileSize, root, error)) {
      for (const std::string& pem : PemCertificates(root)) certificate += pem;
    }
  }
  return {200, EncodeRequestText(certificate)};
}

struct TAuthorityServer::Impl {
  explicit Impl(const TAuthority& authority) : Authority(authority), Acceptor(Context) {}

  void Accept() {
    Acceptor.async_accept([this](beast::error_code error, tcp::socket socket) {
      if (error == asio::error::operation_aborted || !Acceptor.is_open()) return;
      if (!error) std::make_shared<TSession>(std::move(socket), Authority)->Start();
      Accept();
    });
  }

  const TAuthority& Authority;
  asio::io_context Context;
  tcp::acceptor Acceptor;
  std::thread Thread;
};

TAuthorityServer::TAuthorityServer(const TAuthority& authority) : FImpl(std::make_unique<Impl>(authority)) {}

TAuthorityServer::~TAuthorityServer() { Stop(); }

bool TAuthorityServer::Listen(const std::string& address, std::uint16_t port, std::string& error) {
  beast::error_code code;
  const auto ip = asio::ip::make_address_v4(address, code);
  if (code) {
    error = "not an IPv4 address: " + address;
    return false;
  }
  const tcp::endpoint endpoint(ip, port);
  FImpl->Acceptor.open(endpoint.protocol(), code);
  if (!code) FImpl->Acceptor.set_option(asio::socket_base::reuse_address(true), code);
  if (!code) FImpl->Acceptor.bind(endpoint, code);
  if (!code) FImpl->Acceptor.listen(asio::socket_base::max_listen_connections, code);
  if (code) {
    error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + code.message();
    return false;
  }
  FImpl->Accept();
  return true;
}

std::uint16_t TAuthorityServer::Port() const {
  beast::error_code ignored;
  return FImpl->Acceptor.local_endpoint(ignored).port();
}

void TAuthorityServer::Start() {
  FImpl->Thread = std::thread([this] { FImpl->Context.run(); });
}

void TAuthorityServer::Run() {
  asio::signal_set signals(FImpl->Context, SIGINT, SIGTERM);
  signals.async_wait([this](beast::error_code, int) { FImpl->Context.stop(); });
  FImpl->Context.run();
}

void TAuthorityServer::Stop() {
  FImpl->Context.stop();
  if (FImpl->Thread.joinable()) FImpl->Thread.join();
}

}  // namespace kelvane
