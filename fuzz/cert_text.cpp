// The certificate checks' reading of `openssl x509 -text` output: the
// subject's common name and the two validity dates. A date that is there but
// unreadable is reported with ECertDateError, which is an expected outcome.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "KMX_uSSL.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view output(reinterpret_cast<const char*>(data), size);
  std::string commonName;
  (void)kelvane::ExtractCommonName(output, commonName);
  for (const char* label : {"Not Before:", "Not After :"}) {
    kelvane::TimePoint date{};
    try {
      (void)kelvane::ReadCertDate(output, label, date);
    } catch (const kelvane::ECertDateError&) {
    }
  }
  return 0;
}
