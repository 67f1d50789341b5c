#pragma once

// OpenSSL's input and output straight on a connected non-blocking socket, as
// its own socket BIO does, except that writing to a peer that has gone away
// gives an error instead of SIGPIPE (which would end the process). The socket
// stays the caller's: freeing the BIO does not close it.

#include <openssl/types.h>

namespace kelvane {

// A new BIO for `descriptor`; nullptr when OpenSSL cannot make one.
BIO* NewSocketBio(int descriptor);

}  // namespace kelvane
