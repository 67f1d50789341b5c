#include "KMX_uAcmeHttps.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace kelvane {

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;

constexpr std::size_t MaxAnswerBytes = 1024 * 1024;

// Runs one asynchronous step to its end; the stream's deadline bounds it.
template <class TStart>
beast::error_code RunStep(net::io_context& io, TStart start) {
  beast::error_code result = net::error::would_block;
  start([&result](beast::error_code ec, auto&&...) { result = ec; });
  io.restart();
  io.run();
  return result;
}

std::string Describe(const beast::error_code& ec) {
  if (ec == beast::error::timeout) return "no answer in time";
  std::string text = ec.message();
  if (ec.category() == net::error::get_ssl_category()) {
    const long reason = ERR_GET_REASON(static_cast<unsigned long>(ec.value()));
    if (reason == SSL_R_CERTIFICATE_VERIFY_FAILED) text = "its certificate does not verify (" + text + ")";
  }
  return text;
}

const char* MethodName(THttpMethod method) {
  switch (method) {
    case THttpMethod::Get: return "GET";
    case THttpMethod::Head: return "HEAD";
    case THttpMethod::Post: return "POST";
  }
  return "GET";
}

}  // namespace

bool ParseHttpsUrl(std::string_view url, THttpsUrl& parts, std::string& error) {
  constexpr std::string_view Scheme = "https://";
  if (url.substr(0, Scheme.size()) != Scheme) {
    error = "\"" + std::string(url) + "\" is no https address";
    return false;
  }
  std::string_view rest = url.substr(Scheme.size());
  const std::size_t slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  parts.Target = slash == std::string_view::npos ? "/" : std::string(rest.substr(slash));
  parts.Port = "443";
  if (!authority.empty() && authority.front() == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) authority = {};
    else {
      parts.Host = std::string(authority.substr(1, close - 1));
      if (close + 1 < authority.size() && authority[close + 1] == ':') parts.Port = authority.substr(close + 2);
    }
  } else {
    const std::size_t colon = authority.rfind(':');
    parts.Host = std::string(authority.substr(0, colon));
    if (colon != std::string_view::npos) parts.Port = authority.substr(colon + 1);
  }
  if (authority.empty() || parts.Host.empty() || parts.Port.empty()) {
    error = "\"" + std::string(url) + "\" names no host";
    return false;
  }
  return true;
}

TAcmeHttps::TAcmeHttps(std::string extraRootsFile, std::chrono::milliseconds timeOut)
    : FExtraRootsFile(std::move(extraRootsFile)), FTimeOut(timeOut) {}

bool TAcmeHttps::Request(THttpMethod method, std::string_view url, std::string_view body, TAcmeHttpReply& reply,
                         std::string& error) const {
  reply = {};
  THttpsUrl parts;
  if (!ParseHttpsUrl(url, parts, error)) return false;
  const std::string where = std::string(MethodName(method)) + " " + std::string(url) + ": ";

  ssl::context tls(ssl::context::tls_client);
  beast::error_code ec;
  tls.set_default_verify_paths(ec);
  if (!FExtraRootsFile.empty()) {
    tls.load_verify_file(FExtraRootsFile, ec);
    if (ec) {
      error = where + "cannot read the extra roots " + FExtraRootsFile + ": " + ec.message();
      return false;
    }
  }
  tls.set_verify_mode(ssl::verify_peer);

  net::io_context io;
  beast::ssl_stream<beast::tcp_stream> stream(io, tls);
  SSL* handle = stream.native_handle();
  boost::system::error_code notAnAddress;
  net::ip::make_address(parts.Host, notAnAddress);
  if (notAnAddress) {
    ::SSL_set_tlsext_host_name(handle, parts.Host.c_str());
    ::SSL_set1_host(handle, parts.Host.c_str());
  } else {
    ::X509_VERIFY_PARAM_set1_ip_asc(::SSL_get0_param(handle), parts.Host.c_str());
  }

  tcp::resolver resolver(io);
  const auto endpoints = resolver.resolve(parts.Host, parts.Port, ec);
  if (ec) {
    error = where + "cannot resolve " + parts.Host + ": " + ec.message();
    return false;
  }
  auto& socket = beast::get_lowest_layer(stream);
  socket.expires_after(FTimeOut);
  ec = RunStep(io, [&](auto handler) { socket.async_connect(endpoints, handler); });
  if (ec) {
    error = where + "cannot connect: " + Describe(ec);
    return false;
  }
  ec = RunStep(io, [&](auto handler) { stream.async_handshake(ssl::stream_base::client, handler); });
  if (ec) {
    error = where + "TLS handshake failed: " + Describe(ec);
    return false;
  }

  http::request<http::string_body> request(method == THttpMethod::Post   ? http::verb::post
                                           : method == THttpMethod::Head ? http::verb::head
                                                                         : http::verb::get,
                                           parts.Target, 11);
  const bool literalV6 = parts.Host.find(':') != std::string::npos;
  const std::string host = literalV6 ? "[" + parts.Host + "]" : parts.Host;
  request.set(http::field::host, parts.Port == "443" ? host : host + ":" + parts.Port);
  request.set(http::field::user_agent, "vardex-acme");
  request.set(http::field::connection, "close");
  if (method == THttpMethod::Post) {
    request.set(http::field::content_type, "application/jose+json");
    request.body() = std::string(body);
  }
  request.prepare_payload();
  ec = RunStep(io, [&](auto handler) { http::async_write(stream, request, handler); });
  if (ec) {
    error = where + "cannot send the request: " + Describe(ec);
    return false;
  }

  beast::flat_buffer buffer;
  http::response_parser<http::string_body> parser;
  parser.body_limit(MaxAnswerBytes);
  parser.skip(method == THttpMethod::Head);
  ec = RunStep(io, [&](auto handler) { http::async_read(stream, buffer, parser, handler); });
  if (ec) {
    error = where + "no readable answer: " + Describe(ec);
    return false;
  }
  const auto& response = parser.get();
  reply.Status = static_cast<int>(response.result_int());
  reply.ContentType = std::string(response[http::field::content_type]);
  reply.Location = std::string(response[http::field::location]);
  reply.ReplayNonce = std::string(response["Replay-Nonce"]);
  reply.RetryAfter = std::string(response[http::field::retry_after]);
  const auto links = response.equal_range(http::field::link);
  for (auto field = links.first; field != links.second; ++field) reply.Links.emplace_back(field->value());
  reply.Body = response.body();
  // The connection is closed without a TLS close_notify wait: the answer is
  // complete, and some servers never send one.
  return true;
}

}  // namespace kelvane
