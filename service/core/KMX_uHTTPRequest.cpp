#include "KMX_uHTTPRequest.h"

#include "ucAsciiText.h"

namespace kelvane {
namespace {

// "https://host:443" and "https://host" are the same origin.
std::string_view WithoutDefaultPort(std::string_view origin) {
  if (origin.ends_with(":443")) origin.remove_suffix(4);
  return origin;
}

}  // namespace

bool IsCrossSiteRequest(const THTTPRequest& request) {
  if (EqualsIgnoringAsciiCase(TrimBlanks(request.SecFetchSite), "cross-site")) return true;
  const std::string_view origin = TrimBlanks(request.Origin);
  // Under "Referrer-Policy: no-referrer", which every page sets, browsers
  // send "Origin: null" with the page's own form posts too; Sec-Fetch-Site,
  // looked at above, is what tells such a post from a foreign one.
  if (origin.empty() || origin == "null") return false;
  const std::string own = "https://" + std::string(TrimBlanks(request.Host));
  return request.Host.empty() || !EqualsIgnoringAsciiCase(WithoutDefaultPort(origin), WithoutDefaultPort(own));
}

std::string THTTPRequest::Field(std::string_view name) const { return FirstFieldValue(Fields, name); }

bool IsURLEncodedForm(std::string_view contentType) {
  const std::string_view mediaType = TrimBlanks(contentType.substr(0, contentType.find(';')));
  return EqualsIgnoringAsciiCase(mediaType, "application/x-www-form-urlencoded");
}

void SplitRequestTarget(std::string_view target, std::string& document, std::string& query) {
  const std::size_t scheme = target.find("://");
  if (!target.empty() && target.front() != '/' && scheme != std::string_view::npos) {
    const std::size_t path = target.find_first_of("/?", scheme + 3);
    target = path == std::string_view::npos ? std::string_view("/") : target.substr(path);
  }
  target = target.substr(0, target.find('#'));
  const std::size_t question = target.find('?');
  document = DecodeURLComponent(target.substr(0, question), false);
  if (document.empty() || document.front() != '/') document.insert(document.begin(), '/');
  query = question == std::string_view::npos ? std::string() : std::string(target.substr(question + 1));
}

}  // namespace kelvane
