#pragma once

// The listener's server-side TLS context, loaded from the certificate, key
// and root files: TLS 1.2 and newer, forward-secret AEAD ciphers only, no
// renegotiation, the certificate chain built once at load time, and session
// tickets under keys that change (see KMX_uTicketKeys.h).

#include <memory>
#include <string>

#include <boost/asio/ssl/context.hpp>

#include "KMX_uHTTPSServer.h"

namespace kelvane {

// False, with the reason in `error`, when a file cannot be read or the key
// does not belong to the certificate.
bool LoadTLSContext(const TTLSServerFiles& files, std::shared_ptr<boost::asio::ssl::context>& context,
                    std::string& error);

}  // namespace kelvane
