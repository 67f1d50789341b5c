// What the listener makes of a request target and an url-encoded body.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "KMX_uHTTPRequest.h"

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
  return 0;
}
