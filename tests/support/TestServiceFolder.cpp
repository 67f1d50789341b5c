#include "TestServiceFolder.h"

#include <filesystem>
#include <stdexcept>

#include <boost/asio/ip/tcp.hpp>

#include "ucTime.h"

namespace kelvane::testing {

std::string TestConfiguration(std::uint16_t port, std::string_view extra) {
  std::string config = "[Configuration]\r\nThisServerIPNumber=127.0.0.1\r\nVardexPort=" + std::to_string(port) +
                       "\r\nCommonName=localhost\r\n";
  config += extra;
  config += "\r\n[UserList]\r\nadmin=secret\r\n";
  return config;
}

TTestServiceFolder::TTestServiceFolder(const TTestPkiOptions& pki) {
  WriteTestPki(FDir.Path() + "Cert/", pki);
  std::filesystem::create_symlink("/usr/bin/openssl", FDir.Path() + "openssl");
  for (const char* page : {"KMX_Login.html", "KMX_Confirm.html", "KMX_Error.html"}) {
    FDir.WriteFile(std::string("Web/") + page, "");
  }
}

void TTestServiceFolder::WriteConfiguration(std::string_view content) const { FDir.WriteFile("Vardex.cfg", content); }

std::string TTestServiceFolder::ErrorLog() const {
  const std::string date = FormatFileDate(ToLocalTime(std::chrono::system_clock::now()));
  return ReadFile(FDir.Path() + "Logs/Errors/Errors_" + date + ".log");
}

std::string TTestServiceFolder::HistoryLog() const {
  const std::string date = FormatFileDate(ToLocalTime(std::chrono::system_clock::now()));
  return ReadFile(FDir.Path() + "Logs/History/History_" + date + ".log");
}

std::uint16_t FreeLoopbackPort() {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor acceptor(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
  return acceptor.local_endpoint().port();
}

}  // namespace kelvane::testing
