#pragma once

// The ACME account key: an ECDSA P-256 key kept as unencrypted PEM in one
// file, readable by its owner only. It is made the first time and reused
// afterwards, since the server knows the account by it.

#include <string>
#include <string_view>

#include "KMX_uAcmeKeys.h"

namespace kelvane {

inline constexpr char AcmeAccountKeyName[] = "AcmeAccountKey.pem";

// Reads the key from `path`; when no file is there, makes a new key and
// writes it there first. False, with the reason, when the file exists but
// holds no usable P-256 key, or cannot be written.
bool LoadOrCreateAccountKey(std::string_view path, TPKey& key, std::string& error);

}  // namespace kelvane
