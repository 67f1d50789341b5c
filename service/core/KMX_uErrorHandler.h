#pragma once

namespace kelvane {

// The certificate file that failed to load.
enum class TErrorCode { ecCert, ecRootCert, ecKey };

// Writes the log line for a certificate file that failed to load.
class TErrorHandler {
 public:
  virtual void WriteLogCertError(TErrorCode State) = 0;

 protected:
  ~TErrorHandler() = default;
};

}  // namespace kelvane
