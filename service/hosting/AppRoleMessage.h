#pragma once

// The instance registry's message: 36 bytes, a 32-bit message type (always
// 0) and the set of taken instance numbers as eight 32-bit words, all little
// endian. Number n (1..255) is bit (n-1) mod 32 of word (n-1) div 32.

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kelvane {

using TInstanceMask = std::bitset<256>;  // bit n = number n taken; bit 0 is never used

inline constexpr std::size_t AppRoleMessageSize = 36;
inline constexpr std::uint32_t AppRoleMessageType = 0;

std::string EncodeAppRoleMessage(const TInstanceMask& Mask);

// False, leaving Mask alone, for a message of another size or type.
bool DecodeAppRoleMessage(const std::string& Message, TInstanceMask& Mask);

}  // namespace kelvane
