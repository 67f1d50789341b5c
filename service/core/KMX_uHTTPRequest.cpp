#include "KMX_uHTTPRequest.h"

namespace kelvane {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// "https://host:443" and "https://host" are the same origin.
std::string_view WithoutDefaultPort(std::string_view origin) {
  if (origin.ends_with(":443")) origin.remove_suffix(4);
  return origin;
}

}  // namespace

bool IsCrossSiteRequest(const THTTPRequest& request) {
  if (EqualsIgnoringCase(Trim(request.SecFetchSite), "cross-site")) return true;
  const std::string_view origin = Trim(request.Origin);
  // Under "Referrer-Policy: no-referrer", which every page sets, browsers
  // send "Origin: null" with the page's own form posts too; Sec-Fetch-Site,
  // looked at above, is what tells such a post from a foreign one.
  if (origin.empty() || origin == "null") return false;
  const std::string own = "https://" + std::string(Trim(request.Host));
  return request.Host.empty() || !EqualsIgnoringCase(WithoutDefaultPort(origin), WithoutDefaultPort(own));
}

std::string THTTPRequest::Field(std::string_view name) const {
  for (const auto& [fieldName, value] : Fields) {
    if (EqualsIgnoringCase(fieldName, name)) return value;
  }
  return {};
}

std::string DecodeURLComponent(std::string_view text, bool plusIsBlank) {
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%' && i + 2 < text.size()) {
      const int high = HexValue(text[i + 1]);
      const int low = HexValue(text[i + 2]);
      if (high >= 0 && low >= 0) {
        decoded.push_back(static_cast<char>(high * 16 + low));
        i += 2;
        continue;
      }
    }
    decoded.push_back(plusIsBlank && c == '+' ? ' ' : c);
  }
  return decoded;
}

void ParseURLEncodedFields(std::string_view text, std::vector<std::pair<std::string, std::string>>& fields) {
  while (!text.empty()) {
    const std::size_t end = text.find('&');
    const std::string_view segment = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (segment.empty()) continue;
    const std::size_t equals = segment.find('=');
    if (equals == std::string_view::npos) {
      fields.emplace_back(DecodeURLComponent(segment, true), std::string());
    } else {
      fields.emplace_back(DecodeURLComponent(segment.substr(0, equals), true),
                          DecodeURLComponent(segment.substr(equals + 1), true));
    }
  }
}

bool IsURLEncodedForm(std::string_view contentType) {
  return EqualsIgnoringCase(Trim(contentType.substr(0, contentType.find(';'))), "application/x-www-form-urlencoded");
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
