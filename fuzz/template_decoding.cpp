// A page template file's bytes in each of its three encodings. The first byte
// of the input picks the byte-order mark put in front of the rest, so every
// decoder gets its share whatever the corpus holds.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "KMX_uHTML.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string bytes;
  switch (data[0] % 3) {
    case 1: bytes = "\xFF\xFE"; break;
    case 2: bytes = "\xEF\xBB\xBF"; break;
    default: break;
  }
  bytes.append(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string text = kelvane::DecodeTemplate(bytes);
  // The most a byte can become is one character reference: "&#65533;" for a
  // malformed UTF-8 byte (a UTF-16 surrogate pair takes four bytes for its
  // ten characters).
  if (text.size() > 8 * bytes.size()) std::abort();
  return 0;
}
