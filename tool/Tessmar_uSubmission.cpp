#include "Tessmar_uSubmission.h"

#include "Tessmar_uText.h"

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

void AppendUtf8(std::string& out, unsigned codePoint) {
  if (codePoint < 0x80) {
    out += static_cast<char>(codePoint);
  } else if (codePoint < 0x800) {
    out += static_cast<char>(0xC0 | (codePoint >> 6));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    out += static_cast<char>(0xE0 | (codePoint >> 12));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (codePoint >> 18));
    out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  }
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
  const size_t error = FindText(response, "error");
  quoted = error == std::string::npos ? response : response.substr(error);
  return false;
}

std::string TextFromFileBytes(const std::string& bytes) {
  if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) return bytes.substr(3);
  if (bytes.size() >= 2 && bytes.compare(0, 2, "\xFF\xFE") == 0) {
    std::string text;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      unsigned unit = static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
      if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < bytes.size()) {
        const unsigned low = static_cast<unsigned char>(bytes[i + 2]) | (static_cast<unsigned char>(bytes[i + 3]) << 8);
        if (low >= 0xDC00 && low < 0xE000) {
          unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
          i += 2;
        }
      }
      AppendUtf8(text, unit);
    }
    return text;
  }
  return bytes;
}

}  // namespace kelvane
