#pragma once

// The pieces of the certificate authority exchange that need no connection:
// the text substitutions both sides apply, the form fields, the proxy rules
// and how the answer is read.

#include <cstdint>
#include <string>
#include <vector>

namespace kelvane {

// Line feeds become "{*}", then "+" becomes "{P}"; carriage returns stay.
std::string EncodeRequestText(const std::string& text);

// "{*}" becomes a line feed, then "{P}" becomes "+", both found without
// regard to case.
std::string DecodeCertificateText(const std::string& text);

// The four form fields in the order they are sent.
std::vector<std::string> CertificateFormFields(const std::string& encodedRequest, const std::string& localNow,
                                               const std::string& timeZoneBias, const std::string& eMail);

struct TProxySetting {
  bool UseProxy = false;
  std::string HostName;
  std::uint16_t Port = 0;
};

// Applies the proxy fields to the setting of the previous attempt: an empty
// proxy switches the proxy off; otherwise the proxy is on with that host, and
// a non-empty port text sets the port (80 when the text is not a port
// number); an empty port text keeps the previous port.
TProxySetting ApplyProxyFields(TProxySetting previous, const std::string& proxy, const std::string& proxyPort);

// "POST " + the path and query of an http address ("/" when it has none).
std::string PostRequestLine(const std::string& url);

// The PEM begin line of a certificate.
inline constexpr const char* CertificateBeginLine = "-----BEGIN CERTIFICATE-----";

// Reads the authority's raw answer. True with `certificate` when the answer
// holds the begin line: the text from there on, decoded. Otherwise false with
// the text to quote: from the first "error" on, or the whole answer.
bool ExtractCertificate(const std::string& response, std::string& certificate, std::string& quoted);

// Text of a file that may start with a byte-order mark: UTF-8 with its mark
// loses the mark, UTF-16 little-endian is converted to UTF-8, anything else
// is taken as it is.
std::string TextFromFileBytes(const std::string& bytes);

}  // namespace kelvane
