#pragma once

// The passphrase that encrypts the service's private key (Cert/WSSkey.pem):
// the tool writes the key with it and the service reads the key with it.

namespace kelvane {

inline constexpr char KeyPassphrase[] = "plover";

}  // namespace kelvane
