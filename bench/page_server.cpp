// Serves one page over HTTPS with the service's own listener, for measuring
// the transport on its own: page_server <cert folder> <port> <page file>.
// The cert folder holds CAcert.pem, WSScert.pem and WSSkey.pem ("plover").
// Prints "listening on <port>" and runs until stdin closes or a line is read.

#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "KMX_uHTTPSServer.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: page_server <cert folder> <port> <page file>\n";
    return 2;
  }
  const std::string folder = std::string(argv[1]) + "/";
  std::ifstream in(argv[3], std::ios::binary);
  std::stringstream page;
  page << in.rdbuf();
  const std::string body = page.str();

  kelvane::THTTPSServer server([&body](const kelvane::THTTPRequest&, kelvane::THTTPResponse& response) {
    response.Body = body;
  });
  kelvane::THTTPSServerSettings settings;
  settings.Address = "127.0.0.1";
  settings.Port = static_cast<std::uint16_t>(std::stoi(argv[2]));
  const kelvane::TTLSServerFiles tls{folder + "WSScert.pem", folder + "WSSkey.pem", folder + "CAcert.pem",
                                      [] { return std::string("plover"); }};
  std::string error;
  if (!server.Start(settings, tls, error)) {
    std::cerr << "Cannot start HTTPS server. " << error << "\n";
    return 1;
  }
  std::cout << "listening on " << server.LocalPort() << std::endl;
  std::string line;
  std::getline(std::cin, line);
  server.Stop();
  return 0;
}
