// The configuration file format: the service's reader and the tool's editable
// copy, on any bytes. The tool's copy is written back normalised, so reading
// what it wrote and writing it again must give the same text.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ucIniFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const kelvane::TIniReader reader(text);
  for (const char* section : {"Configuration", "UserList", "CertificateRequest"}) {
    for (const kelvane::TIniEntry& entry : reader.ReadSectionValues(section)) {
      if (entry.Key.empty()) std::abort();
      (void)reader.ReadString(section, entry.Key, "");
    }
  }
  std::int32_t number = 0;
  (void)kelvane::TryParseWholeNumber(reader.ReadString("Configuration", "VardexPort", ""), number);
  (void)kelvane::TryParseWholeNumber(text.substr(0, 40), number);

  kelvane::TIniDocument document;
  document.LoadFromText(text);
  const std::string saved = document.SaveToText();
  kelvane::TIniDocument again;
  again.LoadFromText(saved);
  if (again.SaveToText() != saved) std::abort();

  document.WriteString("Configuration", "VardexPort", "8443");
  document.RebuildSection("UserList", {"demo=password", "Demo=other", "x"});
  document.EraseSection("CertificateRequest");
  (void)document.SaveToText();
  return 0;
}
