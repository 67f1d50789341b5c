#include "Tessmar_uSubmission.h"

#include "Tessmar_uText.h"
#include "ucAsciiText.h"
#include "ucText.h"

namespace kelvane {
namespace {

// A port number as the proxy port field gives it: decimal digits with an
// optional plus sign, 0 to 65535.
bool ParsePort(const std::string& text, std::uint16_t& port) {
  std::string digits = text;
  if (!digits.empty() && digits.front() == '+') digits.erase(0, 1);
  if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
  const unsigned long value = std::stoul(digits);
  if (value > 65535) return false;
  port = static_cast<std::uint16_t>(value);
  return true;
}

}  // namespace

std::string EncodeRequestText(const std::string& text) { return ReplaceAll(ReplaceAll(text, "\n", "{*}"), "+", "{P}"); }

std::string DecodeCertificateText(const std::string& text) {
  return ReplaceAllIgnoringCase(ReplaceAllIgnoringCase(text, "{*}", "\n"), "{P}", "+");
}

std::vector<std::string> CertificateFormFields(const std::string& encodedRequest, const std::string& localNow,
                                               const std::string& timeZoneBias, const std::string& eMail) {
  return {"CertReq=" + encodedRequest, "LocalNow=" + localNow, "LocalTimeZoneBias=" + timeZoneBias,
          "UserEMail=" + eMail};
}

TProxySetting ApplyProxyFields(TProxySetting previous, const std::string& proxy, const std::string& proxyPort) {
  TProxySetting setting = previous;
  if (proxy.empty()) {
    setting.UseProxy = false;
    return setting;
  }
  setting.HostName = proxy;
  if (!proxyPort.empty()) {
    std::uint16_t port = 0;
    setting.Port = ParsePort(proxyPort, port) ? port : 80;
  }
  setting.UseProxy = true;
  return setting;
}

std::string PostRequestLine(const std::string& url) {
  std::string rest = url;
  const size_t scheme = rest.find("://");
  if (scheme != std::string::npos) rest.erase(0, scheme + 3);
  const size_t slash = rest.find('/');
  return "POST " + (slash == std::string::npos ? std::string("/") : rest.substr(slash));
}

bool ExtractCertificate(const std::string& response, std::string& certificate, std::string& quoted) {
  const size_t begin = response.find(CertificateBeginLine);
  if (begin != std::string::npos) {
    certificate = DecodeCertificateText(response.substr(begin));
    return true;
  }
  const size_t error = FindIgnoringAsciiCase(response, "error");
  quoted = error == std::string::npos ? response : response.substr(error);
  return false;
}

std::string TextFromFileBytes(const std::string& bytes) {
  if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) return bytes.substr(3);
  if (bytes.starts_with(Utf16LEByteOrderMark)) return Utf16LEToUtf8(std::string_view(bytes).substr(2));
  return bytes;
}

}  // namespace kelvane
