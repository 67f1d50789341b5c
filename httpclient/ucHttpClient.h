#pragma once

// A plain-HTTP client for one request at a time: it parses a URL into host,
// port and request line, composes the request with its headers and a
// form-encoded (or multipart) body, sends it when the connection is up and
// keeps the raw answer (status line, headers and body) until the server
// closes the connection. No TLS, chunked transfer, keep-alive or redirects.
//
// Typical use:
//   THttpClient http;
//   http.Protocol = "HTTP/1.1";
//   http.SetURL("http://ca.example/sign/app.dll?x");     // host, port, request
//   http.SetRequest("POST /sign/app.dll?x");
//   http.StringVars = {"CertReq=...", "UserEMail=..."};
//   http.OnProcessMessages = [] { /* run the UI's pending events */ };
//   http.Execute();
//   if (http.TelnetStatus() == telReady) { use http.Response(); }

#include <cstddef>
#include <string>
#include <string_view>

#include "ucTelnetClient.h"

namespace kelvane {

class THttpClient : public TTelnetClient {
 public:
  // The answer is cut at this size and the exchange fails with telReadError.
  static constexpr std::size_t MaxResponseSize = 1024 * 1024;

  THttpClient();

  // Parses an address: "http://" is dropped, "https://" is dropped and makes
  // 443 the default port (the connection stays plain), the host part goes to
  // Host, and "/" + the path to SetRequest.
  void SetURL(std::string_view value);
  // "HTTP://" + host (with ":port" unless 80) + the path of Request.
  std::string GetURL() const;

  // The request line without protocol: a method, a space and a path. A value
  // without a method gets "GET", a path without a leading "/" gets one, and a
  // path to a .com, .exe, .bat or .dll program without a query gets "?".
  void SetRequest(std::string_view value);
  const std::string& Request() const { return FRequest; }

  // Written after the request line; "HTTP/1.1" adds the Host and
  // "Connection: close" lines.
  std::string Protocol = "HTTP/1.0";
  // Extra header lines (an element may hold several lines).
  TStringList Headers;
  // Form fields, one per element: name "=" value.
  TStringList StringVars;
  // File fields, one per element: field name "=" file path ";" content type.
  TStringList Files;
  // Text appended to the body, one line per element.
  TStringList XMLRequest;

  // The raw answer as received, and its status line after the protocol
  // ("200 OK"). Both are cleared when an exchange starts.
  const std::string& Response() const { return FResponse; }
  const std::string& ReturnCode() const { return FReturnCode; }

  // The exact bytes sent when the connection comes up (Write adds one more
  // carriage return and line feed).
  std::string ComposeRequest();

  // Form encoding of one name or value: a space becomes "+"; "+", "/",
  // digits and ASCII letters stay; every other byte becomes "%" and two
  // upper-case hexadecimal digits.
  static std::string EncodeStr(std::string_view value);

  // name=value&name=value of the elements that contain "=", names and values
  // encoded with EncodeStr.
  std::string UrlEncodedStringVars(const TStringList& vars) const;
  // One multipart section per element that contains "=", not encoded.
  std::string UrlEncodedStringVarsMultipart(const TStringList& vars) const;

  enum class TFileLayout { Flat, Nested };
  // One multipart section per existing file; entries without "=" or ";" and
  // files that do not exist are left out.
  std::string ProcessFiles(const TStringList& files, TFileLayout layout) const;

 protected:
  void ExchangeStarting() override;
  void OnConnected() override;
  void DoRead(const std::string& text) override;

 private:
  void UpdateReturnCode();

  bool FReturnCodeComplete = false;

  std::string FRequest;
  std::string FResponse;
  std::string FReturnCode;
  std::string FBoundaryStringVars = "AaB03x";
  std::string FBoundaryFiles = "BbC04y";
};

}  // namespace kelvane
