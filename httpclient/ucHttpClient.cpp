#include "ucHttpClient.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "ucAsciiText.h"
#include "ucPaths.h"

namespace kelvane {

namespace {

const char* const LineEnd = "\r\n";

// "name=path;content type": the path ends at the first ";" after the "=", so
// a content type may carry parameters of its own.
struct TFileEntry {
  std::string Name;
  std::string Path;
  std::string ContentType;
};

bool SplitFileEntry(const std::string& entry, TFileEntry& result) {
  const std::size_t equals = entry.find('=');
  if (equals == std::string::npos) {
    return false;
  }
  const std::size_t semicolon = entry.find(';', equals + 1);
  if (semicolon == std::string::npos) {
    return false;
  }
  result.Name = entry.substr(0, equals);
  result.Path = entry.substr(equals + 1, semicolon - equals - 1);
  result.ContentType = entry.substr(semicolon + 1);
  return true;
}

std::string ContentTypeOf(const std::string& entry) {
  TFileEntry parsed;
  return SplitFileEntry(entry, parsed) ? parsed.ContentType : std::string();
}

// Files of different kinds go into one nested multipart/mixed part.
bool NeedsNestedLayout(const TStringList& files) {
  for (std::size_t i = 0; i + 1 < files.size(); ++i) {
    const std::string type = ContentTypeOf(files[i]);
    if (!type.empty() && type != ContentTypeOf(files[i + 1])) {
      return true;
    }
  }
  return false;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(ResolvePath(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Join(const TStringList& lines) {
  std::string text;
  for (const std::string& line : lines) {
    text += line;
    text += LineEnd;
  }
  return text;
}

}  // namespace

THttpClient::THttpClient() {
  Name = "HttpClient";
  DialogFlags = {telRead, telAdvise};
}

void THttpClient::SetURL(std::string_view value) {
  if (StartsWithIgnoringAsciiCase(value, "http://")) {
    value.remove_prefix(7);
  }
  std::uint16_t defaultPort = 80;
  if (StartsWithIgnoringAsciiCase(value, "https://")) {
    value.remove_prefix(8);
    defaultPort = 443;
  }
  const std::size_t slash = value.find('/');
  const std::string_view hostPart = value.substr(0, slash);
  const std::string_view path = slash == std::string_view::npos ? std::string_view() : value.substr(slash + 1);
  Host().SetValue(defaultPort, hostPart);
  SetRequest("/" + std::string(path));
}

std::string THttpClient::GetURL() const {
  const std::size_t space = FRequest.find(' ');
  return "HTTP://" + Host().GetValue(80) + (space == std::string::npos ? std::string() : FRequest.substr(space + 1));
}

void THttpClient::SetRequest(std::string_view value) {
  std::string request(value);
  if (value.find('?') == std::string_view::npos) {
    const std::size_t dot = value.rfind('.');
    const std::string_view before = value.substr(0, dot);
    const std::string_view extension = dot == std::string_view::npos ? std::string_view() : value.substr(dot + 1);
    if (before.empty()) {
      if (request.empty() || request.back() != '/') {
        request += '/';
      }
    } else if (std::string_view(",COM,EXE,BAT,DLL,").find("," + UpperCaseAscii(extension) + ",") !=
               std::string_view::npos) {
      // A program on the server is asked with an empty query.
      request += '?';
    }
  }
  const std::size_t space = request.find(' ');
  const std::string method = space == std::string::npos ? std::string("GET") : request.substr(0, space);
  std::string path = space == std::string::npos ? request : request.substr(space + 1);
  if (path.empty() || path.front() != '/') {
    path.insert(path.begin(), '/');
  }
  FRequest = method + " " + path;
}

std::string THttpClient::ComposeRequest() {
  FBoundaryStringVars = "AaB03x";
  FBoundaryFiles = "BbC04y";

  const std::string method = FRequest.substr(0, FRequest.find(' '));
  std::string head = ProxyHost().UseProxy() ? method + " " + GetURL() : FRequest;

  std::string headerText = Join(Headers);
  while (!headerText.empty() && (headerText.back() == '\r' || headerText.back() == '\n')) {
    headerText.pop_back();
  }
  if (!headerText.empty()) {
    headerText += LineEnd;
  }
  if (Protocol == "HTTP/1.1" && headerText.find("Host: ") == std::string::npos) {
    headerText += "Host: " + Host().HostName() + LineEnd;
  }

  std::string headMethod = head.substr(0, head.find(' '));
  if (headMethod == "post") {
    head.replace(0, headMethod.size(), "POST");
    headMethod = "POST";
  }

  std::string body;
  if (headMethod == "POST") {
    if (Files.empty()) {
      body = UrlEncodedStringVars(StringVars);
    } else if (NeedsNestedLayout(Files)) {
      body = UrlEncodedStringVarsMultipart(StringVars);
      body += "--" + FBoundaryStringVars + LineEnd;
      body += std::string("Content-Disposition: form-data; name=\"multi\"") + LineEnd;
      body += "Content-Type: multipart/mixed, boundary=" + FBoundaryFiles + LineEnd + LineEnd;
      body += ProcessFiles(Files, TFileLayout::Nested);
      body += "--" + FBoundaryFiles + "--" + LineEnd;
      body += "--" + FBoundaryStringVars + "--";
    } else {
      body = UrlEncodedStringVarsMultipart(StringVars);
      body += ProcessFiles(Files, TFileLayout::Flat);
      body += "--" + FBoundaryStringVars + "--";
    }
  }
  body += Join(XMLRequest);

  if (!body.empty()) {
    headerText += Files.empty() ? std::string("Content-Type: application/x-www-form-urlencoded")
                                : "Content-Type: multipart/form-data, boundary=" + FBoundaryStringVars;
    headerText += LineEnd;
    headerText += "Content-length: " + std::to_string(body.size()) + LineEnd + LineEnd;
    headerText += body;
  }

  std::string tail = Protocol.empty() ? std::string() : " " + Protocol;
  if (Protocol == "HTTP/1.1") {
    if (!tail.empty()) {
      tail += LineEnd;
    }
    tail += "Connection: close";
  }

  std::string message;
  if (!FRequest.empty()) {
    message = head + tail + LineEnd + headerText;
  }
  message += LineEnd;
  return message;
}

std::string THttpClient::EncodeStr(std::string_view value) {
  std::string result;
  result.reserve(value.size());
  for (const char c : value) {
    const auto code = static_cast<unsigned char>(c);
    if (c == ' ') {
      result += '+';
    } else if (c == '+' || c == '/' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
      result += c;
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned>(code));
      result += escaped;
    }
  }
  return result;
}

std::string THttpClient::UrlEncodedStringVars(const TStringList& vars) const {
  std::string result;
  for (const std::string& line : vars) {
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) {
      continue;
    }
    if (!result.empty()) {
      result += '&';
    }
    result += EncodeStr(std::string_view(line).substr(0, equals)) + "=" +
              EncodeStr(std::string_view(line).substr(equals + 1));
  }
  return result;
}

std::string THttpClient::UrlEncodedStringVarsMultipart(const TStringList& vars) const {
  std::string result;
  for (const std::string& line : vars) {
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) {
      continue;
    }
    result += "--" + FBoundaryStringVars + LineEnd;
    result += "Content-Disposition: form-data; name=\"" + line.substr(0, equals) + "\"" + LineEnd + LineEnd;
    result += line.substr(equals + 1) + LineEnd;
  }
  return result;
}

std::string THttpClient::ProcessFiles(const TStringList& files, TFileLayout layout) const {
  std::string result;
  for (const std::string& entry : files) {
    TFileEntry file;
    if (!SplitFileEntry(entry, file) || !FileExists(file.Path)) {
      continue;
    }
    if (layout == TFileLayout::Nested) {
      result += "--" + FBoundaryFiles + LineEnd;
      result += "Content-Disposition: attachment; filename=\"" + file.Path + "\"" + LineEnd;
    } else {
      result += "--" + FBoundaryStringVars + LineEnd;
      result += "Content-Disposition: form-data; name=\"" + file.Name + "\"; filename=\"" + file.Path + "\"" + LineEnd;
    }
    result += "Content-Type: " + file.ContentType + LineEnd;
    result += LineEnd + ReadWholeFile(file.Path) + LineEnd;
  }
  return result;
}

void THttpClient::ExchangeStarting() {
  FResponse.clear();
  FReturnCode.clear();
  FReturnCodeComplete = false;
  if (DialogMemo != nullptr) {
    DialogMemo->clear();
  }
}

void THttpClient::OnConnected() {
  TTelnetClient::OnConnected();
  Write(ComposeRequest());
}

void THttpClient::DoRead(const std::string& text) {
  TTelnetClient::DoRead(text);
  const std::size_t room = MaxResponseSize - FResponse.size();
  if (text.size() > room) {
    FResponse.append(text, 0, room);
    UpdateReturnCode();
    AbortExchange(telReadError,
                  "Error, the answer is larger than " + std::to_string(MaxResponseSize) + " bytes");
    return;
  }
  FResponse += text;
  UpdateReturnCode();
}

// The status line may arrive split over several pieces: it is read again
// until its end has been seen.
void THttpClient::UpdateReturnCode() {
  if (FReturnCodeComplete) {
    return;
  }
  const std::size_t lineEnd = FResponse.find_first_of("\r\n");
  const std::string statusLine = FResponse.substr(0, lineEnd);
  const std::size_t space = statusLine.find(' ');
  FReturnCode = space == std::string::npos ? std::string() : statusLine.substr(space + 1);
  FReturnCodeComplete = lineEnd != std::string::npos;
}

}  // namespace kelvane
