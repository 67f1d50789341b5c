#include "ucVersionInfo.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <string_view>

#include "ucVersionNumbers.h"

namespace kelvane {
namespace {

const char* const Unknown = "Unknown";

std::mutex RegisteredLock;
std::shared_ptr<const TVersionResource> Registered;

std::shared_ptr<const TVersionResource> CurrentResource() {
  std::lock_guard<std::mutex> lock(RegisteredLock);
  return Registered;
}

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// The string table name of a translation: language in the high half, code
// page in the low half, eight lower-case hexadecimal digits.
std::string TranslationName(const TVersionTranslation& Translation) {
  const unsigned long value = (static_cast<unsigned long>(Translation.Language) << 16) | Translation.CodePage;
  char text[16];
  std::snprintf(text, sizeof text, "%.8lx", value);
  return text;
}

constexpr std::uint16_t ToVersionPart(unsigned Value) { return static_cast<std::uint16_t>(Value); }

}  // namespace

TFileVersion ProjectFileVersion() {
  static_assert(version_numbers::Major <= 0xFFFF && version_numbers::Minor <= 0xFFFF &&
                    version_numbers::Release <= 0xFFFF && version_numbers::Build <= 0xFFFF,
                "each part of the project version must fit in 16 bits");
  return TFileVersion{ToVersionPart(version_numbers::Major), ToVersionPart(version_numbers::Minor),
                      ToVersionPart(version_numbers::Release), ToVersionPart(version_numbers::Build)};
}

TVersionResource MakeVersionResource(std::vector<TVersionString> Strings) {
  TVersionResource resource;
  resource.FileVersion = ProjectFileVersion();
  resource.Translations.push_back(TVersionTranslation{0x0409, 0x04E4});
  resource.StringTables.push_back(TVersionStringTable{"040904E4", std::move(Strings)});
  return resource;
}

void RegisterVersionResource(const TVersionResource& Resource) {
  auto copy = std::make_shared<const TVersionResource>(Resource);
  std::lock_guard<std::mutex> lock(RegisteredLock);
  Registered = std::move(copy);
}

void UnregisterVersionResource() {
  std::shared_ptr<const TVersionResource> old;
  std::lock_guard<std::mutex> lock(RegisteredLock);
  old.swap(Registered);
}

std::string GetVersionInfoString(const std::string& Key) {
  const auto resource = CurrentResource();
  if (!resource) return Unknown;
  const std::string table =
      resource->Translations.empty() ? std::string() : TranslationName(resource->Translations.front());
  for (const TVersionStringTable& candidate : resource->StringTables) {
    if (!EqualIgnoringCase(candidate.Name, table)) continue;
    for (const TVersionString& entry : candidate.Strings) {
      if (EqualIgnoringCase(entry.Key, Key)) return entry.Value;
    }
    return Unknown;
  }
  return Unknown;
}

std::string GetFileVersionText(bool Short) {
  const auto resource = CurrentResource();
  if (!resource || !resource->FileVersion) return Unknown;
  const TFileVersion& v = *resource->FileVersion;
  return Short ? std::to_string(v.Major) + "." + std::to_string(v.Minor)
               : std::to_string(v.Major) + "." + std::to_string(v.Minor) + "." + std::to_string(v.Release) + "." +
                     std::to_string(v.Build);
}

}  // namespace kelvane
