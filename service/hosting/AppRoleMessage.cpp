#include "AppRoleMessage.h"

namespace kelvane {
namespace {

void PutWord(std::string& out, std::uint32_t word) {
  for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>((word >> shift) & 0xFF);
}

std::uint32_t GetWord(const std::string& in, std::size_t offset) {
  std::uint32_t word = 0;
  for (int i = 3; i >= 0; --i) word = (word << 8) | static_cast<unsigned char>(in[offset + static_cast<std::size_t>(i)]);
  return word;
}

}  // namespace

std::string EncodeAppRoleMessage(const TInstanceMask& Mask) {
  std::string out;
  PutWord(out, AppRoleMessageType);
  for (std::size_t word = 0; word < 8; ++word) {
    std::uint32_t bits = 0;
    for (std::size_t bit = 0; bit < 32; ++bit) {
      const std::size_t number = word * 32 + bit + 1;
      if (number <= 255 && Mask.test(number)) bits |= std::uint32_t {1} << bit;
    }
    PutWord(out, bits);
  }
  return out;
}

bool DecodeAppRoleMessage(const std::string& Message, TInstanceMask& Mask) {
  if (Message.size() != AppRoleMessageSize || GetWord(Message, 0) != AppRoleMessageType) return false;
  TInstanceMask mask;
  for (std::size_t word = 0; word < 8; ++word) {
    const std::uint32_t bits = GetWord(Message, 4 + word * 4);
    for (std::size_t bit = 0; bit < 32; ++bit) {
      const std::size_t number = word * 32 + bit + 1;
      if (number <= 255 && (bits >> bit) & 1u) mask.set(number);
    }
  }
  Mask = mask;
  return true;
}

}  // namespace kelvane
