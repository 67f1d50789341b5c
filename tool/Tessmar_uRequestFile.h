#pragma once

// The openssl request configuration "request.safetodelete" built from the
// certificate fields, the openssl command that reads it, and how openssl's
// printed output is judged.

#include <string>

#include "Tessmar_uSettings.h"
#include "ucKeyPassphrase.h"

namespace kelvane {

inline constexpr const char* RequestFileName = "request.safetodelete";

// The whole configuration text, every line ended by "\r\n".
std::string BuildRequestConfiguration(const TSettingsFields& fields);

// True for four dot-separated whole numbers from 0 to 255.
bool IsIPv4Address(const std::string& text);

// The openssl arguments after the program name. The paths are given as the
// caller resolved them; each is quoted.
std::string OpensslRequestArguments(const std::string& configPath, const std::string& keyPath,
                                    const std::string& requestPath);

// Judges openssl's output. True when it shows no failure; otherwise `message`
// is the text to report.
bool CheckOpensslOutput(const std::string& output, std::string& message);

}  // namespace kelvane
