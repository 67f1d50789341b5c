// What the listener makes of a request target and an url-encoded body, and
// how a body sent with a Transfer-Encoding is read.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/beast/http.hpp>

#include "KMX_uHTTPRequest.h"
#include "KMX_uHTTPSServer.h"

namespace {

namespace http = boost::beast::http;

// A POST with `coding` as its Transfer-Encoding and `payload` after the
// header, read by Beast's parser with the listener's limits, as the listener
// reads it once the coding has been let through. Whatever the parser makes of
// the body becomes form fields; a body it decodes is never longer than what
// was sent.
void ReadCodedBody(std::string_view coding, std::string_view payload) {
  const std::string message = "POST /Result_Vardex_Login HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: " +
                              std::string(coding) + "\r\n\r\n" + std::string(payload);
  const kelvane::THTTPSServerSettings limits;
  http::request_parser<http::string_body> parser;
  parser.header_limit(static_cast<std::uint32_t>(limits.HeaderLimit));
  parser.body_limit(limits.BodyLimit);
  parser.eager(true);
  boost::beast::error_code ec;
  std::string_view left = message;
  while (!left.empty() && !parser.is_done()) {
    const std::size_t used = parser.put(boost::asio::buffer(left.data(), left.size()), ec);
    left.remove_prefix(used);
    if (ec == http::error::need_more && used > 0) {
      ec = {};
      continue;
    }
    if (ec) return;
  }
  if (!parser.is_done()) return;
  const std::string& body = parser.get().body();
  if (body.size() > payload.size()) std::abort();
  kelvane::THTTPRequest request;
  kelvane::ParseURLEncodedFields(body, request.Fields);
  (void)request.Field("Code");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  // Decoding never makes text longer.
  if (kelvane::DecodeURLComponent(text, true).size() > size) std::abort();
  if (kelvane::DecodeURLComponent(text, false).size() > size) std::abort();
  (void)kelvane::IsURLEncodedForm(text);

  // As the listener does: the target's query, then a body, both into one list.
  const std::size_t split = text.find('\n');
  const std::string_view target = text.substr(0, split);
  const std::string_view body = split == std::string_view::npos ? std::string_view() : text.substr(split + 1);
  kelvane::THTTPRequest request;
  kelvane::SplitRequestTarget(target, request.Document, request.Query);
  if (request.Query.size() > target.size()) std::abort();
  kelvane::ParseURLEncodedFields(body, request.Fields);
  kelvane::ParseURLEncodedFields(request.Query, request.Fields);
  std::size_t fieldBytes = 0;
  for (const auto& [name, value] : request.Fields) fieldBytes += name.size() + value.size();
  if (fieldBytes > size) std::abort();
  for (const char* name : {"Action", "UserName", "Password", "Code"}) (void)request.Field(name);

  // The header fields of the cross-site check: the body's first three lines
  // stand for Host, Origin and Sec-Fetch-Site. Without an Origin or a
  // Sec-Fetch-Site header a request is never cross-site.
  std::string_view rest = body;
  for (std::string* header : {&request.Host, &request.Origin, &request.SecFetchSite}) {
    const std::size_t end = rest.find('\n');
    *header = std::string(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  }
  (void)kelvane::IsCrossSiteRequest(request);
  request.Origin.clear();
  request.SecFetchSite.clear();
  if (kelvane::IsCrossSiteRequest(request)) std::abort();

  // The next line stands for a Transfer-Encoding, the rest for the body sent
  // with it.
  const std::size_t end = rest.find('\n');
  if (end != std::string_view::npos) ReadCodedBody(rest.substr(0, end), rest.substr(end + 1));
  return 0;
}
