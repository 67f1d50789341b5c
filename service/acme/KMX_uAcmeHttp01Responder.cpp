#include "KMX_uAcmeHttp01Responder.h"

#include <map>
#include <mutex>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

namespace kelvane {

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

constexpr std::string_view ChallengePath = "/.well-known/acme-challenge/";
constexpr std::chrono::seconds ConnectionTimeOut{10};

}  // namespace

struct TAcmeHttp01Responder::Impl {
  std::mutex Lock;
  std::map<std::string, std::string, std::less<>> Answers;  // key authorisation by token
  net::io_context Io;
  std::unique_ptr<tcp::acceptor> Acceptor;
  std::thread Thread;

  std::string Answer(std::string_view target) {
    if (target.substr(0, ChallengePath.size()) != ChallengePath) return {};
    std::lock_guard guard(Lock);
    const auto found = Answers.find(target.substr(ChallengePath.size()));
    return found == Answers.end() ? std::string() : found->second;
  }

  void Accept() {
    Acceptor->async_accept([this](beast::error_code ec, tcp::socket socket) {
      if (ec) return;
      Serve(std::make_shared<beast::tcp_stream>(std::move(socket)));
      Accept();
    });
  }

  // One request per connection, answered and closed.
  void Serve(std::shared_ptr<beast::tcp_stream> stream) {
    auto buffer = std::make_shared<beast::flat_buffer>();
    auto request = std::make_shared<http::request<http::empty_body>>();
    stream->expires_after(ConnectionTimeOut);
    http::async_read(*stream, *buffer, *request, [this, stream, buffer, request](beast::error_code ec, std::size_t) {
      if (ec) return;
      const auto target = request->target();
      const std::string answer = Answer(std::string_view(target.data(), target.size()));
      auto response = std::make_shared<http::response<http::string_body>>(
          answer.empty() ? http::status::not_found : http::status::ok, request->version());
      response->set(http::field::content_type, "application/octet-stream");
      response->keep_alive(false);
      response->body() = answer;
      response->prepare_payload();
      http::async_write(*stream, *response, [stream, response](beast::error_code, std::size_t) {
        beast::error_code ignored;
        stream->socket().shutdown(tcp::socket::shutdown_both, ignored);
      });
    });
  }
};

TAcmeHttp01Responder::TAcmeHttp01Responder() : FImpl(std::make_unique<Impl>()) {}
TAcmeHttp01Responder::~TAcmeHttp01Responder() { Stop(); }

bool TAcmeHttp01Responder::Start(const std::string& address, std::uint16_t port, std::string& error) {
  beast::error_code ec;
  const auto ip = net::ip::make_address(address.empty() ? "0.0.0.0" : address, ec);
  auto acceptor = std::make_unique<tcp::acceptor>(FImpl->Io);
  if (!ec) acceptor->open(ip.is_v6() ? tcp::v6() : tcp::v4(), ec);
  if (!ec) acceptor->set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) acceptor->bind({ip, port}, ec);
  if (!ec) acceptor->listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    error = "cannot listen for http-01 on " + address + ":" + std::to_string(port) + ": " + ec.message();
    return false;
  }
  FImpl->Acceptor = std::move(acceptor);
  FImpl->Io.restart();
  FImpl->Accept();
  FImpl->Thread = std::thread([this] { FImpl->Io.run(); });
  return true;
}

void TAcmeHttp01Responder::Stop() {
  if (!FImpl->Thread.joinable()) return;
  FImpl->Io.stop();
  FImpl->Thread.join();
  FImpl->Acceptor.reset();
}

std::uint16_t TAcmeHttp01Responder::LocalPort() const {
  beast::error_code ec;
  return FImpl->Acceptor ? FImpl->Acceptor->local_endpoint(ec).port() : 0;
}

bool TAcmeHttp01Responder::Publish(std::string_view, std::string_view token, std::string_view keyAuthorization,
                                   std::string&) {
  std::lock_guard guard(FImpl->Lock);
  FImpl->Answers[std::string(token)] = std::string(keyAuthorization);
  return true;
}

void TAcmeHttp01Responder::Withdraw(std::string_view, std::string_view token) {
  std::lock_guard guard(FImpl->Lock);
  FImpl->Answers.erase(std::string(token));
}

}  // namespace kelvane
