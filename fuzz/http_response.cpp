// The tool's HTTP client taking an answer as it arrives, in pieces of any
// size, and the tool reading the certificate out of it. The first two bytes
// of the input choose the piece sizes; the status line must come out the same
// however the answer was cut.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Tessmar_uSubmission.h"
#include "ucHttpClient.h"

namespace {

// Feeds received text straight in, as the socket notifications would.
class TFuzzHttpClient : public kelvane::THttpClient {
 public:
  using kelvane::THttpClient::DoRead;
  using kelvane::THttpClient::ExchangeStarting;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t first = data[0] + 1u;
  const std::size_t rest = data[1] % 64 + 1u;
  const std::string answer(reinterpret_cast<const char*>(data + 2), size - 2);

  TFuzzHttpClient pieces;
  pieces.ExchangeStarting();
  for (std::size_t at = 0, piece = first; at < answer.size(); at += piece, piece = rest) {
    pieces.DoRead(answer.substr(at, std::min(piece, answer.size() - at)));
  }
  TFuzzHttpClient whole;
  whole.ExchangeStarting();
  if (!answer.empty()) whole.DoRead(answer);
  if (pieces.Response() != answer || pieces.ReturnCode() != whole.ReturnCode()) std::abort();

  std::string certificate;
  std::string quoted;
  if (kelvane::ExtractCertificate(pieces.Response(), certificate, quoted)) {
    if (certificate.empty()) std::abort();
  } else if (quoted.size() > answer.size()) {
    std::abort();
  }
  return 0;
}
